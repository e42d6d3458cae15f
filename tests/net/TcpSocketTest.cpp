#include "net/TcpSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <thread>

#include "NetFixtures.h"
#include "net/TraceLog.h"
#include "support/TestSupport.h"

using namespace dicomlib::net;
using namespace nettest;

namespace {

class SocketTrace : public ::testing::Test {
  protected:
    void TearDown() override { SetLog("", 0); }
    testsupport::TempDir dir_;
    std::string path_ = (dir_ / "trace.log").string();
};

}  // namespace

TEST(TcpSocketLookup, HostAndPortRules) {
    EXPECT_EQ(ResolveHost("127.0.0.1"), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(ResolveHost("127.1"), htonl(INADDR_LOOPBACK));  // what the dotted conversion takes
    EXPECT_EQ(ResolveHost("localhost"), htonl(INADDR_LOOPBACK));

    EXPECT_EQ(ResolvePort("104"), 104);
    EXPECT_EQ(ResolvePort("11112"), 11112);
    EXPECT_EQ(ResolvePort("acr-nema"), 104);  // a service name
    EXPECT_FALSE(ResolvePort("no-such-service-name"));
    EXPECT_FALSE(ResolvePort("0"));  // zero is not a port; nor a service called "0"
}

TEST(TcpSocket, ConnectSendReceiveAndPeerClose) {
    FakePeer peer;
    Bytes received;
    peer.Start([&](PduStream& s) {
        received = ReadPduBytes(s);
        s.Write(RELEASE_RP);
        // Closing ends the connection for the other side's next receive.
    });
    const uint16_t before = SocketUserCount();
    {
        TcpSocket socket;
        EXPECT_EQ(SocketUserCount(), before + 1);
        socket.SetReceiveTimeout(PEER_TIMEOUT);
        ASSERT_TRUE(socket.Open("127.0.0.1", peer.Port()));
        EXPECT_TRUE(socket.Connected());
        EXPECT_TRUE(socket.Send(RELEASE_RQ.data(), RELEASE_RQ.size()));
        Bytes reply(64);
        std::size_t got = 0;
        while (got < RELEASE_RP.size()) {
            const auto n = socket.Receive(reply.data() + got, reply.size() - got);
            ASSERT_GT(n, 0);
            got += static_cast<std::size_t>(n);
        }
        reply.resize(got);
        EXPECT_EQ(reply, RELEASE_RP);
        peer.Join();
        // The peer has closed: the receive reports it and closes this side too.
        EXPECT_EQ(socket.Receive(reply.data(), reply.size()), -1);
        EXPECT_FALSE(socket.Connected());
        EXPECT_FALSE(socket.Send(RELEASE_RQ.data(), RELEASE_RQ.size()));
    }
    EXPECT_EQ(received, RELEASE_RQ);
    EXPECT_EQ(SocketUserCount(), before);
}

TEST(TcpSocket, ReceiveTimeOutClosesTheConnection) {
    FakePeer peer;
    bool peerSawClose = false;
    peer.Start([&](PduStream& s) { peerSawClose = ClosedByOtherSide(s); });
    TcpSocket socket;
    socket.SetReceiveTimeout(std::chrono::milliseconds(100));
    ASSERT_TRUE(socket.Open("127.0.0.1", peer.Port()));
    uint8_t buffer[16];
    EXPECT_EQ(socket.Receive(buffer, sizeof buffer), -1);
    EXPECT_FALSE(socket.Connected());
    peer.Join();
    EXPECT_TRUE(peerSawClose);
}

TEST(TcpSocket, ACancelSignalEndsAcceptAndReceiveFromAnotherThread) {
    CancelSignal cancel;
    EXPECT_FALSE(cancel.Raised());
    TcpSocket listener;
    listener.WatchCancel(&cancel);
    ASSERT_TRUE(listener.ListenOn(0));
    bool accepted = true;
    std::thread acceptor([&] { accepted = listener.Accept(); });
    cancel.Raise();
    acceptor.join();
    EXPECT_FALSE(accepted);
    EXPECT_FALSE(listener.Listening());
    cancel.Raise();  // again: nothing changes
    EXPECT_TRUE(cancel.Raised());

    // Bytes already waiting are still taken after the cancel; the wait for more is not.
    CancelSignal later;
    int ours = -1, theirs = -1;
    ASSERT_TRUE(TcpSocket::ConnectedPair(ours, theirs));
    TcpSocket reader, writer;
    reader.Adopt(ours);
    writer.Adopt(theirs);
    reader.WatchCancel(&later);
    ASSERT_TRUE(writer.Send(RELEASE_RQ.data(), RELEASE_RQ.size()));
    later.Raise();
    uint8_t buffer[64];
    EXPECT_EQ(reader.Receive(buffer, sizeof buffer),
              static_cast<std::ptrdiff_t>(RELEASE_RQ.size()));
    EXPECT_EQ(reader.Receive(buffer, sizeof buffer), -1);
    EXPECT_FALSE(reader.Connected());
}

TEST(TcpSocket, FailuresAreResultsWithTheError) {
    const uint16_t port = testsupport::FreePort();
    TcpSocket socket;
    EXPECT_FALSE(socket.Open("127.0.0.1", std::to_string(port)));
    EXPECT_EQ(socket.LastError(), ECONNREFUSED);
    EXPECT_FALSE(socket.Open("127.0.0.1", "no-such-service-name"));
    EXPECT_FALSE(socket.Connected());
    uint8_t buffer[4];
    EXPECT_EQ(socket.Receive(buffer, sizeof buffer), -1);
    EXPECT_FALSE(socket.Accept());

    // With a connect time-out: a refusal is still a refusal, and a connection made is blocking
    // again, as every other connection is.
    TcpSocket bounded;
    bounded.SetConnectTimeout(std::chrono::seconds(10));
    EXPECT_FALSE(bounded.Open("127.0.0.1", std::to_string(port)));
    EXPECT_EQ(bounded.LastError(), ECONNREFUSED);

    TcpSocket first;
    ASSERT_TRUE(first.ListenOn(0));
    ASSERT_TRUE(bounded.Open("127.0.0.1", std::to_string(first.LocalPort())));
    const int handle = bounded.ReleaseConnection();
    EXPECT_EQ(::fcntl(handle, F_GETFL) & O_NONBLOCK, 0);
    ::close(handle);
    TcpSocket second;
    EXPECT_FALSE(second.Listen(std::to_string(first.LocalPort())));
    EXPECT_EQ(second.LastError(), EADDRINUSE);
    EXPECT_FALSE(second.Listening());
    EXPECT_TRUE(first.Close());
    EXPECT_FALSE(first.Listening());
}

TEST_F(SocketTrace, SocketLevelDumpsEverySendAndReceive) {
    FakePeer peer;
    const Bytes big(300, 0x41);
    peer.Start([&](PduStream& s) {
        s.ReadExact(big.size());
        s.Write(RELEASE_RP);
        ClosedByOtherSide(s);
    });
    SetLog(path_, LOG_SOCKET);
    TcpSocket socket;
    socket.SetReceiveTimeout(PEER_TIMEOUT);
    ASSERT_TRUE(socket.Open("127.0.0.1", peer.Port()));
    ASSERT_TRUE(socket.Send(big.data(), big.size()));
    uint8_t buffer[10];
    for (std::size_t got = 0; got < sizeof buffer;) {
        const auto n = socket.Receive(buffer + got, sizeof buffer - got);
        ASSERT_GT(n, 0);
        got += static_cast<std::size_t>(n);
    }
    socket.Close();
    peer.Join();
    const std::string more = " [MORE DATA...]";
    std::string pairs;
    for (int i = 0; i < 256; ++i)
        pairs += "41 ";
    // 300 bytes: the count right-aligned in six places, the first 256 bytes, both marked.
    const std::string trace = testsupport::ReadFileText(path_);
    EXPECT_NE(trace.find("   300 >> " + pairs + more + "\r\n" + std::string(256, 'A') + more +
                         "\r\n\r\n"),
              std::string::npos);
    EXPECT_NE(trace.find("    10 << 06 00 00 00 00 04 00 00 00 00 \r\n..........\r\n\r\n"),
              std::string::npos);

    // Exactly 256 bytes carry both markers too; only 0x20 to 0x7A show as themselves.
    Bytes every(256);
    pairs.clear();
    for (std::size_t b = 0; b < every.size(); ++b) {
        every[b] = static_cast<uint8_t>(b);
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02X ", static_cast<unsigned>(b));
        pairs += pair;
    }
    const std::string shown = std::string(32, '.') +
                              " !\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                              "[\\]^_`abcdefghijklmnopqrstuvwxyz" +
                              std::string(133, '.');
    EXPECT_EQ(FormatSocketTraffic(every.data(), every.size(), false),
              "   256 << " + pairs + more + "\r\n" + shown + more + "\r\n\r\n");
}
