#include "net/Association.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>

#include "NetFixtures.h"
#include "data/TransferSyntax.h"
#include "data/Uids.h"
#include "net/StorageClasses.h"
#include "net/TraceLog.h"
#include "store/ProviderProfile.h"
#include "support/TestSupport.h"

using namespace dicomlib;
using namespace dicomlib::net;
using namespace nettest;

namespace {

constexpr char VERIFICATION[] = "1.2.840.10008.1.1";
constexpr char CT_IMAGE_STORAGE[] = "1.2.840.10008.5.1.4.1.1.2";
constexpr char ULTRASOUND_MULTIFRAME_IMAGE_STORAGE[] = "1.2.840.10008.5.1.4.1.1.3.1";

// A requestor's association to a peer that records the RQ, sends answer(rq), then records the
// next PDU and serves a release.
struct RequestorRun {
    Bytes rq;
    Bytes afterAnswer;  // the next PDU after the answer (empty when the connection ended)
    FakePeer peer;
    Association assoc;  // last: closing it ends the peer's wait

    explicit RequestorRun(std::function<Bytes(const Bytes&)> answer = [](const Bytes& request) {
        return AcceptEvery(request);
    }) {
        peer.Start([this, answer = std::move(answer)](PduStream& s) {
            rq = ReadPduBytes(s);
            s.Write(answer(rq));
            afterAnswer = ReadPduBytes(s);
            if (afterAnswer == RELEASE_RQ) s.Write(RELEASE_RP);
        });
        assoc.stream.Socket().SetReceiveTimeout(PEER_TIMEOUT);
    }
    bool Open(std::optional<std::string_view> syntax = std::nullopt) {
        std::string calling = "local";
        return OpenAssoc(assoc, "127.0.0.1", peer.Port(), calling, "remote", VERIFICATION, syntax);
    }
    // Closes, then the transfer syntaxes of the one context proposed.
    std::vector<std::string> Proposed() {
        CloseAssoc(assoc);
        peer.Join();
        auto decoded = DecodeAssociateRQ(rq);
        if (!decoded || decoded->contexts.size() != 1) return {"<no single proposal>"};
        return decoded->contexts[0].transferSyntaxes;
    }
};

// A client sends a request to the listener, which accepts and hands the handle to AcceptAssoc.
struct AcceptorRun {
    TcpSocket listener;
    Bytes answer;
    Bytes afterAnswer;
    bool closedAfterAnswer = false;
    Association assoc;
    std::thread client;

    AcceptorRun() { listener.ListenOn(0); }
    ~AcceptorRun() { Join(); }

