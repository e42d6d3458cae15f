#include "services/Verification.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "data/Tags.h"
#include "net/DimseFixtures.h"
#include "net/TraceLog.h"
#include "support/TestSupport.h"
#include "zedavura.h"

using namespace dicomlib;
using namespace dicomlib::net;
using namespace nettest;

namespace {

constexpr char VERIFICATION[] = "1.2.840.10008.1.1";

// The C-ECHO-RQ PDU for a Message ID below 256 on context 1: 80 bytes.
Bytes EchoRequestPdu(uint8_t messageId) {
    // clang-format off
    return Cat({
        {0x04, 0x00},                                        // P-DATA-TF, reserved
        {0x00, 0x00, 0x00, 0x4A},                            // PDU length 74
        {0x00, 0x00, 0x00, 0x46},                            // PDV item length 70
        {0x01, 0x03},                                        // context 1; command, last
        {0x00, 0x00, 0x00, 0x00}, {0x04, 0x00, 0x00, 0x00},  // (0000,0000), length 4
        {0x38, 0x00, 0x00, 0x00},                            //   56 = 18 + 38
        {0x00, 0x00, 0x02, 0x00}, {0x12, 0x00, 0x00, 0x00},  // (0000,0002), length 18
        T("1.2.840.10008.1.1"), {0x00},                      //   padded with 0x00
        {0x00, 0x00, 0x00, 0x01}, {0x02, 0x00, 0x00, 0x00},  // (0000,0100) Command Field
        {0x30, 0x00},                                        //   C-ECHO-RQ
        {0x00, 0x00, 0x10, 0x01}, {0x02, 0x00, 0x00, 0x00},  // (0000,0110) Message ID
        {messageId, 0x00},
        {0x00, 0x00, 0x00, 0x08}, {0x02, 0x00, 0x00, 0x00},  // (0000,0800) Data Set Type
        {0x01, 0x01},                                        //   no data set
    });
    // clang-format on
}

// Answers every request with the Command Field and status given (none: no status element).
ScriptedScp::Responder EchoAnswer(uint16_t commandField, std::optional<uint16_t> status) {
    return [=](std::size_t, const Bytes& command) {
        return ResponseBytes(commandField, UsOf(command, tag::MessageID), status);
    };
}

class TraceFile : public ::testing::Test {
  protected:
    void TearDown() override { SetLog("", 0); }
    std::string Trace() const { return testsupport::ReadFileText(path_); }
    testsupport::TempDir dir_;
    std::string path_ = (dir_ / "trace.log").string();
};

}  // namespace

TEST(WriteEchoRQ, SendsTheEightyBytePduWithMessageIds3And5And7) {
    std::vector<Bytes> got;
    PeerSession session;
    ASSERT_TRUE(session.Open([&](PduStream& s) {
        for (int i = 0; i < 3; ++i)
            got.push_back(ReadPduBytes(s));
    }));
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(services::WriteEchoRQ(session.assoc, VERIFICATION));
    // No accepted context for another SOP class: nothing is sent.
    EXPECT_FALSE(services::WriteEchoRQ(session.assoc, "1.2.840.10008.5.1.4.1.1.2"));
    session.peer.Join();
    EXPECT_EQ(got, (std::vector<Bytes>{EchoRequestPdu(3), EchoRequestPdu(5), EchoRequestPdu(7)}));
}

