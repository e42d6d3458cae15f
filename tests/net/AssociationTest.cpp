#include "net/Association.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>

#include "NetFixtures.h"
#include "net/TraceLog.h"
#include "support/TestSupport.h"
#include "zedavura.h"

using namespace dicomlib::net;
using namespace nettest;

namespace {

constexpr char VERIFICATION[] = "1.2.840.10008.1.1";
constexpr char CT_IMAGE_STORAGE[] = "1.2.840.10008.5.1.4.1.1.2";

// An AC accepting every proposal of rq with its first transfer syntax, or answering all with
// the given result.
Bytes AnswerTo(const Bytes& rqBytes, uint8_t result = RESULT_ACCEPTANCE) {
    auto rq = DecodeAssociateRQ(rqBytes);
    AssociateAC ac;
    ac.applicationContext = APPLICATION_CONTEXT_NAME;
    if (rq) {
        ac.calledAeTitle = rq->calledAeTitle;
        ac.callingAeTitle = rq->callingAeTitle;
        for (const auto& pc : rq->contexts) {
            ac.contexts.push_back(
                {pc.id, result, result == RESULT_ACCEPTANCE ? pc.transferSyntaxes[0] : "", ""});
        }
    }
    ac.userInformation = {16384, "1.2.3.4", "PEER", 0};
    return EncodeAssociateAC(ac);
}

// A peer that records the RQ, sends answer(rq) and then serves a release.
struct RequestorRun {
    FakePeer peer;
    Bytes rq;
    Bytes afterAnswer;  // the next PDU after the answer (empty when the connection ended)

    void Start(std::function<Bytes(const Bytes&)> answer) {
        peer.Start([this, answer = std::move(answer)](PduStream& s) {
            rq = ReadPduBytes(s);
            s.Write(answer(rq));
            afterAnswer = ReadPduBytes(s);
            if (afterAnswer == RELEASE_RQ) s.Write(RELEASE_RP);
        });
    }
};

std::vector<std::string> ProposedOver(RequestorRun& run) {
    run.peer.Join();
    auto rq = DecodeAssociateRQ(run.rq);
    if (!rq || rq->contexts.size() != 1) return {"<no single proposal>"};
    return rq->contexts[0].transferSyntaxes;
}

// Connects a client to the listener, which accepts and hands the handle to AcceptAssoc.
struct AcceptorRun {
    TcpSocket listener;
    Bytes answer;
    Bytes afterAnswer;
    bool closedAfterAnswer = false;
    std::thread client;

    AcceptorRun() { listener.ListenOn(0); }
    ~AcceptorRun() {
        if (client.joinable()) client.join();
    }

    // Sends request, keeps the answer, then sends a release RQ when asked.
    bool Run(Association& assoc, const Bytes& request, bool release = false) {
        const std::string port = std::to_string(listener.LocalPort());
        client = std::thread([this, port, request, release] {
            PduStream s;
            s.Socket().SetReceiveTimeout(PEER_TIMEOUT);
            if (!s.Open("127.0.0.1", port)) return;
            s.Write(request);
            answer = ReadPduBytes(s);
            if (release) {
                s.Write(RELEASE_RQ);
                afterAnswer = ReadPduBytes(s);
            } else {
                closedAfterAnswer = ClosedByOtherSide(s);
            }
        });
        if (!listener.Accept()) return false;
        assoc.stream.Socket().SetReceiveTimeout(PEER_TIMEOUT);
        return AcceptAssoc(assoc, listener.ReleaseConnection());
    }
    void Join() { client.join(); }
};

AssociateRQ RequestOf(std::vector<PresentationContextRQ> contexts) {
    AssociateRQ rq;
    rq.calledAeTitle = "STORESCP";
    rq.callingAeTitle = "MODALITY        ";
    rq.applicationContext = APPLICATION_CONTEXT_NAME;
    rq.contexts = std::move(contexts);
    rq.userInformation = {32768, "1.2.276.0.7230010.3.0.3.6.7", "PEER_367", 0};
    return rq;
}

class AssociationTrace : public ::testing::Test {
  protected:
    void SetUp() override { SetLog(path_, LOG_ASSOCIATION); }
    void TearDown() override { SetLog("", 0); }
    std::string Trace() const { return testsupport::ReadFileText(path_); }
    testsupport::TempDir dir_;
    std::string path_ = (dir_ / "trace.log").string();
};

}  // namespace

