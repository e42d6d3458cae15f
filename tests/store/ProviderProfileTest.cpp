#include "store/ProviderProfile.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "data/TransferSyntax.h"
#include "data/Uids.h"
#include "net/AssociationWords.h"
#include "net/CommandSet.h"
#include "net/PduCodec.h"

using namespace dicomlib;
using namespace dicomlib::net;

namespace {

constexpr char CT[] = "1.2.840.10008.5.1.4.1.1.2";
constexpr char RT_PLAN[] = "1.2.840.10008.5.1.4.1.1.481.5";
constexpr char UNKNOWN[] = "1.2.3.4.5.6";
constexpr char VERIFICATION[] = "1.2.840.10008.1.1";

AssociateRQ Request(std::vector<PresentationContextRQ> contexts) {
    AssociateRQ rq;
    rq.calledAeTitle = "STORESCP";
    rq.callingAeTitle = "MODALITY";
    rq.applicationContext = APPLICATION_CONTEXT_NAME;
    rq.contexts = std::move(contexts);
    rq.userInformation = {32768, "1.2.3.4", "PEER", 0, {{CT, 1, 1}, {UNKNOWN, 0, 1}}, {}, {}, {}};
    return rq;
}

AssociateAC Answer(const AssociateRQ& rq, const store::ProviderProfile& profile) {
    AssociateAnswer answer = store::AnswerAssociation(rq, profile);
    EXPECT_TRUE(std::holds_alternative<AssociateAC>(answer));
    return std::get<AssociateAC>(answer);
}

}  // namespace

TEST(ProviderProfile, AnswersEveryProposalAndRoleSelectionAsItsRowsSay) {
    const AssociateRQ rq = Request({
        {1, CT, {uid::ExplicitVRLittleEndian, uid::ImplicitVRLittleEndian}},
        {3, RT_PLAN, {uid::ImplicitVRLittleEndian}},
        {5, VERIFICATION, {"1.2.3.4"}},
        {7, UNKNOWN, {uid::ImplicitVRLittleEndian}},
    });
    struct Case {
        const char* name;
        store::ProviderProfile profile;
        std::vector<PresentationContextAC> contexts;
        std::vector<RoleSelection> roles;
    };
    // A provider that also sends C-STORE sub-operations of its own: CT in both roles.
    store::ProviderProfile both = store::StandardProfile({});
    for (auto& row : both.rows)
        if (row.abstractSyntax == CT) row.role = store::ProviderRole::Both;
    const Case cases[] = {
        {"standard: its order of syntaxes, RT Plan unknown, CT served as SCP only",
         store::StandardProfile({}),
         {{1, 0, uid::ImplicitVRLittleEndian, CT},
          {3, 3, "", RT_PLAN},
          {5, 4, "", VERIFICATION},
          {7, 3, "", UNKNOWN}},
         {{CT, 1, 0}}},
        {"accept-all: the requestor's order, every storage class",
         store::AcceptAllProfile({}),
         {{1, 0, uid::ExplicitVRLittleEndian, CT},
          {3, 0, uid::ImplicitVRLittleEndian, RT_PLAN},
          {5, 4, "", VERIFICATION},
          {7, 3, "", UNKNOWN}},
         {{CT, 1, 0}, {RT_PLAN, 0, 0}}},
        {"CT in both roles", both, {}, {{CT, 1, 1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AssociateRQ asked = rq;
        if (c.profile.Find(RT_PLAN) != nullptr)
            asked.userInformation.roleSelections.push_back({RT_PLAN, 0, 1});
        const AssociateAC ac = Answer(asked, c.profile);
        EXPECT_EQ(ac.calledAeTitle, "STORESCP");
        EXPECT_EQ(ac.callingAeTitle, "MODALITY");
        if (!c.contexts.empty()) {
            EXPECT_EQ(ac.contexts, c.contexts);
        }
        UserInformation ours = OurUserInformation();
        ours.roleSelections = c.roles;
        EXPECT_EQ(ac.userInformation, ours);
    }

    // Nothing accepted: the requestor's values come back, without role selections.
    const AssociateAC refused =
        Answer(Request({{1, UNKNOWN, {uid::ImplicitVRLittleEndian}}}), store::StandardProfile({}));
    EXPECT_EQ(refused.contexts, (std::vector<PresentationContextAC>{{1, 3, "", UNKNOWN}}));
    EXPECT_EQ(refused.userInformation,
              (UserInformation{32768, "1.2.3.4", "PEER", 0, {}, {}, {}, {}}));
}

// The faults' decisions: the rejection every request gets (and its bytes on the wire), a class
// refused beside one still taken, which request gets an injected status, and when the
// association ends.
TEST(ProviderFaults, DecideRejectionRefusalStatusAndEnding) {
    const AssociateRQ rq = Request(
        {{1, CT, {uid::ImplicitVRLittleEndian}}, {3, VERIFICATION, {uid::ImplicitVRLittleEndian}}});
    store::ProviderProfile rejecting = store::StandardProfile({});
    rejecting.faults.reject = AssociateRJ{2, 3, 1};
    const AssociateAnswer rejected = store::AnswerAssociation(rq, rejecting);
    ASSERT_TRUE(std::holds_alternative<AssociateRJ>(rejected));
    // clang-format off
    const std::vector<uint8_t> rjBytes = {
        0x03, 0x00,              // A-ASSOCIATE-RJ, reserved
        0x00, 0x00, 0x00, 0x04,  // length
        0x00,                    // reserved
        0x02,                    // result: transient
        0x03,                    // source: service provider (presentation)
        0x01,                    // reason: temporary congestion
    };
    // clang-format on
    EXPECT_EQ(EncodeAssociateRJ(std::get<AssociateRJ>(rejected)), rjBytes);

    store::ProviderProfile refusing = store::StandardProfile({});
    refusing.faults.refused = {CT};
    const AssociateAC ac = Answer(rq, refusing);
    ASSERT_EQ(ac.contexts.size(), 2u);
    EXPECT_EQ(ac.contexts[0].result, RESULT_ABSTRACT_SYNTAX_NOT_SUPPORTED);
    EXPECT_EQ(ac.contexts[1].result, RESULT_ACCEPTANCE);

    store::FaultSettings faults;
    faults.statuses = {{C_STORE_RQ, 0xA700, 3}, {C_ECHO_RQ, 0x0110, 1}};
    std::vector<int> hits;
    for (uint32_t nth = 1; nth <= 7; ++nth)
        if (store::InjectedStatus(faults, C_STORE_RQ, nth)) hits.push_back(static_cast<int>(nth));
    EXPECT_EQ(hits, (std::vector<int>{3, 6}));
    EXPECT_EQ(store::InjectedStatus(faults, C_ECHO_RQ, 1), 0x0110);
    EXPECT_FALSE(store::InjectedStatus(faults, C_FIND_RQ, 1));
    for (int status : {0xA700, 0xC000, 0x0110, 0x0122})
        EXPECT_TRUE(store::IsFailureStatus(static_cast<uint16_t>(status))) << status;
    for (int status : {0x0000, 0xB000, 0x0107, 0xFF00, 0xFE00})
        EXPECT_FALSE(store::IsFailureStatus(static_cast<uint16_t>(status))) << status;

    faults.abortAfter = 2;
    EXPECT_EQ(store::AfterAnswering(faults, 1), store::AfterResponse::GoOn);
    EXPECT_EQ(store::AfterAnswering(faults, 2), store::AfterResponse::Abort);
    EXPECT_FALSE(store::FaultSettings{}.Any());
}
