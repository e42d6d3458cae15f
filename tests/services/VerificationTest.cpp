#include "services/Verification.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "data/Encoder.h"
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

// The C-ECHO-RQ PDU for Message ID 3 on context 1: 80 bytes.
Bytes EchoRequestPdu(uint8_t messageId) {
    // clang-format off
    return Cat({
        {0x04, 0x00},                       // P-DATA-TF, reserved
        {0x00, 0x00, 0x00, 0x4A},           // PDU length 74
        {0x00, 0x00, 0x00, 0x46},           // PDV item length 70
        {0x01, 0x03},                       // context 1; command, last fragment
        {0x00, 0x00, 0x00, 0x00},           // (0000,0000) Command Group Length
        {0x04, 0x00, 0x00, 0x00},           //   length 4
        {0x38, 0x00, 0x00, 0x00},           //   56 = 18 + 38
        {0x00, 0x00, 0x02, 0x00},           // (0000,0002) Affected SOP Class UID
        {0x12, 0x00, 0x00, 0x00},           //   length 18
        T("1.2.840.10008.1.1"), {0x00},     //   padded with 0x00
        {0x00, 0x00, 0x00, 0x01},           // (0000,0100) Command Field
        {0x02, 0x00, 0x00, 0x00},           //   length 2
        {0x30, 0x00},                       //   C-ECHO-RQ
        {0x00, 0x00, 0x10, 0x01},           // (0000,0110) Message ID
        {0x02, 0x00, 0x00, 0x00},           //   length 2
        {messageId, 0x00},
        {0x00, 0x00, 0x00, 0x08},           // (0000,0800) Command Data Set Type
        {0x02, 0x00, 0x00, 0x00},           //   length 2
        {0x01, 0x01},                       //   no data set
    });
    // clang-format on
}

// The Message ID of a C-ECHO-RQ PDU as this system sends it (one PDV), 0 when not there.
uint16_t MessageIdOf(const Bytes& pdu) {
    auto pdvs = DecodePDataTF(pdu);
    if (!pdvs || pdvs->size() != 1) return 0;
    ElementList command;
    data::ByteOrderStream in((*pdvs)[0].data, false);
    while (!in.AtEnd()) {
        DicomElement* e = data::ReadElement(in, false);
        if (e == nullptr) return 0;
        command.Append(e);
    }
    return data::GetTagUS(command, tag::MessageID);
}

// A peer that accepts, answers one echo request with respond(messageId), then serves the
// release. It records what it got.
struct EchoPeer {
    Bytes request;
    Bytes afterResponse;  // the PDU after the response: the release request

    std::function<void(PduStream&)> Script(std::function<Bytes(uint16_t)> respond) {
        return [this, respond = std::move(respond)](PduStream& s) {
            AcceptAssociation(s);
            request = ReadPduBytes(s);
            s.Write(PDataTF({{1, 0x03, respond(MessageIdOf(request))}}));
            afterResponse = ReadPduBytes(s);
            if (afterResponse == RELEASE_RQ) s.Write(RELEASE_RP);
        };
    }
};

Bytes ResponseWith(uint16_t messageId, uint16_t commandField, std::optional<uint16_t> status) {
    Bytes elements = Cat({
        ImplicitElement(0x0000, 0x0002, Cat({T(VERIFICATION), {0x00}})),
        ImplicitElement(0x0000, 0x0100, Le16(commandField)),
        ImplicitElement(0x0000, 0x0120, Le16(messageId)),
        ImplicitElement(0x0000, 0x0800, Le16(0x0101)),
    });
    if (status) elements = Cat({elements, ImplicitElement(0x0000, 0x0900, Le16(*status))});
    return CommandBytes(elements);
}

class TraceFile : public ::testing::Test {
  protected:
    void TearDown() override { SetLog("", 0); }
    std::string Trace() const { return testsupport::ReadFileText(path_); }
    testsupport::TempDir dir_;
    std::string path_ = (dir_ / "trace.log").string();
};

}  // namespace