TEST_F(AssociationTrace, RequestorSendsTheRequestByteExactAndReleases) {
    RequestorRun run;
    run.Start([](const Bytes& rq) { return AnswerTo(rq); });
    Association assoc;
    assoc.stream.Socket().SetReceiveTimeout(PEER_TIMEOUT);
    std::string calling = "local";
    ASSERT_TRUE(OpenAssoc(assoc, "127.0.0.1", run.peer.Port(), calling, "remote", VERIFICATION,
                          IMPLICIT_VR_LITTLE_ENDIAN));
    ASSERT_EQ(assoc.acceptedContexts.size(), 1u);
    EXPECT_EQ(assoc.acceptedContexts[0].id, 1);
    EXPECT_EQ(assoc.acceptedContexts[0].transferSyntax, IMPLICIT_VR_LITTLE_ENDIAN);
    EXPECT_EQ(assoc.acceptedContexts[0].abstractSyntax, VERIFICATION);
    EXPECT_EQ(assoc.answer.userInformation.implementationClassUid, "1.2.3.4");
    EXPECT_EQ(MessageCounterValue(), 2u);

    EXPECT_TRUE(CloseAssoc(assoc));
    EXPECT_FALSE(assoc.stream.Connected());
    run.peer.Join();
    EXPECT_EQ(run.rq, AssociateRqFixture());
    EXPECT_EQ(run.afterAnswer, RELEASE_RQ);
    EXPECT_EQ(Trace(),
              "Connected to: 127.0.0.1:" + run.peer.Port() +
                  "\r\nPresentation Context Accept, Transfer Syntax: 1.2.840.10008.1.2\r\n");
}

TEST(Requestor, ExportedOpenFillsTheDefaultCallingTitle) {
    RequestorRun run;
    run.Start([](const Bytes& rq) { return AnswerTo(rq); });
    Association* assoc = NewPDU();
    ASSERT_NE(assoc, nullptr);
    char calling[17] = "";
    EXPECT_EQ(::OpenAssoc(assoc, "127.0.0.1", run.peer.Port().c_str(), calling, "remote",
                          VERIFICATION, nullptr),
              1);
    EXPECT_STREQ(calling, "ORLANE          ");
    DeletePDU(assoc);  // still connected: releases first
    run.peer.Join();
    ASSERT_EQ(run.rq.size(), 211u);
    EXPECT_EQ(Bytes(run.rq.begin() + 26, run.rq.begin() + 42), T("ORLANE          "));
    EXPECT_EQ(run.afterAnswer, RELEASE_RQ);
    EXPECT_EQ(::CloseAssoc(nullptr), 0);
}