    // Sends request, keeps the answer, then sends a release RQ when asked, closes when told to
    // hang up, or else waits for the connection's end.
    bool Run(const Bytes& request, bool release = false, bool hangUp = false) {
        const std::string port = std::to_string(listener.LocalPort());
        client = std::thread([this, port, request, release, hangUp] {
            PduStream s;
            s.Socket().SetReceiveTimeout(PEER_TIMEOUT);
            if (!s.Open("127.0.0.1", port)) return;
            s.Write(request);
            answer = ReadPduBytes(s);
            if (hangUp) {
                s.Close();
            } else if (release) {
                s.Write(RELEASE_RQ);
                afterAnswer = ReadPduBytes(s);
            } else {
                closedAfterAnswer = ClosedByOtherSide(s);
            }
        });
        if (!listener.Accept()) return false;
        assoc.stream.Socket().SetReceiveTimeout(PEER_TIMEOUT);
        static const store::ProviderProfile profile = store::StandardProfile({});
        return AcceptAssoc(assoc, listener.ReleaseConnection(), store::AnswerWith(profile));
    }
    // Closes the acceptor's side unless a release is under way, and waits for the client.
    void Join(bool close = true) {
        if (close) assoc.stream.Close();
        if (client.joinable()) client.join();
    }
};

AssociateRQ RequestOf(std::vector<PresentationContextRQ> contexts) {
    AssociateRQ rq;
    rq.calledAeTitle = "STORESCP";
    rq.callingAeTitle = "MODALITY        ";
    rq.applicationContext = APPLICATION_CONTEXT_NAME;
    rq.contexts = std::move(contexts);
    rq.userInformation = {32768, "1.2.276.0.7230010.3.0.3.6.7", "PEER_367", 0, {}, {}, {}, {}};
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
    ASSERT_TRUE(run.Open(uid::ImplicitVRLittleEndian));
    EXPECT_EQ(
        run.assoc.acceptedContexts,
        (std::vector<PresentationContextAC>{{1, 0, uid::ImplicitVRLittleEndian, VERIFICATION}}));
    EXPECT_EQ(run.assoc.answer.userInformation.implementationClassUid, "1.2.3.4");
    EXPECT_EQ(MessageCounterValue(), 2u);

    EXPECT_TRUE(CloseAssoc(run.assoc));
    EXPECT_FALSE(run.assoc.stream.Connected());
    run.peer.Join();
    EXPECT_EQ(run.rq, AssociateRqFixture());
    EXPECT_EQ(run.afterAnswer, RELEASE_RQ);
    EXPECT_EQ(Trace(),
              "Connected to: 127.0.0.1:" + run.peer.Port() +
                  "\r\nPresentation Context Accept, Transfer Syntax: 1.2.840.10008.1.2\r\n");

    // Opened again on the same record: one proposal again, and a release that ends on the
    // peer's close instead of its reply.
    FakePeer silent;
    Bytes rq;
    silent.Start([&](PduStream& s) {
        rq = ReadPduBytes(s);
        s.Write(AcceptEvery(rq));
        ReadPduBytes(s);
    });
    std::string calling = "local";
    ASSERT_TRUE(OpenAssoc(run.assoc, "127.0.0.1", silent.Port(), calling, "remote", VERIFICATION,
                          std::nullopt));
    EXPECT_TRUE(CloseAssoc(run.assoc));
    silent.Join();
    EXPECT_EQ(rq, AssociateRqFixture());
    EXPECT_EQ(run.assoc.acceptedContexts.size(), 1u);
}

TEST(Requestor, ProposesTheTransferSyntaxesOfEachCase) {
    using Syntax = std::optional<std::string_view>;
    struct Case {
        bool storage;
        Syntax file;  // OpenAssoc's one syntax when not storage
        Syntax preferred;
        std::vector<std::string> expected;
    };
    const std::string EXPLICIT = uid::ExplicitVRLittleEndian,
                      IMPLICIT = uid::ImplicitVRLittleEndian;
    const std::string JPEG = uid::JPEGBaseline, LOSSLESS = uid::JPEGLossless;
    const Case cases[] = {
        {false, EXPLICIT, {}, {EXPLICIT, IMPLICIT}},
        {false, std::nullopt, {}, {IMPLICIT}},
        {false, IMPLICIT, {}, {IMPLICIT}},
        {true, EXPLICIT, JPEG, {EXPLICIT, JPEG, IMPLICIT}},
        {true, IMPLICIT, std::nullopt, {IMPLICIT, IMPLICIT}},
        {true, IMPLICIT, JPEG, {IMPLICIT, JPEG, IMPLICIT}},
        {true, EXPLICIT, EXPLICIT, {EXPLICIT, IMPLICIT}},
        {true, IMPLICIT, IMPLICIT, {IMPLICIT}},
        {true, LOSSLESS, IMPLICIT, {LOSSLESS, IMPLICIT}},
        // The empty preferred text of "little Endian, Implicit VR": an empty sub-item.
        {true, EXPLICIT, "", {EXPLICIT, "", IMPLICIT}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.expected));
        RequestorRun run;
        std::string calling = "local";
        if (c.storage) {
            OpenStorageAssoc(run.assoc, "127.0.0.1", run.peer.Port(), calling, "remote",
                             CT_IMAGE_STORAGE, c.file, c.preferred);
        } else {
            run.Open(c.file);
        }
        EXPECT_EQ(run.Proposed(), c.expected);
    }

    // Without a file syntax nothing is proposed and nothing opened.
    Association assoc;
    std::string calling;
    EXPECT_FALSE(OpenStorageAssoc(assoc, "127.0.0.1", "104", calling, "remote", CT_IMAGE_STORAGE,
                                  std::nullopt, uid::JPEGBaseline));
    EXPECT_TRUE(assoc.request.contexts.empty());
    EXPECT_EQ(calling, DEFAULT_CALLING_AE_TITLE);
}

