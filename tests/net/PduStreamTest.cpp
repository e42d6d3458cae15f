#include "net/PduStream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <memory>
#include <thread>

#include "NetFixtures.h"
#include "data/Tags.h"
#include "net/CommandSet.h"
#include "net/Dimse.h"
#include "net/TraceLog.h"
#include "store/ProviderProfile.h"
#include "support/TestSupport.h"

using namespace dicomlib::net;
using namespace nettest;

namespace {

// The provider's standard profile, for acceptors built by hand.
const dicomlib::store::ProviderProfile& StandardProfile() {
    static const dicomlib::store::ProviderProfile profile = dicomlib::store::StandardProfile({});
    return profile;
}

// Connects a stream to the peer with the test's receive time-out.
void Connect(PduStream& stream, const FakePeer& peer) {
    stream.Socket().SetReceiveTimeout(PEER_TIMEOUT);
    ASSERT_TRUE(stream.Open("127.0.0.1", peer.Port()));
}

}  // namespace

TEST(PduStream, CutsBatchedAndSplitBytesIntoWholePdus) {
    // A P-DATA-TF of 100000 bytes sent in 7-byte pieces, then three PDUs in one write.
    Bytes large(100000 - 12, 0);
    for (std::size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<uint8_t>(i * 7);
    const Bytes pdata = EncodePDataTF(1, 2, large);
    FakePeer peer;
    peer.Start([&](PduStream& s) {
        for (std::size_t at = 0; at < pdata.size(); at += 7) {
            const std::size_t n = std::min<std::size_t>(7, pdata.size() - at);
            if (!s.Socket().Send(pdata.data() + at, n)) return;
        }
        s.Queue(RELEASE_RQ);
        s.Queue(AssociateRqFixture());
        s.Queue(ABORT);
        EXPECT_EQ(s.QueuedBytes(), 10u + 211u + 10u);
        s.Flush();
        ClosedByOtherSide(s);
    });
    PduStream stream;
    Connect(stream, peer);
    auto first = stream.ReadPdu();
    ASSERT_TRUE(first.Ok()) << first.GetError().detail;
    EXPECT_EQ(first->type, PDU_P_DATA_TF);
    EXPECT_EQ(Bytes(first->bytes.begin(), first->bytes.end()), pdata);
    EXPECT_EQ(ReadPduBytes(stream), RELEASE_RQ);
    auto rq = stream.ReadPdu();
    ASSERT_TRUE(rq.Ok());
    EXPECT_EQ(rq->type, PDU_ASSOCIATE_RQ);
    EXPECT_EQ(rq->Body().size(), 205u);
    auto ten = stream.ReadExact(10);
    ASSERT_TRUE(ten.Ok());
    EXPECT_EQ(Bytes(ten->begin(), ten->end()), ABORT);
    EXPECT_EQ(stream.BufferedBytes(), 0u);
    stream.Close();
    peer.Join();
}

TEST(PduStream, ConnectionEndingInsideAPduFails) {
    FakePeer peer;
    peer.Start([&](PduStream& s) {
        // The header announces 205 bytes; 100 come, then the connection closes.
        const Bytes rq = AssociateRqFixture();
        s.Socket().Send(rq.data(), 106);
    });
    PduStream stream;
    Connect(stream, peer);
    auto pdu = stream.ReadPdu();
    ASSERT_FALSE(pdu.Ok());
    EXPECT_EQ(pdu.Code(), ErrorCode::SocketFailed);
    EXPECT_FALSE(stream.Connected());
    peer.Join();
}

TEST(PduStream, HugeAnnouncedLengthIsMalformedWithoutWaiting) {
    FakePeer peer;
    peer.Start([&](PduStream& s) {
        const Bytes header = {0x04, 0x00, 0xFF, 0xFF, 0xFF, 0xF0};
        s.Write(header);
        ClosedByOtherSide(s);
    });
    PduStream stream;
    Connect(stream, peer);
    auto pdu = stream.ReadPdu();
    ASSERT_FALSE(pdu.Ok());
    EXPECT_EQ(pdu.Code(), ErrorCode::Malformed);
    stream.Close();
    peer.Join();
}

namespace {

// A transport that behaves as a secured one does: a handshake that agrees on a key, bytes
// scrambled on the wire, received bytes decoded ahead and handed out a few at a time, and a
// goodbye byte when it shuts down.
class ScrambledTransport final : public Transport {
  public:
    TcpSocket& Socket() override { return socket_; }
    const TcpSocket& Socket() const override { return socket_; }
    bool Handshake(TransportRole role) override {
        uint8_t key = 0x5A;
        if (role == TransportRole::Requestor) return socket_.Send(&key, 1);
        if (socket_.Receive(&key, 1) != 1) return false;
        key_ = key;
        return true;
    }
    bool Send(std::span<const uint8_t> bytes) override {
        Bytes scrambled(bytes.begin(), bytes.end());
        for (uint8_t& b : scrambled)
            b ^= key_;
        return socket_.Send(scrambled);
    }
    std::ptrdiff_t Receive(uint8_t* buffer, std::size_t capacity) override {
        if (held_.empty()) {
            uint8_t raw[65536];
            const std::ptrdiff_t n = socket_.Receive(raw, sizeof raw);
            if (n < 0) return -1;
            for (std::ptrdiff_t i = 0; i < n; ++i)
                held_.push_back(static_cast<uint8_t>(raw[i] ^ key_));
        }
        const std::size_t n = std::min<std::size_t>({capacity, held_.size(), 3});
        std::copy(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(n), buffer);
        held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(n));
        return static_cast<std::ptrdiff_t>(n);
    }
    void Shutdown() override {
        const uint8_t goodbye = 0xEE;
        Send({&goodbye, 1});
    }
    void Close() override {
        held_.clear();
        socket_.Close();
    }
    void SetReceiveDump(bool on) override { socket_.SetReceiveDump(on); }

  private:
    TcpSocket socket_;
    uint8_t key_ = 0x5A;
    Bytes held_;
};

CommandSet EchoCommand(uint16_t field) {
    CommandSet c;
    c.AppendUid(dicomlib::tag::AffectedSOPClassUID, "1.2.840.10008.1.1")
        .AppendUs(dicomlib::tag::CommandField, field)
        .AppendUs(field == C_ECHO_RQ ? dicomlib::tag::MessageID
                                     : dicomlib::tag::MessageIDBeingRespondedTo,
                  3)
        .AppendUs(dicomlib::tag::CommandDataSetType, NO_DATA_SET);
    if (field == C_ECHO_RSP) c.AppendUs(dicomlib::tag::Status, STATUS_SUCCESS);
    return c;
}

}  // namespace