TEST(Requestor, ProposesTheTransferSyntaxesOfEachCase) {
    using Syntaxes = std::vector<std::string>;
    auto open = [](std::optional<std::string_view> syntax) {
        RequestorRun run;
        run.Start([](const Bytes& rq) { return AnswerTo(rq); });
        Association assoc;
        std::string calling = "local";
        OpenAssoc(assoc, "127.0.0.1", run.peer.Port(), calling, "remote", VERIFICATION, syntax);
        CloseAssoc(assoc);
        return ProposedOver(run);
    };
    EXPECT_EQ(open(EXPLICIT_VR_LITTLE_ENDIAN),
              (Syntaxes{EXPLICIT_VR_LITTLE_ENDIAN, IMPLICIT_VR_LITTLE_ENDIAN}));
    EXPECT_EQ(open(std::nullopt), (Syntaxes{IMPLICIT_VR_LITTLE_ENDIAN}));
    EXPECT_EQ(open(IMPLICIT_VR_LITTLE_ENDIAN), (Syntaxes{IMPLICIT_VR_LITTLE_ENDIAN}));

    auto store = [](std::optional<std::string_view> file,
                    std::optional<std::string_view> preferred) {
        RequestorRun run;
        run.Start([](const Bytes& rq) { return AnswerTo(rq); });
        Association assoc;
        std::string calling = "local";
        OpenStorageAssoc(assoc, "127.0.0.1", run.peer.Port(), calling, "remote", CT_IMAGE_STORAGE,
                         file, preferred);
        CloseAssoc(assoc);
        return ProposedOver(run);
    };
    EXPECT_EQ(store(EXPLICIT_VR_LITTLE_ENDIAN, JPEG_BASELINE),
              (Syntaxes{EXPLICIT_VR_LITTLE_ENDIAN, JPEG_BASELINE, IMPLICIT_VR_LITTLE_ENDIAN}));
    EXPECT_EQ(store(IMPLICIT_VR_LITTLE_ENDIAN, std::nullopt),
              (Syntaxes{IMPLICIT_VR_LITTLE_ENDIAN, IMPLICIT_VR_LITTLE_ENDIAN}));
    EXPECT_EQ(store(IMPLICIT_VR_LITTLE_ENDIAN, JPEG_BASELINE),
              (Syntaxes{IMPLICIT_VR_LITTLE_ENDIAN, JPEG_BASELINE, IMPLICIT_VR_LITTLE_ENDIAN}));
    EXPECT_EQ(store(EXPLICIT_VR_LITTLE_ENDIAN, EXPLICIT_VR_LITTLE_ENDIAN),
              (Syntaxes{EXPLICIT_VR_LITTLE_ENDIAN, IMPLICIT_VR_LITTLE_ENDIAN}));
    EXPECT_EQ(store(IMPLICIT_VR_LITTLE_ENDIAN, IMPLICIT_VR_LITTLE_ENDIAN),
              (Syntaxes{IMPLICIT_VR_LITTLE_ENDIAN}));
    EXPECT_EQ(store(JPEG_LOSSLESS_FIRST_ORDER, IMPLICIT_VR_LITTLE_ENDIAN),
              (Syntaxes{JPEG_LOSSLESS_FIRST_ORDER, IMPLICIT_VR_LITTLE_ENDIAN}));
    // The empty preferred text of "little Endian, Implicit VR": an empty sub-item on the wire.
    EXPECT_EQ(store(EXPLICIT_VR_LITTLE_ENDIAN, ""),
              (Syntaxes{EXPLICIT_VR_LITTLE_ENDIAN, "", IMPLICIT_VR_LITTLE_ENDIAN}));

    // Without a file syntax nothing is proposed and nothing opened.
    Association assoc;
    std::string calling;
    EXPECT_FALSE(OpenStorageAssoc(assoc, "127.0.0.1", "104", calling, "remote", CT_IMAGE_STORAGE,
                                  std::nullopt, JPEG_BASELINE));
    EXPECT_TRUE(assoc.request.contexts.empty());
    EXPECT_EQ(calling, DEFAULT_CALLING_AE_TITLE);
}

TEST(Requestor, EmptySyntaxGoesOutAsAnEmptySubItem) {
    RequestorRun run;
    run.Start([](const Bytes& rq) { return AnswerTo(rq); });
    Association assoc;
    std::string calling = "local";
    ASSERT_TRUE(OpenStorageAssoc(assoc, "127.0.0.1", run.peer.Port(), calling, "remote",
                                 CT_IMAGE_STORAGE, EXPLICIT_VR_LITTLE_ENDIAN, ""));
    CloseAssoc(assoc);
    run.peer.Join();
    // clang-format off
    const Bytes context = Cat({
        {0x20, 0x00, 0x00, 0x51},       // presentation context item, length 81
        {0x01, 0x00, 0x00, 0x00},       // ID 1
        {0x30, 0x00, 0x00, 0x19},       // abstract syntax, length 25
        T(CT_IMAGE_STORAGE),
        {0x40, 0x00, 0x00, 0x13},       // the file's syntax, length 19
        T(EXPLICIT_VR_LITTLE_ENDIAN),
        {0x40, 0x00, 0x00, 0x00},       // the empty preferred syntax
        {0x40, 0x00, 0x00, 0x11},       // implicit VR little endian
        T(IMPLICIT_VR_LITTLE_ENDIAN),
    });
    // clang-format on
    ASSERT_GE(run.rq.size(), 99 + context.size());
    EXPECT_EQ(Bytes(run.rq.begin() + 99, run.rq.begin() + 99 + 85), context);
}

