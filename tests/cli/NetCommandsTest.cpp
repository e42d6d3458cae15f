// tessaly-cli's network commands where no real peer is needed: a port where nothing listens,
// command lines that are wrong, and scripted peers that stay silent where an answer is due.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "net/DimseFixtures.h"
#include "support/DcmtkCompare.h"
#include "support/TestSupport.h"

using testsupport::RunCommand;

TEST(CliEcho, PortWhereNothingListensAndUsageErrors) {
    const std::string port = std::to_string(testsupport::FreePort());
    auto result = testsupport::RunCommand({testsupport::CliPath(), "echo", "127.0.0.1", port});
    EXPECT_EQ(result.exitCode, 1);
    const std::string why = "  nothing listens on 127.0.0.1:" + port +
                            " (connection refused): check the port and that the peer's DICOM "
                            "service runs\n";
    EXPECT_EQ(result.output, "ECHO failed to connect to: ANY-SCP (127.0.0.1:" + port + ")\n" + why);
    // An empty called title leaves two blanks.
    result =
        testsupport::RunCommand({testsupport::CliPath(), "echo", "127.0.0.1", port, "--aec", ""});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.output, "ECHO failed to connect to:  (127.0.0.1:" + port + ")\n" + why);
    // Usage errors.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"echo", "127.0.0.1"},
          {"echo", "a", "1", "2"},
          {"echo", "a", "1", "--aet"},
          {"--log-level", "4", "echo", "a", "1"},
          {"--log-level", "2", "echo", "a", "1"},
          {"--log"},
          {"echo", "a", "1", "--aec", "SEVENTEEN-LETTERS"}}) {
        std::vector<std::string> argv = {testsupport::CliPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        result = testsupport::RunCommand(argv);
        EXPECT_EQ(result.exitCode, 2) << args[0];
        EXPECT_EQ(result.output, "");
        EXPECT_TRUE(result.errors.find("usage: tessaly-cli") != std::string::npos ||
                    result.errors.find("AE title") != std::string::npos)
            << result.errors;
    }
}

TEST(CliStore, UsageErrors) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"store", "127.0.0.1", "104"},
          {"store", "127.0.0.1"},
          {"store", "a", "1", "f", "--ts"},
          {"store", "a", "1", "f", "--ts", "jpeg-baseline"},
          {"store", "a", "1", "f", "--bogus"},
          {"store", "a", "1", "f", "--aet", "SEVENTEEN-LETTERS"}}) {
        std::vector<std::string> argv = {testsupport::CliPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        auto result = RunCommand(argv);
        EXPECT_EQ(result.exitCode, 2) << args.back();
        EXPECT_EQ(result.output, "");
        EXPECT_TRUE(result.errors.find("usage: tessaly-cli store") != std::string::npos ||
                    result.errors.find("AE title") != std::string::npos)
            << result.errors;
    }
}

TEST(CliProbe, NothingListeningAndUsageErrors) {
    const std::string port = std::to_string(testsupport::FreePort());
    auto result = RunCommand({testsupport::CliPath(), "probe", "127.0.0.1", port, "--json"});
    EXPECT_EQ(result.exitCode, 1);
    // Every section after a failed connection says so; the JSON holds each one.
    EXPECT_NE(result.output.find("{\"name\": \"Connection\", \"verdict\": \"failed\", \"detail\": "
                                 "\"nothing listens on 127.0.0.1:" +
                                 port +
                                 " (connection refused): check the port and that the peer's "
                                 "DICOM service runs\""),
              std::string::npos)
        << result.output;
    for (const char* section :
         {"Verification", "Storage", "Query/retrieve", "Worklist", "Retrieve path", "Print"})
        EXPECT_NE(result.output.find(std::string("{\"name\": \"") + section +
                                     "\", \"verdict\": \"failed\", \"detail\": \"no association "
                                     "(see Connection)\""),
                  std::string::npos)
            << section;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"probe", "127.0.0.1"},
          {"probe", "a", "1", "--move-dest", "ME"},
          {"probe", "a", "1", "--receive", "104"},
          {"probe", "a", "1", "--html"},
          {"probe", "a", "1", "--bogus"},
          {"probe", "a", "1", "--aec", "SEVENTEEN-LETTERS"}}) {
        std::vector<std::string> argv = {testsupport::CliPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        result = RunCommand(argv);
        EXPECT_EQ(result.exitCode, 2) << args.back();
        EXPECT_EQ(result.output, "");
    }
}