TEST(EchoSCU, SucceedsOnlyOnAnEchoResponseWithStatusSuccess) {
    struct Case {
        const char* name;
        ScriptedScp::Responder respond;
        bool expected;
    };
    const Case cases[] = {
        {"success", EchoAnswer(0x8030, 0x0000), true},
        {"status 0x0110", EchoAnswer(0x8030, 0x0110), false},
        {"a C-STORE-RSP", EchoAnswer(0x8001, 0x0000), false},
        {"no status: reads as 0", EchoAnswer(0x8030, std::nullopt), true},
        {"aborted instead of answered", [](std::size_t, const Bytes&) { return Bytes{}; }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedScp peer(c.respond);
        EXPECT_EQ(services::EchoSCU("127.0.0.1", peer.Port(), "local", "remote"), c.expected);
        peer.Join();
        ASSERT_EQ(peer.commands.size(), 1u);
        EXPECT_EQ(peer.commands[0].pdus, std::vector<Bytes>{EchoRequestPdu(3)});
        EXPECT_EQ(peer.released, std::string(c.name) != "aborted instead of answered");
    }

    // Rejected, and nothing listening.
    FakePeer rejecting;
    rejecting.Start([](PduStream& s) {
        ReadPduBytes(s);
        s.Write(ASSOCIATE_RJ);
    });
    EXPECT_FALSE(services::EchoSCU("127.0.0.1", rejecting.Port(), "", "remote"));
    EXPECT_FALSE(services::EchoSCU("127.0.0.1", std::to_string(testsupport::FreePort()), "", ""));
}

TEST(EchoSCU, EchoesRunOnSeveralThreadsAtOnce) {
    constexpr std::size_t THREADS = 4;
    std::vector<std::unique_ptr<ScriptedScp>> peers;
    std::vector<int> results(THREADS, -1);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < THREADS; ++i)
        peers.push_back(std::make_unique<ScriptedScp>(EchoAnswer(0x8030, 0x0000)));
    for (std::size_t i = 0; i < THREADS; ++i) {
        threads.emplace_back([&, i] {
            results[i] = services::EchoSCU("127.0.0.1", peers[i]->Port(), "local", "remote");
        });
    }
    for (auto& t : threads)
        t.join();
    for (std::size_t i = 0; i < THREADS; ++i) {
        peers[i]->Join();
        EXPECT_EQ(results[i], 1) << i;
        ASSERT_EQ(peers[i]->commands.size(), 1u);
        EXPECT_EQ(UsOf(peers[i]->commands[0].data, tag::MessageID) % 2, 1) << i;
    }
}

TEST_F(TraceFile, EchoTraceHoldsWhatEachLevelAsks) {
    const std::string accepted =
        "Presentation Context Accept, Transfer Syntax: 1.2.840.10008.1.2\r\n";
    const std::string messages =
        "local >> remote\r\n"
        "\t(0000,0000),  4,\tUL, \"56\" - Group Length\r\n"
        "\t(0000,0002), 18,\tUI, \"1.2.840.10008.1.1\" - Affected SOP Class UID\r\n"
        "\t(0000,0100),  2,\tUS, \"48\" - Command Field\r\n"
        "\t(0000,0110),  2,\tUS, \"3\" - Message ID\r\n"
        "\t(0000,0800),  2,\tUS, \"257\" - Data Set Type\r\n"
        "\r\n"
        "local << remote\r\n"
        "\t(0000,0000),  4,\tUL, \"66\" - Group Length\r\n"
        "\t(0000,0002), 18,\tUI, \"1.2.840.10008.1.1\" - Affected SOP Class UID\r\n"
        "\t(0000,0100),  2,\tUS, \"32816\" - Command Field\r\n"
        "\t(0000,0120),  2,\tUS, \"3\" - Message ID Being Responded To\r\n"
        "\t(0000,0800),  2,\tUS, \"257\" - Data Set Type\r\n"
        "\t(0000,0900),  2,\tUS, \"0\" - Status\r\n"
        "\r\n";
    for (int level = 1; level <= 3; ++level) {
        SCOPED_TRACE(level);
        std::filesystem::remove(path_);
        SetLog(path_, level);
        ScriptedScp peer(EchoAnswer(0x8030, 0x0000));
        EXPECT_TRUE(services::EchoSCU("127.0.0.1", peer.Port(), "local", "remote"));
        peer.Join();
        const std::string trace = Trace();
        const std::string connected = "Connected to: 127.0.0.1:" + peer.Port() + "\r\n";
        // Whole blocks below level 3; there the socket dumps (the peer's too) fall between.
        if (level < 3) {
            EXPECT_NE(trace.find(connected + accepted), std::string::npos) << trace;
        }
        if (level == 2) {
            EXPECT_NE(trace.find(messages), std::string::npos) << trace;
        }
        EXPECT_NE(trace.find(connected), std::string::npos);
        EXPECT_NE(trace.find(accepted), std::string::npos);
        for (std::size_t from = 0, to; (to = messages.find("\r\n", from)) != std::string::npos;
             from = to + 2) {
            if (to == from) continue;
            EXPECT_EQ(trace.find(messages.substr(from, to + 2 - from)) != std::string::npos,
                      level >= 2)
                << messages.substr(from, to - from);
        }
        EXPECT_EQ(trace.find("    80 >> 04 00 00 00 00 4A 00 00 00 46 01 03 ") != std::string::npos,
                  level == 3);
    }
}

