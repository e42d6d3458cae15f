// The N-service rows of the provider's profile: storage commitment and performed procedure
// steps, each taken only when asked for. Their options are one plain record, as the command
// line and the exported start of the provider give them.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "net/ConnectionSettings.h"
#include "store/Nodes.h"
#include "store/ProviderProfile.h"

namespace dicomlib::store {

struct NServiceOptions {
    // Storage Commitment Push Model: N-ACTION-RQ answered, the report sent as an N-EVENT-REPORT.
    bool commit = false;
    // The report always goes on a new association to the requestor, never on its own.
    bool commitNewAssociation = false;
    // Where new associations go (the nodes file's "AE HOST PORT" lines); empty: none.
    std::vector<Node> nodes;
    // Modality Performed Procedure Step: the folder of the steps; empty: not taken.
    std::filesystem::path mppsDirectory;

    bool Any() const { return commit || !mppsDirectory.empty(); }
};

// Adds the rows the options ask for to profile, the commitment judged against storageDirectory
// and its reports sent with outgoing's waits; false, with why, when commitNewAssociation comes
// without commit.
bool AddNServiceRows(ProviderProfile& profile, const NServiceOptions& options,
                     const std::string& storageDirectory, const net::ConnectionSettings& outgoing,
                     std::string& why);

}  // namespace dicomlib::store
