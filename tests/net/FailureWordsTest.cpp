// What a requestor is told when an association fails: every reject result, source and reason,
// aborts, refused contexts and unknown statuses, each from a scripted peer, and the proposal of
// many contexts with the peer's answer to each.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DimseFixtures.h"
#include "NetFixtures.h"
#include "net/Association.h"
#include "net/AssociationWords.h"
#include "services/Probe.h"
#include "services/Verification.h"
#include "support/TestSupport.h"

using namespace dicomlib;
using namespace dicomlib::net;
using namespace nettest;

namespace {

constexpr char VERIFICATION[] = "1.2.840.10008.1.1";

// Opens an association to a peer that answers the request with answer; the explanation.
std::string FailedOpen(const Bytes& answer, OpenOutcome expected) {
    FakePeer peer;
    peer.Start([&](PduStream& s) {
        ReadPduBytes(s);
        if (!answer.empty()) s.Write(answer);
    });
    Association assoc;
    std::string calling = "LOCAL";
    EXPECT_FALSE(
        OpenAssoc(assoc, "127.0.0.1", peer.Port(), calling, "REMOTE", VERIFICATION, std::nullopt));
    peer.Join();
    EXPECT_EQ(assoc.opened.outcome, expected);
    EXPECT_EQ(LastFailure(), ExplainOpenFailure(assoc));
    return ExplainOpenFailure(assoc);
}

Bytes Reject(uint8_t result, uint8_t source, uint8_t reason) {
    return EncodeAssociateRJ({result, source, reason});
}

}  // namespace

TEST(FailureWords, EveryRejectAbortAndClosedConnectionIsExplained) {
    struct Case {
        uint8_t result, source, reason;
        const char* words;
    };
    const Case cases[] = {
        {1, 1, 1,
         "rejected permanently by the peer's application: no reason given: no reason "
         "given; check both AE titles (LOCAL calling REMOTE)"},
        {1, 1, 2, "application context name not supported: the peer does not speak plain DICOM"},
        {1, 1, 3,
         "calling AE title not recognised: calling title not recognised; the peer must "
         "list LOCAL among its nodes"},
        {1, 1, 7,
         "called AE title not recognised: the peer does not know the called title "
         "REMOTE; ask for its AE title"},
        {2, 1, 7, "rejected for now by the peer's application: called AE title not recognised"},
        {1, 2, 1, "rejected permanently by the peer's association control: no reason given"},
        {1, 2, 2, "protocol version not supported: the peer does not take protocol version 1"},
        {2, 3, 1,
         "rejected for now by the peer's presentation layer: temporary congestion: the "
         "peer is busy; try again later"},
        {2, 3, 2, "local limit exceeded: the peer has as many associations as it allows"},
        {1, 1, 9, "reason 9: a reason the standard does not define here"},
        {7, 9, 1, "rejected (result 7) by the peer (source 9): reason 1"},
    };
    for (const Case& c : cases) {
        const std::string why =
            FailedOpen(Reject(c.result, c.source, c.reason), OpenOutcome::Rejected);
        EXPECT_NE(why.find(c.words), std::string::npos) << why;
    }
    EXPECT_EQ(FailedOpen(EncodeAbortRQ({0, 0}), OpenOutcome::Aborted),
              "aborted by the peer's application: the peer's log says why");
    EXPECT_EQ(FailedOpen(EncodeAbortRQ({2, 6}), OpenOutcome::Aborted),
              "aborted by the peer's DICOM layer: invalid PDU parameter value: the peer found "
              "fault with what we sent; a trace at level 3 shows the bytes, its log says which");
    EXPECT_NE(FailedOpen({}, OpenOutcome::Closed)
                  .find("the peer closed the connection without answering the association "
                        "request: it may refuse this machine's address or the calling title "
                        "LOCAL"),
              std::string::npos);
    EXPECT_NE(FailedOpen(RELEASE_RP, OpenOutcome::MalformedAnswer).find("not a sound"),
              std::string::npos);

    // Every context refused: the first refusal's words and what to do. The transfer syntaxes
    // refused although implicit VR little endian was among them: the class is what the peer
    // lacks; refused in explicit VR alone: another syntax may do.
    FakePeer refusing;
    refusing.Start([](PduStream& s) { s.Write(AcceptEvery(ReadPduBytes(s), "", 4)); });
    Association assoc;
    std::string calling = "LOCAL";
    EXPECT_FALSE(
        OpenAssoc(assoc, "127.0.0.1", refusing.Port(), calling, "REMOTE", VERIFICATION, {}));
    refusing.Join();
    EXPECT_EQ(ExplainOpenFailure(assoc),
              "the peer refused every presentation context: transfer syntaxes not supported "
              "(1.2.840.10008.1.1): implicit VR little endian was offered too, which every "
              "provider takes for a SOP class it supports: the peer most likely does not support "
              "this SOP class at all; its conformance statement lists those it takes");
    FakePeer refusingExplicit;
    refusingExplicit.Start([](PduStream& s) { s.Write(AcceptEvery(ReadPduBytes(s), "", 4)); });
    EXPECT_FALSE(OpenAssocContexts(assoc, "127.0.0.1", refusingExplicit.Port(), calling, "REMOTE",
                                   {{0, VERIFICATION, {"1.2.840.10008.1.2.1"}}}));
    refusingExplicit.Join();
    EXPECT_EQ(ExplainOpenFailure(assoc),
              "the peer refused every presentation context: transfer syntaxes not supported "
              "(1.2.840.10008.1.1): the peer takes the SOP class in other transfer syntaxes; send "
              "in implicit VR little endian or another syntax it accepts");

    // Nothing listening, and a host that does not resolve.
    const std::string closed = std::to_string(testsupport::FreePort());
    EXPECT_FALSE(OpenAssoc(assoc, "127.0.0.1", closed, calling, "REMOTE", VERIFICATION, {}));
    EXPECT_EQ(LastFailure(), "nothing listens on 127.0.0.1:" + closed +
                                 " (connection refused): check the port and that the peer's "
                                 "DICOM service runs");
    EXPECT_FALSE(OpenAssoc(assoc, "no-such-host.invalid", closed, calling, "R", VERIFICATION, {}));
    EXPECT_EQ(assoc.opened.outcome, OpenOutcome::UnknownHost);
}