TEST(Requestor, RefusalsRejectionsAndBrokenAnswersFail) {
    {
        // Every context refused (result 3): false, and the connection is closed.
        RequestorRun run;
        run.Start([](const Bytes& rq) { return AnswerTo(rq, 3); });
        Association assoc;
        assoc.stream.Socket().SetReceiveTimeout(PEER_TIMEOUT);
        std::string calling = "local";
        EXPECT_FALSE(OpenAssoc(assoc, "127.0.0.1", run.peer.Port(), calling, "remote", VERIFICATION,
                               std::nullopt));
        EXPECT_FALSE(assoc.stream.Connected());
        EXPECT_TRUE(assoc.acceptedContexts.empty());
        run.peer.Join();
        EXPECT_TRUE(run.afterAnswer.empty());
    }
    {
        // A-ASSOCIATE-RJ: read, kept, false.
        RequestorRun run;
        run.Start([](const Bytes&) { return ASSOCIATE_RJ; });
        Association assoc;
        std::string calling = "local";
        EXPECT_FALSE(OpenAssoc(assoc, "127.0.0.1", run.peer.Port(), calling, "remote", VERIFICATION,
                               std::nullopt));
        EXPECT_FALSE(assoc.stream.Connected());
        EXPECT_EQ(assoc.rejection, (AssociateRJ{1, 1, 7}));
        run.peer.Join();
        EXPECT_TRUE(run.afterAnswer.empty());
    }
    {
        // An AC whose presentation context item runs past the PDU: A-ABORT, false.
        RequestorRun run;
        run.Start([](const Bytes& rq) {
            Bytes ac = AnswerTo(rq);
            Put16(ac, 101, 0x0400);
            return ac;
        });
        Association assoc;
        std::string calling = "local";
        EXPECT_FALSE(OpenAssoc(assoc, "127.0.0.1", run.peer.Port(), calling, "remote", VERIFICATION,
                               std::nullopt));
        EXPECT_FALSE(assoc.stream.Connected());
        run.peer.Join();
        EXPECT_EQ(run.afterAnswer, ABORT);
    }
    {
        // Some other PDU instead of an answer: false, closed, nothing sent.
        RequestorRun run;
        run.Start([](const Bytes&) { return RELEASE_RP; });
        Association assoc;
        std::string calling = "local";
        EXPECT_FALSE(OpenAssoc(assoc, "127.0.0.1", run.peer.Port(), calling, "remote", VERIFICATION,
                               std::nullopt));
        run.peer.Join();
        EXPECT_TRUE(run.afterAnswer.empty());
    }
    {
        // Nobody listening.
        Association assoc;
        std::string calling = "local";
        EXPECT_FALSE(OpenAssoc(assoc, "127.0.0.1", std::to_string(testsupport::FreePort()), calling,
                               "remote", VERIFICATION, std::nullopt));
    }
}

TEST(Requestor, ReopeningStartsFromOneProposalAndReleaseEndsOnPeerClose) {
    Association assoc;
    std::string calling = "local";
    for (int round = 0; round < 2; ++round) {
        FakePeer peer;
        Bytes rq;
        peer.Start([&](PduStream& s) {
            rq = ReadPduBytes(s);
            s.Write(AnswerTo(rq));
            // No release reply: the connection simply ends.
            ReadPduBytes(s);
        });
        ASSERT_TRUE(OpenAssoc(assoc, "127.0.0.1", peer.Port(), calling, "remote", VERIFICATION,
                              std::nullopt));
        EXPECT_TRUE(CloseAssoc(assoc));
        peer.Join();
        auto decoded = DecodeAssociateRQ(rq);
        ASSERT_TRUE(decoded.Ok());
        EXPECT_EQ(decoded->contexts.size(), 1u);
        EXPECT_EQ(assoc.acceptedContexts.size(), 1u);
    }
}

