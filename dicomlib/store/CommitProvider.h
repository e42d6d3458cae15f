// The storage commitment provider: an N-ACTION-RQ on the well-known instance of the Push Model
// class asks it to commit instances under a transaction; it answers the request, judges each
// instance against what its storage directory holds (a file named by the instance UID, of the
// same SOP class) and reports the verdicts in an N-EVENT-REPORT-RQ: on the requestor's
// association while it is open, else, and always when told, on a new association to the
// requestor's title as the nodes file names it, proposing the class with our SCP role.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data/Datadec.h"
#include "data/ElementList.h"
#include "net/ConnectionSettings.h"
#include "net/Dispatcher.h"
#include "services/Commitment.h"
#include "store/Nodes.h"

namespace dicomlib::store {

// A request read from its N-ACTION-RQ data set.
struct CommitRequest {
    std::string transactionUid;
    std::vector<services::CommitItem> items;
};

// Reads a request; false, with why, when it names no transaction, no instance, or an instance
// without both UIDs.
bool ReadCommitRequest(const ElementList& dataSet, const data::DecoderState& syntax,
                       CommitRequest& request, std::string& why);

// What this provider holds of an instance UID: the SOP class of its stored file, or none.
using StoredClassOf = std::function<std::optional<std::string>(const std::string& instanceUid)>;

// The verdicts: committed when the instance is held under the same class; failed with 0x0112
// (no such object instance) when it is not held, 0x0119 (class/instance conflict) when held
// under another class. Event type 1 when all were committed, 2 otherwise.
services::CommitmentReport JudgeStored(const CommitRequest& request, const StoredClassOf& held);

// The N-EVENT-REPORT-RQ data set: Transaction UID, the Failed SOP Sequence (with each Failure
// Reason) and the Referenced SOP Sequence, each only when it has items, in the flat form.
ElementList CommitReportDataSet(const services::CommitmentReport& report);

// The SOP class of every file under directory named by one of the instance UIDs (".dcm").
StoredClassOf StoredClassesIn(const std::filesystem::path& directory,
                              const std::vector<services::CommitItem>& items);

struct CommitSetup {
    std::string storageDirectory;
    bool newAssociation = false;  // the report never goes on the requestor's association
    std::vector<Node> nodes;
    // Waits and TLS of the associations the reports go on.
    net::ConnectionSettings outgoing;
};

// The handler of N-ACTION-RQ. Refused with an Error Comment: another instance than the
// well-known one (0x0112), another action than 1 (0x0123), an unreadable request (0x0115), a
// Transaction UID this provider has had before (0x0110), a report that must go on a new
// association to a title the nodes do not name (0x0110). Reports for new associations are sent
// from a thread of their own once the request is answered; the handler's last copy waits for
// them.
net::DimseHandler CommitHandler(CommitSetup setup);

}  // namespace dicomlib::store