TEST_F(TraceFile, ExportedOperations) {
    SetLOG(path_.c_str(), 1);
    WriteLogLine("Starting ECHO Service");
    const std::string line = Trace();
    ASSERT_EQ(line.size(), 8u + 2u + 21u + 2u) << line;
    EXPECT_EQ(line.substr(8), ": Starting ECHO Service\r\n");
    EXPECT_EQ(line[2], ':');

    ScriptedScp peer(EchoAnswer(0x8030, 0x0110));
    Association* assoc = NewPDU();
    ASSERT_NE(assoc, nullptr);
    char calling[17] = "";
    ASSERT_EQ(OpenAssoc(assoc, "127.0.0.1", peer.Port().c_str(), calling, "remote", VERIFICATION,
                        nullptr),
              1);
    EXPECT_STREQ(calling, "ORLANE          ");  // the default fills an empty title
    EXPECT_EQ(WriteEchoRQ(assoc, VERIFICATION), 1);
    EXPECT_EQ(ReadEchoRSP(assoc), 0);  // status 0x0110
    DeletePDU(assoc);                  // still connected: releases first
    peer.Join();
    EXPECT_TRUE(peer.released);
    ASSERT_EQ(peer.associateRq.size(), 211u);
    EXPECT_EQ(Bytes(peer.associateRq.begin() + 26, peer.associateRq.begin() + 42),
              T("ORLANE          "));

    EXPECT_EQ(CloseAssoc(nullptr), 0);
    EXPECT_EQ(EchoSCU(nullptr, "104", "", ""), 0);
    EXPECT_EQ(WriteEchoRQ(nullptr, VERIFICATION), 0);
    EXPECT_EQ(ReadEchoRSP(nullptr), 0);
    const std::string closedPort = std::to_string(testsupport::FreePort());
    EXPECT_EQ(EchoSCU("127.0.0.1", closedPort.c_str(), nullptr, nullptr), 0);
}

TEST(CliEcho, ReleaseWaitsEndAfterAFewSecondsOrAfterThirty) {
    using Clock = std::chrono::steady_clock;
    // The first peer releases instead of answering; the second answers and never answers our
    // release. Both keep the connection open and note what came next and whether it closed.
    Bytes release[2], next[2];
    bool closed[2] = {};
    FakePeer peers[2];
    for (int i = 0; i < 2; ++i) {
        peers[i].Start([&, i](PduStream& s) {
            AcceptAssociation(s);
            ReadMessagePart(s);
            s.Write(i == 0 ? RELEASE_RQ : PDataTF({{1, 0x03, EchoResponseBytes(3, 0x0000)}}));
            release[i] = ReadPduBytes(s);
            s.Socket().SetReceiveTimeout(std::chrono::minutes(2));
            next[i] = ReadPduBytes(s);
            closed[i] = next[i].empty() || ClosedByOtherSide(s);
        });
    }
    testsupport::CommandResult results[2];
    Clock::duration took[2];
    std::vector<std::thread> runs;
    for (int i = 0; i < 2; ++i) {
        runs.emplace_back([&, i] {
            const auto start = Clock::now();
            results[i] = testsupport::RunCommand(
                {testsupport::CliPath(), "echo", "127.0.0.1", peers[i].Port()});
            took[i] = Clock::now() - start;
        });
    }
    for (int i = 0; i < 2; ++i) {
        runs[i].join();
        peers[i].Join();
        EXPECT_TRUE(closed[i]) << i;
    }
    EXPECT_EQ(results[0].exitCode, 1);
    EXPECT_EQ(results[0].output,
              "ECHO failed to connect to: ANY-SCP (127.0.0.1:" + peers[0].Port() + ")\n");
    EXPECT_EQ(release[0], RELEASE_RP);
    EXPECT_EQ(next[0], RELEASE_RQ);  // our own request still follows, as it always has
    EXPECT_LT(took[0], std::chrono::seconds(15));
    EXPECT_EQ(results[1].output, "ECHO OK\n");
    EXPECT_EQ(release[1], RELEASE_RQ);
    EXPECT_GE(took[1], std::chrono::seconds(29));
    EXPECT_LT(took[1], std::chrono::seconds(100));  // not the 300 s of a receive
}