TEST(CommandSet, GroupLengthFollowsTheElementsAndUidsArePaddedWithZero) {
    services::CommandSet odd = services::EchoRequest(VERIFICATION, 0x1234);
    EXPECT_EQ(odd.GroupLength(), 56u);
    // clang-format off
    const Bytes expected = Cat({
        ImplicitElement(0x0000, 0x0000, Le32(56)),
        ImplicitElement(0x0000, 0x0002, Cat({T(VERIFICATION), {0x00}})),
        ImplicitElement(0x0000, 0x0100, Le16(0x0030)),
        ImplicitElement(0x0000, 0x0110, Le16(0x1234)),
        ImplicitElement(0x0000, 0x0800, Le16(0x0101)),
    });
    // clang-format on
    EXPECT_EQ(data::EncodeList(odd.List(), false), expected);

    // An even-length UID gets no pad; raw bytes count with their own length.
    services::CommandSet even = services::EchoRequest("1.2.840.10008.1.20", 5);
    EXPECT_EQ(even.GroupLength(), 18u + 38u);
    EXPECT_EQ(data::FindTag(even.List(), tag::AffectedSOPClassUID)->length, 18u);
    const Bytes instance = T("1.2.3");
    even.AppendBytes(tag::AffectedSOPInstanceUID, "UI", instance);
    EXPECT_EQ(even.GroupLength(), 56u + 8u + 5u);
    EXPECT_EQ(data::GetTagUS(even.List(), tag::CommandGroupLength), 69u);
}

TEST(NextMessageID, OddAndDistinctAcrossThreads) {
    ResetMessageCounter();
    constexpr int THREADS = 4, DRAWS = 2000;
    std::vector<std::vector<uint16_t>> drawn(THREADS);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&drawn, t] {
            for (int i = 0; i < DRAWS; ++i)
                drawn[static_cast<std::size_t>(t)].push_back(services::NextMessageID());
        });
    }
    for (auto& thread : threads)
        thread.join();
    std::set<uint16_t> all;
    for (const auto& ids : drawn) {
        for (uint16_t id : ids) {
            EXPECT_EQ(id % 2, 1) << id;
            all.insert(id);
        }
    }
    EXPECT_EQ(all.size(), static_cast<std::size_t>(THREADS * DRAWS));
}

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
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].size(), 80u);
    EXPECT_EQ(got[0], EchoRequestPdu(3));
    EXPECT_EQ(got[1], EchoRequestPdu(5));
    EXPECT_EQ(got[2], EchoRequestPdu(7));
}

TEST(EchoSCU, SucceedsOnlyOnAnEchoResponseWithStatusSuccess) {
    struct Case {
        const char* name;
        uint16_t commandField;
        std::optional<uint16_t> status;
        bool expected;
    };
    const Case cases[] = {
        {"success", 0x8030, 0x0000, true},
        {"status 0x0110", 0x8030, 0x0110, false},
        {"a C-STORE-RSP", 0x8001, 0x0000, false},
        {"no status: reads as 0", 0x8030, std::nullopt, true},
    };
    for (const auto& c : cases) {
        FakePeer peer;
        EchoPeer echo;
        peer.Start(
            echo.Script([&](uint16_t id) { return ResponseWith(id, c.commandField, c.status); }));
        EXPECT_EQ(services::EchoSCU("127.0.0.1", peer.Port(), "local", "remote"), c.expected)
            << c.name;
        peer.Join();
        EXPECT_EQ(echo.request, EchoRequestPdu(3)) << c.name;
        EXPECT_EQ(echo.afterResponse, RELEASE_RQ) << c.name;  // released on every path
    }
}

TEST(EchoSCU, FailsWithoutAnAssociationOrAnAnswer) {
    // Nothing listens.
    const std::string closedPort = std::to_string(testsupport::FreePort());
    EXPECT_FALSE(services::EchoSCU("127.0.0.1", closedPort, "", "remote"));

    // Rejected.
    {
        FakePeer peer;
        peer.Start([](PduStream& s) {
            ReadPduBytes(s);
            s.Write(ASSOCIATE_RJ);
        });
        EXPECT_FALSE(services::EchoSCU("127.0.0.1", peer.Port(), "", "remote"));
    }
    // Aborted instead of answered.
    {
        FakePeer peer;
        Bytes request;
        peer.Start([&](PduStream& s) {
            AcceptAssociation(s);
            request = ReadPduBytes(s);
            s.Write(ABORT);
        });
        EXPECT_FALSE(services::EchoSCU("127.0.0.1", peer.Port(), "", "remote"));
        peer.Join();
        EXPECT_EQ(request.size(), 80u);
    }
}