TEST(FailureWords, AbortsAndUnknownStatusesAfterTheAssociationIsOpen) {
    struct Case {
        Bytes answer;
        const char* words;
    };
    const Case cases[] = {
        {EncodeAbortRQ({2, 2}), "aborted by the peer's DICOM layer: unexpected PDU"},
        {PDataTF({{1, 0x03, EchoResponseBytes(3, 0xC123)}}),
         "status 0xC123 (failure): a status the standard does not define for this service; the "
         "peer's conformance statement says what it means"},
        {PDataTF({{1, 0x03, EchoResponseBytes(3, 0x0124)}}),
         "status 0x0124 (failure): a status the standard does not define"},
        {{}, "the connection closed or timed out while waiting for the peer's answer"},
    };
    for (const Case& c : cases) {
        FakePeer peer;
        peer.Start([&](PduStream& s) {
            AcceptAssociation(s);
            ReadMessagePart(s);
            if (c.answer.empty()) return;  // the connection closes
            s.Write(c.answer);
            if (ReadPduBytes(s) == RELEASE_RQ) s.Write(RELEASE_RP);
        });
        Association assoc;
        std::string calling = "LOCAL";
        ASSERT_TRUE(
            OpenAssoc(assoc, "127.0.0.1", peer.Port(), calling, "REMOTE", VERIFICATION, {}));
        EXPECT_TRUE(services::WriteEchoRQ(assoc, VERIFICATION));
        EXPECT_FALSE(services::ReadEchoRSP(assoc));
        CloseAssoc(assoc);
        peer.Join();
        EXPECT_NE(LastFailure().find(c.words), std::string::npos) << LastFailure();
    }
}

TEST(FailureWords, ManyContextsOneSyntaxEachWithThePeersAnswerToEach) {
    // 130 proposals are more than one association may carry.
    Association assoc;
    std::string calling = "LOCAL";
    std::vector<PresentationContextRQ> many(130, {0, VERIFICATION, {"1.2.840.10008.1.2"}});
    EXPECT_FALSE(OpenAssocContexts(assoc, "127.0.0.1", "1", calling, "R", many));

    // A peer that answers context k with result k % 5; the probe reads every answer by ID.
    FakePeer peer;
    Bytes rq;
    peer.Start([&](PduStream& s) {
        rq = ReadPduBytes(s);
        auto request = DecodeAssociateRQ(rq);
        AssociateAC ac;
        ac.applicationContext = APPLICATION_CONTEXT_NAME;
        for (std::size_t k = 0; k < request->contexts.size(); ++k) {
            const auto result = static_cast<uint8_t>(k % 5);
            ac.contexts.push_back({request->contexts[k].id, result,
                                   result == 0 ? request->contexts[k].transferSyntaxes[0] : "",
                                   ""});
        }
        ac.userInformation = {32768, "1.2.3.4", "PEER", 0, {}, {}, {}, {}};
        s.Write(EncodeAssociateAC(ac));
        if (ReadPduBytes(s) == RELEASE_RQ) s.Write(RELEASE_RP);
    });
    std::vector<services::SyntaxPair> pairs;
    for (int k = 0; k < 10; ++k)
        pairs.push_back({"1.2.840.10008.5.1.4.1.1." + std::to_string(k), "1.2.840.10008.1.2.1"});
    const services::ContextsProbe probe =
        services::ProposeEach(SettingsFor("127.0.0.1", peer.Port(), "LOCAL", "REMOTE"), pairs);
    peer.Join();
    const auto request = DecodeAssociateRQ(rq);
    ASSERT_TRUE(request);
    ASSERT_EQ(request->contexts.size(), 10u);
    for (std::size_t k = 0; k < 10; ++k) {
        EXPECT_EQ(request->contexts[k].id, 2 * k + 1);
        EXPECT_EQ(request->contexts[k].abstractSyntax, pairs[k].abstractSyntax);
        EXPECT_EQ(probe.answers[k].result, static_cast<int32_t>(k % 5));
        EXPECT_EQ(probe.answers[k].transferSyntax, k % 5 == 0 ? "1.2.840.10008.1.2.1" : "");
    }
    EXPECT_EQ(probe.associations, 1u);
    EXPECT_EQ(probe.peer.implementationVersionName, "PEER");
    EXPECT_EQ(probe.explanation, "");
}