TEST(MessageCounter, DrawsOddValuesOnceEachAcrossThreads) {
    ResetMessageCounter();
    EXPECT_EQ(NextOddCounterValue(), 1u);
    EXPECT_EQ(NextOddCounterValue(), 3u);
    AdvanceMessageCounter();  // 4 -> 5
    EXPECT_EQ(NextOddCounterValue(), 5u);
    EXPECT_EQ(NextOddCounterValue(), 7u);  // 6 is even: first one step on

    constexpr int THREADS = 4;
    constexpr int DRAWS = 2000;
    std::vector<std::vector<uint32_t>> drawn(THREADS);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&drawn, t] {
            for (int i = 0; i < DRAWS; ++i) {
                drawn[static_cast<std::size_t>(t)].push_back(NextOddCounterValue());
                if (i % 3 == 0) AdvanceMessageCounter();
            }
        });
    }
    for (auto& t : threads)
        t.join();
    std::set<uint32_t> all;
    for (const auto& values : drawn) {
        for (uint32_t v : values) {
            EXPECT_EQ(v % 2, 1u);
            all.insert(v);
        }
    }
    EXPECT_EQ(all.size(), static_cast<std::size_t>(THREADS * DRAWS));
}

TEST_F(AssociationTrace, AcceptorChoosesAmongTheOfferedSyntaxes) {
    const AssociateRQ request = RequestOf({
        {1, CT_IMAGE_STORAGE, {EXPLICIT_VR_LITTLE_ENDIAN, IMPLICIT_VR_LITTLE_ENDIAN}},
        {3, ULTRASOUND_MULTIFRAME_IMAGE_STORAGE, {IMPLICIT_VR_LITTLE_ENDIAN, JPEG_BASELINE}},
        {5, "1.2.3.4.5.6", {IMPLICIT_VR_LITTLE_ENDIAN}},
        {7, CT_IMAGE_STORAGE, {JPEG_BASELINE, JPEG_LOSSLESS_FIRST_ORDER}},
        {9, VERIFICATION, {"1.2.840.10008.1.2.2"}},
    });
    ResetMessageCounter();
    Association assoc;
    AcceptorRun run;
    ASSERT_TRUE(run.Run(assoc, EncodeAssociateRQ(request), true));
    EXPECT_EQ(MessageCounterValue(), 6u);  // one step for each of the five answers

    // The acceptor side answers the release as the storage provider does.
    EXPECT_EQ(ReadPduBytes(assoc.stream), RELEASE_RQ);
    assoc.stream.Write(EncodeReleaseRP());
    run.Join();
    EXPECT_EQ(run.afterAnswer, RELEASE_RP);

    auto ac = DecodeAssociateAC(run.answer);
    ASSERT_TRUE(ac.Ok()) << ac.GetError().detail;
    EXPECT_EQ(ac->calledAeTitle, "STORESCP");
    EXPECT_EQ(ac->callingAeTitle, "MODALITY        ");
    const std::vector<PresentationContextAC> expected = {
        {1, 0, IMPLICIT_VR_LITTLE_ENDIAN, ""},
        {3, 0, JPEG_BASELINE, ""},
        {5, 4, "", ""},
        {7, 0, JPEG_LOSSLESS_FIRST_ORDER, ""},
        {9, 4, "", ""},
    };
    EXPECT_EQ(ac->contexts, expected);
    EXPECT_EQ(ac->userInformation,
              (UserInformation{16384, IMPLEMENTATION_CLASS_UID, IMPLEMENTATION_VERSION_NAME, 0}));
    ASSERT_EQ(assoc.acceptedContexts.size(), 3u);
    EXPECT_EQ(assoc.acceptedContexts[1].abstractSyntax, ULTRASOUND_MULTIFRAME_IMAGE_STORAGE);

    EXPECT_EQ(
        Trace(),
        std::string("Called Ap. Title: STORESCP\r\n"
                    "Calling Ap. Title: MODALITY        \r\n"
                    "Offered Presentation Context, Abstract Syntax: ") +
            CT_IMAGE_STORAGE + "\r\nOffered Presentation Context, Transfer Syntax: " +
            IMPLICIT_VR_LITTLE_ENDIAN + "\r\nOffered Presentation Context, Abstract Syntax: " +
            ULTRASOUND_MULTIFRAME_IMAGE_STORAGE +
            "\r\nOffered Presentation Context, Transfer Syntax: " + JPEG_BASELINE +
            "\r\nOffered Presentation Context, Abstract Syntax: " + CT_IMAGE_STORAGE +
            "\r\nOffered Presentation Context, Transfer Syntax: " + JPEG_LOSSLESS_FIRST_ORDER +
            "\r\n");
}

