#include "store/NServiceProvider.h"

#include <utility>

#include "data/TransferSyntax.h"
#include "net/CommandSet.h"
#include "services/Commitment.h"
#include "store/CommitProvider.h"
#include "store/MppsProvider.h"

namespace dicomlib::store {
namespace {

ProfileRow Row(const char* abstractSyntax, uint16_t commandField, net::DimseHandler handler) {
    ProfileRow row;
    row.abstractSyntax = abstractSyntax;
    row.syntaxPreference = {uid::ExplicitVRLittleEndian, uid::ImplicitVRLittleEndian};
    row.commandField = commandField;
    row.handler = std::move(handler);
    return row;
}

}  // namespace

bool AddNServiceRows(ProviderProfile& profile, const NServiceOptions& options,
                     const std::string& storageDirectory, const net::ConnectionSettings& outgoing,
                     std::string& why) {
    if (options.commitNewAssociation && !options.commit) {
        why = "--commit-new-association goes with --commit";
        return false;
    }
    if (options.commit) {
        CommitSetup setup;
        setup.storageDirectory = storageDirectory;
        setup.newAssociation = options.commitNewAssociation;
        setup.nodes = options.nodes;
        setup.outgoing = net::OutgoingSettings(outgoing, {}, {}, {}, {});
        profile.rows.push_back(Row(services::STORAGE_COMMITMENT_CLASS, net::N_ACTION_RQ,
                                   CommitHandler(std::move(setup))));
    }
    if (!options.mppsDirectory.empty()) {
        MppsHandlers mpps = MppsProviderHandlers(options.mppsDirectory);
        profile.rows.push_back(Row(MPPS_CLASS, net::N_CREATE_RQ, std::move(mpps.create)));
        profile.rows.push_back(Row(MPPS_CLASS, net::N_SET_RQ, std::move(mpps.set)));
    }
    return true;
}

}  // namespace dicomlib::store