// Both roles over another transport: the handshake runs after connect and after accept, and a
// PDU arriving in one piece is read whole while the transport hands it out three bytes at a
// time, with nothing more coming on the socket.
TEST(PduStream, RunsAnAssociationOverATransportThatHoldsBytesItself) {
    TcpSocket listener;
    ASSERT_TRUE(listener.ListenOn(0));
    const std::string port = std::to_string(listener.LocalPort());
    std::atomic<bool> echoed{false};
    std::thread acceptor([&] {
        if (!listener.Accept()) return;
        Association assoc;
        assoc.stream.UseTransport(std::make_unique<ScrambledTransport>());
        assoc.stream.Socket().SetReceiveTimeout(PEER_TIMEOUT);
        if (!AcceptAssoc(assoc, listener.ReleaseConnection(),
                         dicomlib::store::AnswerWith(StandardProfile())))
            return;
        ElementList request;
        if (!ReceiveMessage(assoc, request)) return;
        CommandSet response = EchoCommand(C_ECHO_RSP);
        echoed = SendMessage(assoc, response.List(), "1.2.840.10008.1.1", MessageKind::Command);
        ElementList none;
        EXPECT_FALSE(ReceiveMessage(assoc, none));  // the release, answered
        // The requestor's transport says goodbye before it closes.
        uint8_t goodbye = 0;
        EXPECT_EQ(assoc.stream.GetTransport().Receive(&goodbye, 1), 1);
        EXPECT_EQ(goodbye, 0xEE);
        assoc.stream.Close();
    });
    Association assoc;
    assoc.stream.UseTransport(std::make_unique<ScrambledTransport>());
    assoc.stream.Socket().SetReceiveTimeout(PEER_TIMEOUT);
    std::string calling = "local";
    ASSERT_TRUE(
        OpenAssoc(assoc, "127.0.0.1", port, calling, "remote", "1.2.840.10008.1.1", std::nullopt));
    CommandSet request = EchoCommand(C_ECHO_RQ);
    ASSERT_TRUE(SendMessage(assoc, request.List(), "1.2.840.10008.1.1", MessageKind::Command));
    ElementList response;
    ASSERT_TRUE(ReceiveMessage(assoc, response));
    EXPECT_EQ(dicomlib::data::GetTagUS(response, dicomlib::tag::CommandField), C_ECHO_RSP);
    CloseAssoc(assoc);
    acceptor.join();
    EXPECT_TRUE(echoed);
}