namespace {

using namespace std::chrono_literals;
using namespace nettest;
using dicomlib::net::PduStream;

// True when the other side closed the connection within limit and a second: its wait ran out
// and ended the connection, rather than ours.
bool ClosedWithin(PduStream& s, std::chrono::milliseconds limit) {
    s.Socket().SetReceiveTimeout(limit + 1s);
    return !s.ReadPdu() && !s.Socket().TimedOut();
}

std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

}  // namespace

TEST(CliWaits, EachWaitThatRunsOutIsNamedWithItsLengthAndItsOption) {
    const std::string cli = testsupport::CliPath();
    {
        // The association request goes unanswered.
        FakePeer peer;
        std::atomic<bool> closed{false};
        peer.Start([&](PduStream& s) {
            ReadPduBytes(s);
            closed = ClosedWithin(s, 1s);
        });
        const auto r = RunCommand({cli, "echo", "127.0.0.1", peer.Port(), "--acse-timeout", "1"});
        peer.Join();
        EXPECT_TRUE(closed);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(FirstLine(r.output),
                  "ECHO failed: no answer to the association request within 1 s (--acse-timeout): "
                  "ANY-SCP (127.0.0.1:" +
                      peer.Port() + ")");
        EXPECT_NE(r.output.find("\n  the peer sent no answer to the association request within 1 "
                                "s: it may be busy or stuck"),
                  std::string::npos)
            << r.output;
        EXPECT_NE(r.output.find("says which (--acse-timeout)\n"), std::string::npos) << r.output;
    }
    {
        // A query that gets no response.
        FakePeer peer;
        std::atomic<bool> closed{false};
        peer.Start([&](PduStream& s) {
            AcceptAssociation(s);
            ReadMessagePart(s);  // the command
            ReadMessagePart(s);  // the identifier
            closed = ClosedWithin(s, 2s);
        });
        const auto r = RunCommand({cli, "find", "127.0.0.1", peer.Port(), "--dimse-timeout", "2"});
        peer.Join();
        EXPECT_TRUE(closed);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(FirstLine(r.errors),
                  "FIND failed: no C-FIND response within 2 s (--dimse-timeout): "
                  "ANY-SCP (127.0.0.1:" +
                      peer.Port() + ")");
        EXPECT_NE(r.errors.find("or allow it longer (--dimse-timeout)\n"), std::string::npos)
            << r.errors;
    }
    {
        // The echo is answered, the release is not: the echo still worked.
        FakePeer peer;
        std::atomic<bool> closed{false};
        peer.Start([&](PduStream& s) {
            AcceptAssociation(s);
            const MessagePart command = ReadMessagePart(s);
            s.Write(PDataTF(
                {{1, 0x03, EchoResponseBytes(UsOf(command.data, dicomlib::tag::MessageID), 0)}}));
            closed = ReadPduBytes(s) == RELEASE_RQ && ClosedWithin(s, 1s);
        });
        const auto r = RunCommand({cli, "echo", "127.0.0.1", peer.Port(), "--acse-timeout", "1"});
        peer.Join();
        EXPECT_TRUE(closed);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.output, "ECHO OK\n");
        EXPECT_EQ(r.errors,
                  "tessaly-cli: echo: warning: no A-RELEASE-RP within 1 s (--acse-timeout): the "
                  "connection was closed\n");
    }
    {
        // A connection that is never taken: the listener's backlog is full.
        dicomlib::net::TcpSocket listener;
        ASSERT_TRUE(listener.ListenOn(0));
        const std::string port = std::to_string(listener.LocalPort());
        std::vector<std::unique_ptr<dicomlib::net::TcpSocket>> waiting;
        bool full = false;
        while (!full && waiting.size() < 64) {
            waiting.push_back(std::make_unique<dicomlib::net::TcpSocket>());
            waiting.back()->SetConnectTimeout(200ms);
            full = !waiting.back()->Open("127.0.0.1", port);
        }
        ASSERT_TRUE(full);
        const auto r = RunCommand({cli, "echo", "127.0.0.1", port, "--connect-timeout", "1"});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(FirstLine(r.output),
                  "ECHO failed: no connection within 1 s (--connect-timeout): "
                  "ANY-SCP (127.0.0.1:" +
                      port + ")");
    }
}