TEST(Acceptor, NothingAcceptableGetsAnAnswerAndTheConnectionEnds) {
    const AssociateRQ request = RequestOf({{1, "1.2.3.4.5.6", {IMPLICIT_VR_LITTLE_ENDIAN}}});
    Association assoc;
    AcceptorRun run;
    EXPECT_FALSE(run.Run(assoc, EncodeAssociateRQ(request)));
    EXPECT_FALSE(assoc.stream.Connected());
    run.Join();
    EXPECT_TRUE(run.closedAfterAnswer);
    auto ac = DecodeAssociateAC(run.answer);
    ASSERT_TRUE(ac.Ok());
    ASSERT_EQ(ac->contexts.size(), 1u);
    EXPECT_EQ(ac->contexts[0].result, 4);
    // The requestor's own user information comes back.
    EXPECT_EQ(ac->userInformation, request.userInformation);
    // clang-format off
    const Bytes refused = {
        0x21, 0x00, 0x00, 0x08,         // presentation context item, length 8
        0x01, 0x00, 0x04, 0x00,         // ID 1, reserved, result 4, reserved
        0x40, 0x00, 0x00, 0x00,         // empty transfer syntax
    };
    // clang-format on
    EXPECT_EQ(Bytes(run.answer.begin() + 99, run.answer.begin() + 111), refused);
}

TEST(Acceptor, RoleSelectionBeforeTheClassUidIsSkipped) {
    Bytes rq = EncodeAssociateRQ(RequestOf({{1, VERIFICATION, {IMPLICIT_VR_LITTLE_ENDIAN}}}));
    // The user information item is the last: put a role selection sub-item at its start.
    const std::size_t userInfo = rq.size() - (4 + 8 + 4 + 27 + 4 + 8);
    ASSERT_EQ(rq[userInfo], 0x50);
    const Bytes selection = {0x54, 0x00, 0x00, 0x15, 0x00, 0x11, 0x31, 0x2E, 0x32,
                             0x2E, 0x38, 0x34, 0x30, 0x2E, 0x31, 0x30, 0x30, 0x30,
                             0x38, 0x2E, 0x31, 0x2E, 0x31, 0x01, 0x00};
    rq.insert(rq.begin() + static_cast<std::ptrdiff_t>(userInfo) + 4, selection.begin(),
              selection.end());
    Put16(rq, userInfo + 2, static_cast<uint16_t>(8 + 31 + 12 + selection.size()));
    Put32(rq, 2, static_cast<uint32_t>(rq.size() - 6));
    Association assoc;
    AcceptorRun run;
    EXPECT_TRUE(run.Run(assoc, rq));
    EXPECT_EQ(assoc.request.userInformation.skippedBytes, selection.size() - 1 + 8 + 31 + 12);
    assoc.stream.Close();
    run.Join();
    auto ac = DecodeAssociateAC(run.answer);
    ASSERT_TRUE(ac.Ok());
    EXPECT_EQ(ac->contexts[0].result, 0);
}