TEST(Requestor, RefusalsRejectionsAndBrokenAnswersFail) {
    struct Case {
        const char* name;
        std::function<Bytes(const Bytes&)> answer;
        Bytes afterAnswer;  // what the peer gets next: nothing but the connection's end
    };
    const Case cases[] = {
        {"every context refused", [](const Bytes& rq) { return AcceptEvery(rq, "", 3); }, {}},
        {"rejected", [](const Bytes&) { return ASSOCIATE_RJ; }, {}},
        {"a context item past the PDU",
         [](const Bytes& rq) {
             Bytes ac = AcceptEvery(rq);
             Put16(ac, 101, 0x0400);
             return ac;
         },
         ABORT},
        {"another PDU", [](const Bytes&) { return RELEASE_RP; }, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RequestorRun run(c.answer);
        EXPECT_FALSE(run.Open());
        EXPECT_FALSE(run.assoc.stream.Connected());
        EXPECT_TRUE(run.assoc.acceptedContexts.empty());
        run.peer.Join();
        EXPECT_EQ(run.afterAnswer, c.afterAnswer);
        if (std::string(c.name) == "rejected") {
            EXPECT_EQ(run.assoc.rejection, (AssociateRJ{1, 1, 7}));
        }
    }
    Association assoc;
    std::string calling = "local";
    EXPECT_FALSE(OpenAssoc(assoc, "127.0.0.1", std::to_string(testsupport::FreePort()), calling,
                           "remote", VERIFICATION, std::nullopt));
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
        {1, CT_IMAGE_STORAGE, {uid::ExplicitVRLittleEndian, uid::ImplicitVRLittleEndian}},
        {3, ULTRASOUND_MULTIFRAME_IMAGE_STORAGE, {uid::ImplicitVRLittleEndian, uid::JPEGBaseline}},
        {5, "1.2.3.4.5.6", {uid::ImplicitVRLittleEndian}},
        {7, CT_IMAGE_STORAGE, {uid::JPEGBaseline, uid::JPEGLossless}},
        {9, VERIFICATION, {"1.2.840.10008.1.2.2"}},
    });
    // A role selection sub-item at the start of the user information item (the last item) is
    // read and kept, and so is what follows it.
    Bytes rq = EncodeAssociateRQ(request);
    const std::size_t userInfo = rq.size() - (4 + 8 + 4 + 27 + 4 + 8);
    ASSERT_EQ(rq[userInfo], 0x50);
    const Bytes selection = Cat({{0x54, 0x00, 0x00, 0x15, 0x00, 0x11}, T(VERIFICATION), {1, 0}});
    rq.insert(rq.begin() + static_cast<std::ptrdiff_t>(userInfo) + 4, selection.begin(),
              selection.end());
    Put16(rq, userInfo + 2, static_cast<uint16_t>(8 + 31 + 12 + selection.size()));
    Put32(rq, 2, static_cast<uint32_t>(rq.size() - 6));
    ResetMessageCounter();
    AcceptorRun run;
    ASSERT_TRUE(run.Run(rq, true));
    EXPECT_EQ(MessageCounterValue(), 6u);  // one step for each of the five answers
    EXPECT_EQ(run.assoc.request.userInformation.skippedBytes, 0u);
    EXPECT_EQ(run.assoc.request.userInformation.roleSelections,
              (std::vector<RoleSelection>{{VERIFICATION, 1, 0}}));
    EXPECT_EQ(run.assoc.request.userInformation.implementationVersionName, "PEER_367");

    // The acceptor side answers the release as the storage provider does.
    EXPECT_EQ(ReadPduBytes(run.assoc.stream), RELEASE_RQ);
    run.assoc.stream.Write(EncodeReleaseRP());
    run.Join(false);
    EXPECT_EQ(run.afterAnswer, RELEASE_RP);

    auto ac = DecodeAssociateAC(run.answer);
    ASSERT_TRUE(ac.Ok()) << ac.GetError().detail;
    EXPECT_EQ(ac->calledAeTitle, "STORESCP");
    EXPECT_EQ(ac->callingAeTitle, "MODALITY");
    // A class it does not take is refused with 3, one it takes in none of the syntaxes with 4.
    const std::vector<PresentationContextAC> expected = {
        {1, 0, uid::ImplicitVRLittleEndian, ""},
        {3, 0, uid::JPEGBaseline, ""},
        {5, 3, "", ""},
        {7, 0, uid::JPEGLossless, ""},
        {9, 4, "", ""},
    };
    EXPECT_EQ(ac->contexts, expected);
    // The role selection is answered: Verification as SCU only, as proposed.
    EXPECT_EQ(ac->userInformation, (UserInformation{16384,
                                                    std::string(uid::ImplementationClass),
                                                    IMPLEMENTATION_VERSION_NAME,
                                                    0,
                                                    {{VERIFICATION, 1, 0}},
                                                    {},
                                                    {},
                                                    {}}));
    ASSERT_EQ(run.assoc.acceptedContexts.size(), 3u);
    EXPECT_EQ(run.assoc.acceptedContexts[1].abstractSyntax, ULTRASOUND_MULTIFRAME_IMAGE_STORAGE);

    // The titles as on the wire: 16 characters, padded with spaces.
    std::string trace =
        "Called Ap. Title: STORESCP        \r\nCalling Ap. Title: MODALITY        \r\n";
    for (const auto& [abstract, transfer] :
         {std::pair{CT_IMAGE_STORAGE, uid::ImplicitVRLittleEndian},
          {ULTRASOUND_MULTIFRAME_IMAGE_STORAGE, uid::JPEGBaseline},
          {CT_IMAGE_STORAGE, uid::JPEGLossless}}) {
        trace += std::string("Offered Presentation Context, Abstract Syntax: ") + abstract +
                 "\r\nOffered Presentation Context, Transfer Syntax: " + transfer + "\r\n";
    }
    EXPECT_EQ(Trace(), trace);
}