TEST(EchoSCU, AnsweredByAnAcceptorBuiltOnTheSameLayers) {
    TcpSocket listener;
    ASSERT_TRUE(listener.ListenOn(0));
    uint16_t messageId = 0;
    bool released = false;
    std::thread acceptor([&] {
        if (!listener.Accept()) return;
        Association assoc;
        assoc.stream.Socket().SetReceiveTimeout(PEER_TIMEOUT);
        if (!AcceptAssoc(assoc, listener.ReleaseConnection())) return;
        ElementList request;
        if (!ReceiveMessage(assoc, request)) return;
        messageId = data::GetTagUS(request, tag::MessageID);
        services::CommandSet response;
        response.AppendUid(tag::AffectedSOPClassUID, VERIFICATION)
            .AppendUs(tag::CommandField, services::C_ECHO_RSP)
            .AppendUs(tag::MessageIDBeingRespondedTo, messageId)
            .AppendUs(tag::CommandDataSetType, services::NO_DATA_SET)
            .AppendUs(tag::Status, services::STATUS_SUCCESS);
        if (!SendMessage(assoc, response.List(), VERIFICATION, MessageKind::Command)) return;
        // The release request ends the next receive, and is answered.
        ElementList more;
        released = !ReceiveMessage(assoc, more) && assoc.stream.Connected();
    });
    const std::string port = std::to_string(listener.LocalPort());
    EXPECT_TRUE(services::EchoSCU("127.0.0.1", port, "local", "ACCEPTOR"));
    acceptor.join();
    EXPECT_EQ(messageId % 2, 1);
    EXPECT_TRUE(released);
}

TEST(EchoSCU, EchoesRunOnSeveralThreadsAtOnce) {
    constexpr int THREADS = 4;
    std::vector<std::unique_ptr<FakePeer>> peers;
    std::vector<std::unique_ptr<EchoPeer>> echoes;
    for (int i = 0; i < THREADS; ++i) {
        peers.push_back(std::make_unique<FakePeer>());
        echoes.push_back(std::make_unique<EchoPeer>());
        peers.back()->Start(
            echoes.back()->Script([](uint16_t id) { return ResponseWith(id, 0x8030, 0x0000); }));
    }
    std::vector<int> results(THREADS, -1);
    std::vector<std::thread> threads;
    for (int i = 0; i < THREADS; ++i) {
        threads.emplace_back([&, i] {
            results[static_cast<std::size_t>(i)] =
                services::EchoSCU("127.0.0.1", peers[static_cast<std::size_t>(i)]->Port(), "local",
                                  "remote")
                    ? 1
                    : 0;
        });
    }
    for (auto& t : threads)
        t.join();
    for (int i = 0; i < THREADS; ++i) {
        peers[static_cast<std::size_t>(i)]->Join();
        EXPECT_EQ(results[static_cast<std::size_t>(i)], 1) << i;
        EXPECT_EQ(MessageIdOf(echoes[static_cast<std::size_t>(i)]->request) % 2, 1) << i;
    }
}