TEST(Acceptor, InconsistentRequestsAreAborted) {
    const Bytes good =
        EncodeAssociateRQ(RequestOf({{1, VERIFICATION, {IMPLICIT_VR_LITTLE_ENDIAN}}}));
    Bytes itemTooLong = good;
    Put16(itemTooLong, 101, 0x0800);  // presentation context item past the PDU
    Bytes subTooLong = good;
    Put16(subTooLong, 109, 0x0040);  // abstract syntax past its item
    Bytes userSubTooLong = good;
    const std::size_t userInfo = good.size() - (4 + 8 + 4 + 27 + 4 + 8);
    Put16(userSubTooLong, userInfo + 4 + 8 + 2, 0x0100);  // class UID past the user information
    const Bytes notARequest = P_DATA_TF;
    for (const Bytes& request : {itemTooLong, subTooLong, userSubTooLong, notARequest}) {
        Association assoc;
        AcceptorRun run;
        EXPECT_FALSE(run.Run(assoc, request));
        EXPECT_FALSE(assoc.stream.Connected());
        run.Join();
        EXPECT_EQ(run.answer, ABORT);
    }
}

TEST(Acceptor, AnswerAboveOneChunkGoesOutWholeAndInOrder) {
    std::vector<PresentationContextRQ> contexts;
    for (int i = 0; i < 1500; ++i) {
        const char* sop = i % 3 == 2 ? "1.2.3.4" : CT_IMAGE_STORAGE;
        contexts.push_back({static_cast<uint8_t>(2 * i + 1), sop, {IMPLICIT_VR_LITTLE_ENDIAN}});
    }
    Association assoc;
    AcceptorRun run;
    ASSERT_TRUE(run.Run(assoc, EncodeAssociateRQ(RequestOf(contexts))));
    assoc.stream.Close();
    run.Join();
    EXPECT_GT(run.answer.size(), 32600u);
    auto ac = DecodeAssociateAC(run.answer);
    ASSERT_TRUE(ac.Ok()) << ac.GetError().detail;
    ASSERT_EQ(ac->contexts.size(), 1500u);
    for (std::size_t i = 0; i < 1500; ++i) {
        EXPECT_EQ(ac->contexts[i].id, static_cast<uint8_t>(2 * i + 1));
        EXPECT_EQ(ac->contexts[i].result, i % 3 == 2 ? 4 : 0);
    }
    EXPECT_EQ(assoc.acceptedContexts.size(), 1000u);
}

TEST(AssociationLoopback, RequestorAndAcceptorAgree) {
    TcpSocket listener;
    ASSERT_TRUE(listener.ListenOn(0));
    bool accepted = false;
    std::thread acceptor([&] {
        if (!listener.Accept()) return;
        Association assoc;
        assoc.stream.Socket().SetReceiveTimeout(PEER_TIMEOUT);
        accepted = AcceptAssoc(assoc, listener.ReleaseConnection());
        if (accepted && ReadPduBytes(assoc.stream) == RELEASE_RQ) assoc.stream.Write(RELEASE_RP);
    });
    Association assoc;
    assoc.stream.Socket().SetReceiveTimeout(PEER_TIMEOUT);
    std::string calling;
    const bool open = OpenAssoc(assoc, "localhost", std::to_string(listener.LocalPort()), calling,
                                "ANY-SCP", CT_IMAGE_STORAGE, EXPLICIT_VR_LITTLE_ENDIAN);
    EXPECT_TRUE(open);
    ASSERT_EQ(assoc.acceptedContexts.size(), 1u);
    EXPECT_EQ(assoc.acceptedContexts[0].transferSyntax, IMPLICIT_VR_LITTLE_ENDIAN);
    EXPECT_EQ(assoc.answer.callingAeTitle, "ORLANE          ");
    EXPECT_EQ(assoc.answer.userInformation.implementationVersionName, "OstrovaPrism");
    CloseAssoc(assoc);
    acceptor.join();
    EXPECT_TRUE(accepted);
}