TEST(CliWaits, TheProviderClosesWhatStaysSilentAndBadValuesAreRefused) {
    testsupport::TempDir dir;
    const uint16_t port = testsupport::FreePort();
    testsupport::BackgroundProcess scp(
        {testsupport::CliPath(), "--log", (dir / "trace.log").string(), "scp", std::to_string(port),
         (dir / "in").string(), "--acse-timeout", "1", "--idle-timeout", "2"},
        dir.Path());
    ASSERT_TRUE(testsupport::WaitForListener(port));
    {
        // Connected, but no association request.
        PduStream s;
        ASSERT_TRUE(s.Open("127.0.0.1", std::to_string(port)));
        EXPECT_TRUE(ClosedWithin(s, 1s));
    }
    {
        // Associated, then silent.
        PduStream s;
        ASSERT_TRUE(s.Open("127.0.0.1", std::to_string(port)));
        ASSERT_TRUE(s.Write(AssociateRqFixture()));
        ASSERT_EQ(ReadPduBytes(s).at(0), 0x02);
        EXPECT_TRUE(ClosedWithin(s, 2s));
    }
    scp.Stop();
    const std::string trace = testsupport::ReadFileText(dir / "trace.log");
    EXPECT_NE(trace.find("No A-ASSOCIATE-RQ within 1 s: the connection was closed"),
              std::string::npos)
        << trace;
    EXPECT_NE(trace.find("No request within 2 s (idle time-out): the connection was closed"),
              std::string::npos)
        << trace;

    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"echo", "a", "1", "--dimse-timeout", "0"},
          {"echo", "a", "1", "--acse-timeout", "soon"},
          {"store", "a", "1", "f", "--connect-timeout", "-3"},
          {"find", "a", "1", "--max-pdu", "4095"},
          {"print", "a", "1", "f", "--max-pdu", "131073"},
          {"scp", "104", "d", "--idle-timeout", "86401"}}) {
        std::vector<std::string> argv = {testsupport::CliPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto r = RunCommand(argv);
        EXPECT_EQ(r.exitCode, 2) << args[3];
        EXPECT_EQ(r.output, "");
        EXPECT_NE(r.errors.find(args[3]), std::string::npos) << r.errors;
    }
}

TEST(CliMaxPdu, WeAnnounceWhatWeAreToldAndSendNoPduAboveThePeersMaximum) {
    testsupport::TempDir dir;
    const auto file = testsupport::WriteGeneratedImage(dir / "ct.dcm", 16, 256, 128, "1.2.3.4.5");
    for (const auto& [ours, theirs] :
         {std::pair<uint32_t, uint32_t>{4096, 1024}, {131072, 20000}}) {
        SCOPED_TRACE(std::to_string(ours) + " announced, " + std::to_string(theirs) + " theirs");
        ScriptedScp scp(
            [](std::size_t, const Bytes& command) {
                return ResponseBytes(0x8001, UsOf(command, dicomlib::tag::MessageID), 0);
            },
            "", {},
            [theirs = theirs](const Bytes& rq) {
                auto ac = dicomlib::net::DecodeAssociateAC(AcceptEvery(rq));
                ac->userInformation.maximumLength = theirs;
                return dicomlib::net::EncodeAssociateAC(*ac);
            });
        const auto r = RunCommand({testsupport::CliPath(), "store", "127.0.0.1", scp.Port(),
                                   file.string(), "--max-pdu", std::to_string(ours)});
        scp.Join();
        EXPECT_EQ(r.exitCode, 0) << r.output << r.errors;
        const auto rq = dicomlib::net::DecodeAssociateRQ(scp.associateRq);
        ASSERT_TRUE(rq);
        EXPECT_EQ(rq->userInformation.maximumLength, ours);
        // The PDU length field: the fragment and its PDV's 6 bytes of headers. The image's
        // 64 KB of pixel data fill PDUs of the peer's maximum, never more.
        std::size_t largest = 0;
        ASSERT_EQ(scp.dataSets.size(), 1u);
        for (const Bytes& pdu : scp.dataSets[0].pdus)
            largest = std::max(largest, pdu.size() - dicomlib::net::PDU_HEADER_SIZE);
        EXPECT_EQ(largest, theirs);
    }
}