TEST(Acceptor, AcceptingEverythingTakesEveryStorageClassInTheFirstReadableSyntax) {
    const std::string rtPlan = "1.2.840.10008.5.1.4.1.1.481.5";
    const std::string ecg = "1.2.840.10008.5.1.4.1.1.9.1.1";
    const std::string jpegLs = "1.2.840.10008.1.2.4.80";
    struct Case {
        std::string abstractSyntax;
        std::vector<std::string> offered;
        store::AcceptPolicy policy;
        std::optional<std::string> chosen;
    };
    const std::vector<Case> cases = {
        {rtPlan, {uid::ImplicitVRLittleEndian}, store::AcceptPolicy::Standard, std::nullopt},
        {rtPlan,
         {uid::ImplicitVRLittleEndian},
         store::AcceptPolicy::Everything,
         uid::ImplicitVRLittleEndian},
        // The requestor's order, past what the library cannot read.
        {ecg,
         {"1.2.3.4", jpegLs, uid::ImplicitVRLittleEndian},
         store::AcceptPolicy::Everything,
         jpegLs},
        {CT_IMAGE_STORAGE,
         {uid::ExplicitVRLittleEndian, uid::JPEGLossless},
         store::AcceptPolicy::Everything,
         uid::ExplicitVRLittleEndian},
        {CT_IMAGE_STORAGE,
         {uid::ExplicitVRLittleEndian, uid::JPEGLossless},
         store::AcceptPolicy::Standard,
         uid::JPEGLossless},
        {"1.2.3.4.5.6",
         {uid::ImplicitVRLittleEndian},
         store::AcceptPolicy::Everything,
         std::nullopt},
        {ecg, {"1.2.3.4"}, store::AcceptPolicy::Everything, std::nullopt},
    };
    for (const Case& c : cases) {
        const store::ProviderProfile profile = store::ProfileFor(c.policy, {});
        const store::ProfileRow* row = profile.Find(c.abstractSyntax);
        EXPECT_EQ(row ? store::ChooseTransferSyntax(*row, c.offered) : std::nullopt, c.chosen)
            << c.abstractSyntax << " " << (c.policy == store::AcceptPolicy::Everything);
    }
    // No UID twice, and none outside the storage branches.
    std::set<std::string_view> seen;
    for (const StorageClass& c : StandardStorageClasses()) {
        EXPECT_TRUE(seen.insert(c.uid).second) << c.uid;
        EXPECT_TRUE(c.uid.starts_with("1.2.840.10008.5.1.")) << c.uid;
    }
    EXPECT_GT(seen.size(), 150u);
}