// An association request handed out three bytes at a time is dumped read by read, and its
// passcode is masked in every read that holds a part of it, not only in the first.
TEST(PduStream, MasksTheIdentityOfARequestReadInPieces) {
    testsupport::TempDir dir;
    TcpSocket listener;
    ASSERT_TRUE(listener.ListenOn(0));
    const std::string passcode = "wonder-land";
    SetLog((dir / "trace.log").string(), LOG_SOCKET);
    std::thread requestor([&] {
        ConnectionSettings settings =
            SettingsFor("127.0.0.1", std::to_string(listener.LocalPort()), "local", "remote");
        settings.userIdentity =
            UserIdentityRQ{UserIdentityType::UsernameAndPasscode, false,
                           Bytes{'A', 'L', 'I', 'C', 'E'}, Bytes(passcode.begin(), passcode.end())};
        Association assoc;
        assoc.stream.UseTransport(std::make_unique<ScrambledTransport>());
        assoc.stream.Socket().SetReceiveTimeout(PEER_TIMEOUT);
        if (OpenWith(assoc, settings, ProposalFor("1.2.840.10008.1.1"))) CloseAssoc(assoc);
    });
    Association assoc;
    if (listener.Accept()) {
        assoc.stream.UseTransport(std::make_unique<ScrambledTransport>());
        assoc.stream.Socket().SetReceiveTimeout(PEER_TIMEOUT);
        if (AcceptAssoc(assoc, listener.ReleaseConnection(),
                        dicomlib::store::AnswerWith(StandardProfile()))) {
            ElementList none;
            EXPECT_FALSE(ReceiveMessage(assoc, none));  // the release
        }
    }
    requestor.join();
    SetLog("", 0);
    ASSERT_TRUE(assoc.request.userInformation.userIdentityRQ);
    EXPECT_EQ(assoc.request.userInformation.userIdentityRQ->secondaryField,
              Bytes(passcode.begin(), passcode.end()));

    // The received bytes as the dump shows them, record after record.
    const std::string log = testsupport::ReadFileText(dir / "trace.log");
    std::string received;
    std::size_t records = 0;
    for (std::size_t at = log.find(" << "); at != std::string::npos; at = log.find(" << ", at)) {
        ++records;
        at += 4;
        for (; at + 2 < log.size() && std::isxdigit(static_cast<unsigned char>(log[at])) != 0 &&
               log[at + 2] == ' ';
             at += 3)
            received += static_cast<char>(std::stoi(log.substr(at, 2), nullptr, 16));
    }
    EXPECT_GT(records, 20u);
    EXPECT_EQ(received.find(passcode), std::string::npos);
    EXPECT_EQ(received.find("ALICE"), std::string::npos);
    EXPECT_NE(received.find(std::string(passcode.size(), '*')), std::string::npos) << received;
}
