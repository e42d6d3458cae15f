// The provider's profiles, the pure answer to an association request, and the handlers of the
// requests the provider serves.
#include "store/ProviderProfile.h"

#include <algorithm>
#include <utility>

#include "data/Tags.h"
#include "data/TransferSyntax.h"
#include "data/Uids.h"
#include "net/AssociationWords.h"
#include "net/CommandSet.h"
#include "net/Dimse.h"
#include "net/StorageClasses.h"
#include "store/StoreScp.h"

namespace dicomlib::store {
namespace {

constexpr char ULTRASOUND_MULTIFRAME_IMAGE_STORAGE[] = "1.2.840.10008.5.1.4.1.1.3.1";
constexpr char PROFILE_STUDY_ROOT_FIND[] = "1.2.840.10008.5.1.4.1.2.2.1";
constexpr char STUDY_ROOT_MOVE[] = "1.2.840.10008.5.1.4.1.2.2.2";

// The standard rows' order of syntaxes; ultrasound multi-frame alone takes JPEG baseline first.
std::vector<std::string> StandardPreference(std::string_view abstractSyntax) {
    std::vector<std::string> order;
    if (abstractSyntax == ULTRASOUND_MULTIFRAME_IMAGE_STORAGE)
        order.emplace_back(uid::JPEGBaseline);
    for (const char* syntax : {uid::JPEGLossless, uid::ImplicitVRLittleEndian,
                               uid::ExplicitVRLittleEndian, uid::JPEGBaseline}) {
        order.emplace_back(syntax);
    }
    return order;
}

// Verification is echoed, query/retrieve is taken but not served, the rest is stored.
ProfileRow RowFor(std::string_view abstractSyntax, std::vector<std::string> preference,
                  const net::DimseHandler& store, const net::DataSetSpool& spool) {
    ProfileRow row;
    row.abstractSyntax = std::string(abstractSyntax);
    row.syntaxPreference = std::move(preference);
    if (abstractSyntax == uid::Verification) {
        row.commandField = net::C_ECHO_RQ;
        row.handler = EchoHandler();
    } else if (abstractSyntax != PROFILE_STUDY_ROOT_FIND && abstractSyntax != STUDY_ROOT_MOVE) {
        row.commandField = net::C_STORE_RQ;
        row.handler = store;
        row.spool = spool;
    }
    return row;
}

bool Takes(ProviderRole role, ProviderRole wanted) {
    return (static_cast<uint8_t>(role) & static_cast<uint8_t>(wanted)) != 0;
}

}  // namespace

const std::array<const char*, 20> ACCEPTED_ABSTRACT_SYNTAXES = {
    "1.2.840.10008.1.1",              // Verification
    "1.2.840.10008.5.1.4.1.1.1",      // Computed Radiography Image Storage
    "1.2.840.10008.5.1.4.1.1.1.1",    // Digital X-Ray Image Storage, for presentation
    "1.2.840.10008.5.1.4.1.1.1.1.1",  // Digital X-Ray Image Storage, for processing
    "1.2.840.10008.5.1.4.1.1.1.2",    // Digital Mammography Image Storage, for presentation
    "1.2.840.10008.5.1.4.1.1.1.2.1",  // Digital Mammography Image Storage, for processing
    "1.2.840.10008.5.1.4.1.1.2",      // CT Image Storage
    "1.2.840.10008.5.1.4.1.1.3.1",    // Ultrasound Multi-frame Image Storage
    "1.2.840.10008.5.1.4.1.1.4",      // MR Image Storage
    "1.2.840.10008.5.1.4.1.1.6.1",    // Ultrasound Image Storage
    "1.2.840.10008.5.1.4.1.1.12.1",   // X-Ray Angiographic Image Storage
    "1.2.840.10008.5.1.4.1.1.12.2",   // X-Ray Radiofluoroscopic Image Storage
    "1.2.840.10008.5.1.4.1.1.20",     // Nuclear Medicine Image Storage
    "1.2.840.10008.5.1.4.1.1.128",    // Positron Emission Tomography Image Storage
    "1.2.840.10008.5.1.4.1.1.88.11",  // Basic Text SR
    "1.2.840.10008.5.1.4.1.1.88.22",  // Enhanced SR
    "1.2.840.10008.5.1.4.1.1.104.1",  // Encapsulated PDF Storage
    "1.2.840.10008.5.1.4.1.2.2.1",    // Study Root Query/Retrieve, FIND
    "1.2.840.10008.5.1.4.1.2.2.2",    // Study Root Query/Retrieve, MOVE
    "1.2.840.10008.5.1.4.1.1.7",      // Secondary Capture Image Storage
};

const ProfileRow* ProviderProfile::Find(std::string_view abstractSyntax) const {
    for (const ProfileRow& row : rows)
        if (row.abstractSyntax == abstractSyntax) return &row;
    return nullptr;
}

net::DimseHandlers ProviderProfile::Handlers() const {
    net::DimseHandlers handlers;
    for (const ProfileRow& row : rows)
        if (row.handler) handlers.On(row.commandField, row.abstractSyntax, row.handler, row.spool);
    return handlers;
}

net::DimseHandler StoreHandler(StorageTarget target) {
    return [target = std::move(target)](Association& assoc, net::DimseMessage& message) {
        if (!message.hasDataSet) return net::HandlerResult::End;
        // What cannot be answered is not stored: the sender would never learn of it.
        const std::string sopClass = data::GetTagString(message.command, tag::AffectedSOPClassUID);
        if (sopClass.empty() || net::FindContextForClass(assoc, sopClass) == 0)
            return net::HandlerResult::Continue;
        const auto syntax = net::AcceptedSyntaxOf(assoc, message.dataSetContextId);
        uint16_t status = net::STATUS_CANNOT_UNDERSTAND;
        if (syntax && message.spool) {
            status = StoreSpooledInstance(target.storageDirectory, target.indexRoot, *message.spool,
                                          message.dataSet, *syntax, target.asReceived);
        } else if (syntax) {
            status = StoreInstance(target.storageDirectory, target.indexRoot, message.dataSet,
                                   *syntax, target.asReceived);
        }
        // What was not stored leaves nothing behind.
        message.spool.reset();
        if (target.filed) target.filed(status);
        if (auto response = StoreResponse(message.command, status))
            net::SendMessage(assoc, *response, sopClass, net::MessageKind::Command);
        return net::HandlerResult::Continue;
    };
}

net::DataSetSpool StoreSpool(const StorageTarget& target) {
    return [directory = target.storageDirectory, asReceived = target.asReceived](
               Association& assoc, const net::DimseMessage& command) {
        const auto syntax = net::AcceptedSyntaxOf(assoc, command.contextId);
        return SpoolForStore(directory, command.command, syntax ? *syntax : std::string(),
                             asReceived);
    };
}

net::DimseHandler EchoHandler() {
    return [](Association& assoc, net::DimseMessage& message) {
        if (auto response = EchoResponse(message.command)) {
            net::SendMessage(assoc, *response,
                             data::GetTagString(message.command, tag::AffectedSOPClassUID),
                             net::MessageKind::Command);
        }
        return net::HandlerResult::Continue;
    };
}

ProviderProfile StandardProfile(const StorageTarget& target) {
    const net::DimseHandler store = StoreHandler(target);
    const net::DataSetSpool spool = StoreSpool(target);
    ProviderProfile profile;
    for (const char* uid : ACCEPTED_ABSTRACT_SYNTAXES)
        profile.rows.push_back(RowFor(uid, StandardPreference(uid), store, spool));
    return profile;
}

ProviderProfile AcceptAllProfile(const StorageTarget& target) {
    StorageTarget asReceived = target;
    asReceived.asReceived = true;
    const net::DimseHandler store = StoreHandler(asReceived);
    const net::DataSetSpool spool = StoreSpool(asReceived);
    ProviderProfile profile;
    for (const char* uid : ACCEPTED_ABSTRACT_SYNTAXES)
        profile.rows.push_back(RowFor(uid, {}, store, spool));
    for (const net::StorageClass& c : net::StandardStorageClasses())
        if (profile.Find(c.uid) == nullptr) profile.rows.push_back(RowFor(c.uid, {}, store, spool));
    return profile;
}

ProviderProfile ProfileFor(AcceptPolicy policy, const StorageTarget& target) {
    return policy == AcceptPolicy::Everything ? AcceptAllProfile(target) : StandardProfile(target);
}

std::optional<std::string> ChooseTransferSyntax(const ProfileRow& row,
                                                const std::vector<std::string>& offered) {
    if (row.syntaxPreference.empty()) {
        for (const auto& syntax : offered)
            if (data::FindTransferSyntax(syntax) != nullptr) return syntax;
        return std::nullopt;
    }
    for (const auto& candidate : row.syntaxPreference)
        for (const auto& syntax : offered)
            if (syntax == candidate) return candidate;
    return std::nullopt;
}

net::PresentationContextAC AnswerProposal(const net::PresentationContextRQ& proposal,
                                          const ProviderProfile& profile) {
    net::PresentationContextAC pc;
    pc.id = proposal.id;
    pc.abstractSyntax = proposal.abstractSyntax;
    const ProfileRow* row = profile.Find(proposal.abstractSyntax);
    const auto& refused = profile.faults.refused;
    if (row == nullptr ||
        std::find(refused.begin(), refused.end(), proposal.abstractSyntax) != refused.end()) {
        pc.result = net::RESULT_ABSTRACT_SYNTAX_NOT_SUPPORTED;
    } else if (auto chosen = ChooseTransferSyntax(*row, proposal.transferSyntaxes)) {
        pc.result = net::RESULT_ACCEPTANCE;
        pc.transferSyntax = std::move(*chosen);
    } else {
        pc.result = net::RESULT_TRANSFER_SYNTAXES_NOT_SUPPORTED;
    }
    return pc;
}

std::optional<net::RoleSelection> AnswerRoleSelection(const net::RoleSelection& proposed,
                                                      const ProviderProfile& profile) {
    const ProfileRow* row = profile.Find(proposed.sopClassUid);
    if (row == nullptr) return std::nullopt;
    // The requestor may be SCU where this side is SCP, and SCP where this side is SCU.
    net::RoleSelection answer;
    answer.sopClassUid = proposed.sopClassUid;
    answer.scuRole = proposed.scuRole != 0 && Takes(row->role, ProviderRole::Scp) ? 1 : 0;
    answer.scpRole = proposed.scpRole != 0 && Takes(row->role, ProviderRole::Scu) ? 1 : 0;
    return answer;
}

net::AssociateAnswer AnswerAssociation(const net::AssociateRQ& request,
                                       const ProviderProfile& profile) {
    if (profile.faults.reject) return *profile.faults.reject;
    net::AssociateAC answer;
    answer.calledAeTitle = request.calledAeTitle;
    answer.callingAeTitle = request.callingAeTitle;
    answer.applicationContext = request.applicationContext;
    bool accepted = false;
    for (const auto& proposal : request.contexts) {
        answer.contexts.push_back(AnswerProposal(proposal, profile));
        accepted = accepted || answer.contexts.back().result == net::RESULT_ACCEPTANCE;
    }
    if (!accepted) {
        // Nothing depends on it: the requestor's values, as they came.
        answer.userInformation.maximumLength = request.userInformation.maximumLength;
        answer.userInformation.implementationClassUid =
            request.userInformation.implementationClassUid;
        answer.userInformation.implementationVersionName =
            request.userInformation.implementationVersionName;
        return answer;
    }
    answer.userInformation = net::OurUserInformation();
    for (const auto& proposed : request.userInformation.roleSelections) {
        if (auto role = AnswerRoleSelection(proposed, profile))
            answer.userInformation.roleSelections.push_back(std::move(*role));
    }
    return answer;
}

net::Negotiation AnswerWith(const ProviderProfile& profile) {
    return
        [&profile](const net::AssociateRQ& request) { return AnswerAssociation(request, profile); };
}

}  // namespace dicomlib::store