// An unknown class, and CT Image Storage in a syntax the acceptor does not take.
Bytes RefusingAcFixture() {
    // clang-format off
    return Cat({
        {0x02, 0x00},                   // A-ASSOCIATE-AC, reserved
        {0x00, 0x00, 0x00, 0xAC},       // PDU length 172
        {0x00, 0x01},                   // protocol version
        {0x00, 0x00},                   // reserved
        T("STORESCP"), S(8),            // called AE title, as the request's, padded with spaces
        T("MODALITY"), S(8),            // calling AE title
        Z(32),                          // reserved
        {0x10, 0x00, 0x00, 0x15},       // application context item, length 21
        T("1.2.840.10008.3.1.1.1"),
        {0x21, 0x00, 0x00, 0x08},       // presentation context item, length 8
        {0x01, 0x00, 0x03, 0x00},       // ID 1, reserved, result 3 (abstract syntax), reserved
        {0x40, 0x00, 0x00, 0x00},       // no transfer syntax
        {0x21, 0x00, 0x00, 0x08},       // presentation context item, length 8
        {0x03, 0x00, 0x04, 0x00},       // ID 3, reserved, result 4 (transfer syntaxes), reserved
        {0x40, 0x00, 0x00, 0x00},       // no transfer syntax
        {0x50, 0x00, 0x00, 0x33},       // user information item, length 51: the requestor's
        {0x51, 0x00, 0x00, 0x04},       // maximum length sub-item
        {0x00, 0x00, 0x80, 0x00},       // 32768
        {0x52, 0x00, 0x00, 0x1B},       // implementation class UID, length 27
        T("1.2.276.0.7230010.3.0.3.6.7"),
        {0x55, 0x00, 0x00, 0x08},       // implementation version name, length 8
        T("PEER_367"),
    });
    // clang-format on
}

TEST(Acceptor, NothingAcceptableIsAnsweredAndTheReleaseToo) {
    const AssociateRQ request = RequestOf(
        {{1, "1.2.3.4.5.6", {uid::ImplicitVRLittleEndian}}, {3, CT_IMAGE_STORAGE, {"1.2.3"}}});
    {
        // The requestor releases, as requestors do, and gets its reply before the close.
        AcceptorRun run;
        EXPECT_FALSE(run.Run(EncodeAssociateRQ(request), true));
        EXPECT_FALSE(run.assoc.stream.Connected());
        run.Join(false);
        EXPECT_EQ(run.answer, RefusingAcFixture());
        EXPECT_EQ(run.afterAnswer, RELEASE_RP);
    }
    {
        // One that hangs up instead ends the wait.
        AcceptorRun run;
        EXPECT_FALSE(run.Run(EncodeAssociateRQ(request), false, true));
        EXPECT_FALSE(run.assoc.stream.Connected());
        run.Join(false);
        EXPECT_EQ(run.answer, RefusingAcFixture());
    }
}

TEST(Acceptor, InconsistentRequestsAreAborted) {
    const Bytes good =
        EncodeAssociateRQ(RequestOf({{1, VERIFICATION, {uid::ImplicitVRLittleEndian}}}));
    Bytes itemTooLong = good;
    Put16(itemTooLong, 101, 0x0800);  // presentation context item past the PDU
    Bytes subTooLong = good;
    Put16(subTooLong, 109, 0x0040);  // abstract syntax past its item
    Bytes userSubTooLong = good;
    const std::size_t userInfo = good.size() - (4 + 8 + 4 + 27 + 4 + 8);
    Put16(userSubTooLong, userInfo + 4 + 8 + 2, 0x0100);  // class UID past the user information
    for (const Bytes& request : {itemTooLong, subTooLong, userSubTooLong, P_DATA_TF}) {
        AcceptorRun run;
        EXPECT_FALSE(run.Run(request));
        EXPECT_FALSE(run.assoc.stream.Connected());
        run.Join(false);
        EXPECT_EQ(run.answer, ABORT);
    }
}

TEST(Acceptor, AnswerAboveOneChunkGoesOutWholeAndInOrder) {
    std::vector<PresentationContextRQ> contexts;
    for (int i = 0; i < 1500; ++i) {
        const char* sop = i % 3 == 2 ? "1.2.3.4" : CT_IMAGE_STORAGE;
        contexts.push_back({static_cast<uint8_t>(2 * i + 1), sop, {uid::ImplicitVRLittleEndian}});
    }
    AcceptorRun run;
    ASSERT_TRUE(run.Run(EncodeAssociateRQ(RequestOf(contexts))));
    EXPECT_EQ(run.assoc.acceptedContexts.size(), 1000u);
    run.Join();
    EXPECT_GT(run.answer.size(), 32600u);
    auto ac = DecodeAssociateAC(run.answer);
    ASSERT_TRUE(ac.Ok()) << ac.GetError().detail;
    ASSERT_EQ(ac->contexts.size(), 1500u);
    for (std::size_t i = 0; i < 1500; ++i) {
        EXPECT_EQ(ac->contexts[i].id, static_cast<uint8_t>(2 * i + 1));
        EXPECT_EQ(ac->contexts[i].result, i % 3 == 2 ? 3 : 0);
    }
}
