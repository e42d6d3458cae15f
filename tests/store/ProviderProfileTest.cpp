#include "store/ProviderProfile.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "data/TransferSyntax.h"
#include "data/Uids.h"

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
