// Storage commitment as a modality asks for it: one N-ACTION-RQ on the well-known instance of
// the Push Model class names a new transaction and the instances to commit; the archive's
// answer comes later as an N-EVENT-REPORT, on the same association while it stays open or on one
// the archive opens to our listener. Which instances are committed is judged from the report's
// two sequences, never from its event type alone: an instance the report does not mention is
// not committed.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "data/Datadec.h"
#include "data/ElementList.h"
#include "net/ConnectionSettings.h"
#include "net/Dispatcher.h"

namespace dicomlib::services {

inline constexpr char STORAGE_COMMITMENT_CLASS[] = "1.2.840.10008.1.20.1";
inline constexpr char STORAGE_COMMITMENT_INSTANCE[] = "1.2.840.10008.1.20.1.1";

// One instance to commit: its SOP class and SOP instance UIDs.
struct CommitItem {
    std::string sopClassUid, sopInstanceUid;
    bool operator==(const CommitItem&) const = default;
};

// What one N-EVENT-REPORT of the class said.
struct CommitmentReport {
    std::string transactionUid;
    uint16_t eventTypeId = 0;
    std::vector<CommitItem> committed;
    std::vector<std::pair<CommitItem, uint16_t>> failed;  // with its Failure Reason
};

// The N-ACTION-RQ data set: Transaction UID and the Referenced SOP Sequence, one item per
// instance, in the flat form.
ElementList CommitmentRequestDataSet(std::string_view transactionUid,
                                     const std::vector<CommitItem>& items);
// Reads a report's data set (sequences of defined or undefined length); false, with why, when
// it names no transaction.
bool ReadCommitmentReport(const ElementList& dataSet, const data::DecoderState& syntax,
                          CommitmentReport& report, std::string& why);

// An instance's verdict: 0 committed, a Failure Reason from the report, or NOT_REPORTED.
inline constexpr int32_t NOT_REPORTED = -1;
struct CommitVerdict {
    CommitItem item;
    int32_t reason = NOT_REPORTED;
};
// The verdict on every instance asked for, in the order asked. An instance the report lists
// both as committed and as failed counts as failed.
std::vector<CommitVerdict> JudgeCommitment(const std::vector<CommitItem>& asked,
                                           const CommitmentReport& report);
// A Failure Reason in words ("no such object instance: the archive does not hold it ...").
std::string FailureReasonText(int32_t reason);

// The instances of the files (Part 10 files, folders read recursively), headers only; files
// that cannot be read, or lack the two UIDs, go into unreadable.
std::vector<CommitItem> CommitItemsOfFiles(const std::vector<std::filesystem::path>& files,
                                           std::vector<std::filesystem::path>& unreadable);

// Our outcomes beside the statuses of an N-ACTION-RSP that refused the request (1..65535).
enum CommitFailure : int32_t {
    COMMIT_NO_ASSOCIATION = -10,     // the association could not be opened (LastFailure says why)
    COMMIT_REFUSED = -11,            // the peer took no context for the commitment class
    COMMIT_BAD_ARGUMENT = -12,       // no instances, bad files, TLS listener without a certificate
    COMMIT_NOT_COMMITTED = -20,      // the report came: some instances were not committed
    COMMIT_NO_REPORT = -21,          // no report within the wait
    COMMIT_OTHER_TRANSACTION = -22,  // a report came, for another transaction
    COMMIT_CANNOT_LISTEN = -23,      // the port for the peer's association cannot be listened on
    COMMIT_MALFORMED_REPORT = -24,   // a report without a Transaction UID
};

struct CommitOptions {
    // Empty: the report is awaited on our association. Else a listener on this port takes the
    // association the peer opens to send it, and ours is released once the request is answered.
    std::string receivePort;
    std::chrono::milliseconds wait{60000};
};

struct CommitResult {
    std::string transactionUid;
    std::vector<CommitVerdict> verdicts;
    std::chrono::milliseconds timeToCommit{0};  // request sent to report received
    bool onOurAssociation = false;              // the report came on our own association
    std::string otherTransaction;               // of a report for another transaction
};

// The handler of N-EVENT-REPORT-RQ of the commitment class: every report read goes to sink
// (a malformed one with an empty transaction UID and why), and is answered with success, or
// with 0x0110 when it cannot be read. sink may be called on a listener's thread.
using ReportSink = std::function<void(const CommitmentReport& report, const std::string& why)>;
net::DimseHandler CommitmentReportHandler(ReportSink sink);

// Asks the peer to commit the items under a new transaction and waits for its report. 0 when
// every item was committed; else a CommitFailure, an NFailure or the N-ACTION-RSP's status,
// why as the thread's last failure. result gets what is known even on failure.
int32_t Commit(const net::ConnectionSettings& peer, const std::vector<CommitItem>& items,
               const CommitOptions& options, CommitResult& result);

// Words for a CommitFailure, or an N-ACTION-RSP status.
std::string CommitOutcomeText(int32_t outcome);

}  // namespace dicomlib::services