TEST_F(TraceFile, EchoTraceHoldsWhatEachLevelAsks) {
    for (int level = 1; level <= 3; ++level) {
        std::filesystem::remove(path_);
        SetLog(path_, level);
        FakePeer peer;
        EchoPeer echo;
        peer.Start(echo.Script([](uint16_t id) { return ResponseWith(id, 0x8030, 0x0000); }));
        EXPECT_TRUE(services::EchoSCU("127.0.0.1", peer.Port(), "local", "remote")) << level;
        peer.Join();
        const std::string trace = Trace();

        const std::string association = "Connected to: 127.0.0.1:" + peer.Port() +
                                        "\r\nPresentation Context Accept, Transfer Syntax: "
                                        "1.2.840.10008.1.2\r\n";
        const std::string sent =
            "local >> remote\r\n"
            "\t(0000,0000),  4,\tUL, \"56\" - Group Length\r\n"
            "\t(0000,0002), 18,\tUI, \"1.2.840.10008.1.1\" - Affected SOP Class UID\r\n"
            "\t(0000,0100),  2,\tUS, \"48\" - Command Field\r\n"
            "\t(0000,0110),  2,\tUS, \"3\" - Message ID\r\n"
            "\t(0000,0800),  2,\tUS, \"257\" - Data Set Type\r\n"
            "\r\n";
        const std::string received = "local << remote\r\n";
        const std::string status = "\t(0000,0900),  2,\tUS, \"0\" - Status\r\n\r\n";
        const std::string hexRequest = "    80 >> 04 00 00 00 00 4A 00 00 00 46 01 03 ";

        if (level < 3) {
            EXPECT_NE(trace.find(association), std::string::npos) << level << trace;
        } else {
            // The socket dumps come between the association lines.
            EXPECT_NE(trace.find("Connected to: 127.0.0.1:" + peer.Port()), std::string::npos);
            EXPECT_NE(trace.find("Presentation Context Accept, Transfer Syntax: "
                                 "1.2.840.10008.1.2\r\n"),
                      std::string::npos);
        }
        // At level 3 the peer's own socket dumps may fall between the lines of a block.
        if (level == 2) {
            EXPECT_NE(trace.find(sent), std::string::npos) << trace;
        }
        std::size_t from = 0, to = 0;
        while ((to = sent.find("\r\n", from)) != std::string::npos) {
            const std::string line = sent.substr(from, to + 2 - from);
            EXPECT_EQ(trace.find(line) != std::string::npos, level >= 2 || line == "\r\n")
                << level << line;
            from = to + 2;
        }
        EXPECT_EQ(trace.find(received) != std::string::npos, level >= 2) << level;
        EXPECT_EQ(trace.find(status) != std::string::npos, level >= 2) << level;
        EXPECT_EQ(trace.find(hexRequest) != std::string::npos, level >= 3) << level;
        if (level >= 2) {
            EXPECT_LT(trace.find("local >> remote"), trace.find(received));
        }
    }
}

TEST_F(TraceFile, ExportedOperations) {
    SetLOG(path_.c_str(), 1);
    WriteLogLine("Starting ECHO Service");
    const std::string line = Trace();
    ASSERT_EQ(line.size(), 8u + 2u + 21u + 2u) << line;
    EXPECT_EQ(line.substr(8), ": Starting ECHO Service\r\n");
    EXPECT_EQ(line[2], ':');

    FakePeer peer;
    EchoPeer echo;
    peer.Start(echo.Script([](uint16_t id) { return ResponseWith(id, 0x8030, 0x0110); }));
    Association* assoc = NewPDU();
    ASSERT_NE(assoc, nullptr);
    char calling[17] = "";
    ASSERT_EQ(OpenAssoc(assoc, "127.0.0.1", peer.Port().c_str(), calling, "remote", VERIFICATION,
                        nullptr),
              1);
    EXPECT_EQ(WriteEchoRQ(assoc, VERIFICATION), 1);
    EXPECT_EQ(ReadEchoRSP(assoc), 0);  // status 0x0110
    DeletePDU(assoc);
    peer.Join();
    EXPECT_EQ(echo.request, EchoRequestPdu(3));
    EXPECT_EQ(echo.afterResponse, RELEASE_RQ);

    EXPECT_EQ(EchoSCU(nullptr, "104", "", ""), 0);
    EXPECT_EQ(WriteEchoRQ(nullptr, VERIFICATION), 0);
    EXPECT_EQ(ReadEchoRSP(nullptr), 0);
    const std::string closedPort = std::to_string(testsupport::FreePort());
    EXPECT_EQ(EchoSCU("127.0.0.1", closedPort.c_str(), nullptr, nullptr), 0);
}
