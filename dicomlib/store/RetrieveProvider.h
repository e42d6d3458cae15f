// The retrieve side of the provider: C-MOVE and C-GET at Patient Root and Study Root over the
// instances this provider has stored. The identifier names unique keys (Patient ID, Study,
// Series and SOP Instance UIDs, each a list separated by backslashes); the instances are
// selected from the index files by those keys alone and sent as C-STORE sub-operations, each
// in its stored syntax or converted to one the receiver accepted: for C-MOVE on a new
// association to the destination named in the nodes file, for C-GET on the requestor's own
// association for the classes whose SCP role it proposed and was granted. A pending response
// with the counts follows each sub-operation; a C-CANCEL-RQ stops the retrieve after the
// current one.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data/ElementList.h"
#include "net/ConnectionSettings.h"
#include "net/Dispatcher.h"
#include "store/Nodes.h"
#include "store/ProviderProfile.h"

namespace dicomlib::store {

inline constexpr char PATIENT_ROOT_MOVE[] = "1.2.840.10008.5.1.4.1.2.1.2";
inline constexpr char STUDY_ROOT_MOVE_CLASS[] = "1.2.840.10008.5.1.4.1.2.2.2";
inline constexpr char PATIENT_ROOT_GET_CLASS[] = "1.2.840.10008.5.1.4.1.2.1.3";
inline constexpr char STUDY_ROOT_GET_CLASS[] = "1.2.840.10008.5.1.4.1.2.2.3";

// What the provider serves beyond storage, as tessaly-cli scp's options set it.
struct ProviderOptions {
    bool query = false;       // query/retrieve: C-MOVE and C-GET (and C-FIND) at both roots
    uint32_t pending = 0;     // extra pending responses before each final C-MOVE/C-GET response
    std::vector<Node> nodes;  // C-MOVE destinations
    // The listener's: C-MOVE sub-operations go out secured and timed as it is.
    net::ConnectionSettings listener;
};

// One stored instance a retrieve sends.
struct StoredInstance {
    std::string sopClassUid;
    std::string sopInstanceUid;
    std::filesystem::path file;
};

// The instances an identifier selects, or the failure status and why (an unknown level, a
// level the information model has not, a missing unique key of the level).
struct Selection {
    uint16_t status = 0;
    std::string why;
    std::vector<StoredInstance> instances;
};

// Selects by the identifier's Query/Retrieve Level and unique keys: each key given narrows the
// selection to its listed values, the key of the level itself must be given. patientRoot: the
// Patient Root model (PATIENT level allowed). The study index names the studies, each study's
// series index its series, each series' image index its instances, in index order, each once;
// the file is where the provider stores it under storageDirectory.
Selection SelectInstances(const std::string& storageDirectory,
                          const std::filesystem::path& indexRoot, bool patientRoot,
                          const ElementList& identifier);

// The counts of a retrieve's sub-operations.
struct SubOperations {
    uint32_t remaining = 0;
    uint32_t completed = 0;
    uint32_t failed = 0;
    uint32_t warning = 0;
};

// A C-MOVE-RSP or C-GET-RSP (responseField) to request: Affected SOP Class UID, Command
// Field, Message ID Being Responded To, Command Data Set Type, Status, the Error Comment when
// given, and the counts: all four in a pending or cancel response, the three done ones in any
// other (none when nothing was attempted). dataSet: an identifier follows.
ElementList RetrieveResponse(const ElementList& request, uint16_t responseField, uint16_t status,
                             const SubOperations& counts, bool withCounts, bool dataSet,
                             std::string_view errorComment = {});
// The final status of a retrieve that went through all its sub-operations: success, or 0xB000
// when any failed or had a warning.
uint16_t FinalRetrieveStatus(const SubOperations& counts);
// The identifier of a final response: the Failed SOP Instance UID List.
ElementList FailedInstancesIdentifier(const std::vector<std::string>& failedUids);

// The handlers of C-MOVE-RQ and C-GET-RQ over what target holds. calledTitle of the sub-
// associations is the destination's, the calling title the one the requestor called us by; they
// are opened with the listener's transport and waits.
net::DimseHandler MoveHandler(StorageTarget target, std::vector<Node> nodes, uint32_t pending,
                              net::ConnectionSettings listener = {});
net::DimseHandler GetHandler(StorageTarget target, uint32_t pending);

// Adds what options ask for to a profile storing into target: with query, the Move and Get
// classes of both roots with their handlers, and the SCU role besides the SCP one for every
// storage class (a C-GET's requestor may take the SCP role for them).
void AddRetrieveRows(ProviderProfile& profile, const StorageTarget& target,
                     const ProviderOptions& options);

}  // namespace dicomlib::store
