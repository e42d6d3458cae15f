#include "services/Commitment.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>

#include "data/Tags.h"
#include "data/TransferSyntax.h"
#include "net/Association.h"
#include "net/AssociationWords.h"
#include "net/CommandSet.h"
#include "net/Dimse.h"
#include "net/NService.h"
#include "net/TlsTransport.h"
#include "services/Mpps.h"
#include "store/StoreScp.h"

namespace dicomlib::services {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr Tag TRANSACTION_UID{0x0008, 0x1195};
constexpr uint16_t ITEM_DELIMITER = 0xE00D, SEQUENCE_DELIMITER = 0xE0DD;
constexpr uint16_t ACTION_REQUEST_COMMIT = 1;

bool IsDelimiter(const DicomElement& e) {
    return e.group == 0xFFFE && (e.element == ITEM_DELIMITER || e.element == SEQUENCE_DELIMITER);
}

bool IsContainer(const DicomElement& e) {
    return data::VrIs(e, "SQ") || TagOf(e) == tag::Item;
}

// Reads a report's elements, opening defined-length containers where they are met. open holds
// the containers entered: a top-level sequence, then an item of it, and so on.
class ReportReader {
  public:
    ReportReader(const data::DecoderState& syntax, CommitmentReport& report)
        : syntax_(syntax), report_(report) {}

    void Read(const ElementList& list) {
        for (const DicomElement* e : list) {
            if (IsContainer(*e) && data::HasValue(*e)) {
                ElementList opened;
                // A malformed value still gives what was read before the fault.
                data::ExpandSequence(syntax_, *e, opened);
                const std::size_t depth = open_.size();
                Read(opened);
                open_.resize(std::min(open_.size(), depth));
                continue;
            }
            if (IsDelimiter(*e)) {
                if (open_.size() == 2 && e->element == ITEM_DELIMITER) EndItem();
                if (!open_.empty()) open_.pop_back();
                continue;
            }
            if (e->length == UNDEFINED_LENGTH) {
                open_.push_back(TagOf(*e));
                if (open_.size() == 2) item_ = {};
                continue;
            }
            Take(*e);
        }
    }

  private:
    void Take(const DicomElement& e) {
        const Tag t = TagOf(e);
        if (open_.empty()) {
            if (t == TRANSACTION_UID) report_.transactionUid = net::UidText(e);
            return;
        }
        if (open_.size() != 2) return;
        if (t == tag::ReferencedSOPClassUID) item_.sopClassUid = net::UidText(e);
        if (t == tag::ReferencedSOPInstanceUID) item_.sopInstanceUid = net::UidText(e);
        if (t == tag::FailureReason && e.length >= 2) {
            data::ValueView v(e);
            if (v.Ok()) reason_ = static_cast<uint16_t>(v.Data()[0] | (v.Data()[1] << 8));
        }
    }
    void EndItem() {
        if (open_[0] == tag::ReferencedSOPSequence) report_.committed.push_back(item_);
        // A failed instance without its reason failed for a reason not given: processing.
        if (open_[0] == tag::FailedSOPSequence)
            report_.failed.emplace_back(item_, reason_.value_or(0x0110));
        item_ = {};
        reason_.reset();
    }

    const data::DecoderState& syntax_;
    CommitmentReport& report_;
    std::vector<Tag> open_;
    CommitItem item_;
    std::optional<uint16_t> reason_;
};

// Reports handed from whichever thread received them to the one that waits.
class ReportBox {
  public:
    void Put(const CommitmentReport& report, const std::string& why) {
        std::lock_guard lock(mutex_);
        if (!firstArrival_) firstArrival_ = Clock::now();
        reports_.emplace_back(report, why);
        arrived_.notify_all();
    }
    // When the first report came in: the time to commit ends there, not after the release
    // that follows it.
    std::optional<Clock::time_point> FirstArrival() {
        std::lock_guard lock(mutex_);
        return firstArrival_;
    }
    // The first report, or none when the deadline passed.
    std::optional<std::pair<CommitmentReport, std::string>> Take(Clock::time_point deadline) {
        std::unique_lock lock(mutex_);
        arrived_.wait_until(lock, deadline, [&] { return !reports_.empty(); });
        if (reports_.empty()) return std::nullopt;
        auto first = std::move(reports_.front());
        reports_.erase(reports_.begin());
        return first;
    }

  private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::pair<CommitmentReport, std::string>> reports_;
    std::optional<Clock::time_point> firstArrival_;
};

// A profile that takes the commitment class in whichever role the peer proposes, and answers
// echoes, for the association the peer opens to send its report.
store::ProviderProfile ReportProfile(ReportSink sink) {
    store::ProviderProfile profile;
    store::ProfileRow commitment;
    commitment.abstractSyntax = STORAGE_COMMITMENT_CLASS;
    commitment.syntaxPreference = {"1.2.840.10008.1.2.1", "1.2.840.10008.1.2"};
    commitment.role = store::ProviderRole::Both;
    commitment.commandField = net::N_EVENT_REPORT_RQ;
    commitment.handler = CommitmentReportHandler(std::move(sink));
    profile.rows.push_back(std::move(commitment));
    store::ProfileRow echo;
    echo.abstractSyntax = "1.2.840.10008.1.1";
    echo.syntaxPreference = {"1.2.840.10008.1.2"};
    echo.commandField = net::C_ECHO_RQ;
    echo.handler = store::EchoHandler();
    profile.rows.push_back(std::move(echo));
    return profile;
}

std::string NameList(const std::vector<CommitItem>& items) {
    std::string text;
    for (const CommitItem& item : items)
        text += (text.empty() ? "" : ", ") + item.sopInstanceUid;
    return text;
}

}  // namespace

ElementList CommitmentRequestDataSet(std::string_view transactionUid,
                                     const std::vector<CommitItem>& items) {
    ElementList list;
    auto uid = [&](Tag t, std::string_view text) {
        std::string value(text);
        if (value.size() % 2 != 0) value += '\0';
        list.Append(data::NewTextElement(t, "UI", value));
    };
    uid(TRANSACTION_UID, transactionUid);
    list.Append(data::NewElement(tag::ReferencedSOPSequence.group,
                                 tag::ReferencedSOPSequence.element, UNDEFINED_LENGTH, nullptr,
                                 "SQ"));
    for (const CommitItem& item : items) {
        list.Append(data::NewElement(0xFFFE, 0xE000, UNDEFINED_LENGTH, nullptr, nullptr));
        uid(tag::ReferencedSOPClassUID, item.sopClassUid);
        uid(tag::ReferencedSOPInstanceUID, item.sopInstanceUid);
        list.Append(data::NewElement(0xFFFE, ITEM_DELIMITER, 0, nullptr, nullptr));
    }
    list.Append(data::NewElement(0xFFFE, SEQUENCE_DELIMITER, 0, nullptr, nullptr));
    return list;
}

bool ReadCommitmentReport(const ElementList& dataSet, const data::DecoderState& syntax,
                          CommitmentReport& report, std::string& why) {
    ReportReader(syntax, report).Read(dataSet);
    if (report.transactionUid.empty()) {
        why =
            "an N-EVENT-REPORT without a Transaction UID: the peer's report cannot be matched "
            "to a request";
        return false;
    }
    return true;
}

std::vector<CommitVerdict> JudgeCommitment(const std::vector<CommitItem>& asked,
                                           const CommitmentReport& report) {
    std::vector<CommitVerdict> verdicts;
    for (const CommitItem& item : asked) {
        CommitVerdict verdict{item, NOT_REPORTED};
        if (std::find(report.committed.begin(), report.committed.end(), item) !=
            report.committed.end())
            verdict.reason = 0;
        for (const auto& [failed, reason] : report.failed)
            if (failed == item) verdict.reason = reason;
        verdicts.push_back(std::move(verdict));
    }
    return verdicts;
}

std::string FailureReasonText(int32_t reason) {
    switch (reason) {
        case 0:
            return "committed";
        case NOT_REPORTED:
            return "not in the report: the peer neither committed it nor said why";
        case 0x0110:
            return "processing failure (0x0110): the archive could not commit it; its log says "
                   "why";
        case 0x0112:
            return "no such object instance (0x0112): the archive does not hold it; store it "
                   "first";
        case 0x0119:
            return "class/instance conflict (0x0119): the archive holds the instance under "
                   "another SOP class";
        case 0x0122:
            return "SOP class not supported (0x0122): the archive does not commit this class";
        case 0x0131:
            return "duplicate transaction UID (0x0131): the archive already had a request with "
                   "this Transaction UID";
        case 0x0213:
            return "resource limitation (0x0213): the archive is out of resources; try later";
        default: {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%04X", static_cast<unsigned>(reason & 0xFFFF));
            return std::string("failure reason ") + hex;
        }
    }
}

std::vector<CommitItem> CommitItemsOfFiles(const std::vector<fs::path>& files,
                                           std::vector<fs::path>& unreadable) {
    std::vector<fs::path> all;
    for (const fs::path& f : files) {
        std::error_code ec;
        if (fs::is_directory(f, ec)) {
            for (const auto& entry : fs::recursive_directory_iterator(f, ec))
                if (entry.is_regular_file(ec)) all.push_back(entry.path());
        } else {
            all.push_back(f);
        }
    }
    std::sort(all.begin(), all.end());
    std::vector<CommitItem> items;
    for (const fs::path& f : all) {
        data::DecoderState state;
        ElementList meta, dataSet;
        CommitItem item;
        if (data::ReadPart10File(state, f, meta, dataSet)) {
            item.sopClassUid = data::GetTopLevelString(dataSet, tag::SOPClassUID);
            item.sopInstanceUid = data::GetTopLevelString(dataSet, tag::SOPInstanceUID);
        }
        if (item.sopClassUid.empty() || item.sopInstanceUid.empty())
            unreadable.push_back(f);
        else
            items.push_back(std::move(item));
    }
    return items;
}

net::DimseHandler CommitmentReportHandler(ReportSink sink) {
    return [sink = std::move(sink)](Association& assoc, net::DimseMessage& message) {
        CommitmentReport report;
        std::string why;
        const auto syntax = net::AcceptedSyntaxOf(
            assoc, message.hasDataSet ? message.dataSetContextId : message.contextId);
        const data::DataSetEncoding encoding = data::EncodingOf(syntax ? *syntax : "");
        const data::DecoderState state{static_cast<uint8_t>(encoding.explicitVr ? 1 : 0),
                                       static_cast<uint8_t>(encoding.bigEndian ? 1 : 0), 0};
        report.eventTypeId = data::GetTagUS(message.command, tag::EventTypeID);
        const bool read = message.hasDataSet
                              ? ReadCommitmentReport(message.dataSet, state, report, why)
                              : (why = "an N-EVENT-REPORT without its data set", false);
        std::string instance;
        if (const DicomElement* e = data::FindTag(message.command, tag::AffectedSOPInstanceUID))
            instance = net::UidText(*e);
        net::CommandSet answer = net::NServiceResponse(
            net::N_EVENT_REPORT_RSP, message.SopClass(), instance, message.MessageId(),
            read ? net::STATUS_SUCCESS : uint16_t{0x0110}, false, report.eventTypeId);
        const bool sent = net::SendMessageOnContext(assoc, answer.List(), message.contextId,
                                                    net::MessageKind::Command);
        sink(report, why);
        return sent ? net::HandlerResult::Continue : net::HandlerResult::End;
    };
}

int32_t Commit(const net::ConnectionSettings& peer, const std::vector<CommitItem>& items,
               const CommitOptions& options, CommitResult& result) {
    net::NoteFailure({});
    if (items.empty()) {
        net::NoteFailure("nothing to commit: no instances were given");
        return COMMIT_BAD_ARGUMENT;
    }
    ReportBox box;
    const ReportSink sink = [&box](const CommitmentReport& report, const std::string& why) {
        box.Put(report, why);
    };
    std::optional<store::StoreProvider> listener;
    if (!options.receivePort.empty()) {
        // The archive's association to us is secured as ours to it is: our certificate, and the
        // CAs we trust to verify the archive's.
        const auto& tls = peer.transport.tls;
        if (tls && !tls->HasCertificate()) {
            net::NoteFailure(
                "--receive under --tls needs our certificate (--tls-cert and --tls-key): the "
                "archive's association to our listener is secured with it");
            return COMMIT_BAD_ARGUMENT;
        }
        net::ConnectionSettings listening;
        listening.transport = peer.transport;
        listener.emplace(ReportProfile(sink), options.receivePort, 1, listening);
        if (!listener->Listening()) {
            net::NoteFailure("cannot listen on port " + options.receivePort +
                             " for the peer's report: another program may hold it; choose "
                             "another --receive port");
            return COMMIT_CANNOT_LISTEN;
        }
    }
    net::AssociationPtr assoc =
        net::Open(peer, net::ProposalFor(STORAGE_COMMITMENT_CLASS, std::nullopt));
    if (assoc->opened.outcome != net::OpenOutcome::Accepted) {
        if (assoc->opened.outcome == net::OpenOutcome::NothingAccepted) {
            net::NoteFailure("the peer does not take Storage Commitment Push Model: " +
                             net::ExplainOpenFailure(*assoc));
            return COMMIT_REFUSED;
        }
        net::NoteFailure("the archive at " + peer.host + ":" + peer.port + ": " +
                         net::ExplainOpenFailure(*assoc));
        return COMMIT_NO_ASSOCIATION;
    }
    // A report may come before the N-ACTION-RSP, or after it on this association.
    assoc->handlers.On(net::N_EVENT_REPORT_RQ, STORAGE_COMMITMENT_CLASS,
                       CommitmentReportHandler(sink));
    result.transactionUid = NewUid();
    ElementList dataSet = CommitmentRequestDataSet(result.transactionUid, items);
    net::CommandSet action =
        net::NActionRequest(STORAGE_COMMITMENT_CLASS, STORAGE_COMMITMENT_INSTANCE,
                            net::NextMessageID(), ACTION_REQUEST_COMMIT, true);
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + options.wait;
    const net::NResponse response =
        net::NExchange(*assoc, action, STORAGE_COMMITMENT_CLASS, &dataSet, net::N_ACTION_RSP);
    if (response.outcome != 0) {
        std::string words = net::DescribeNOutcome(response, net::N_ACTION_RSP);
        if (response.outcome > 0) words = "the archive refused the request: " + words;
        net::NoteFailure(words);
        return response.outcome;
    }
    auto report = box.Take(Clock::now());
    if (!report && listener) {
        assoc.reset();  // released: the report comes on the peer's own association
        report = box.Take(deadline);
    }
    while (!report && assoc && assoc->stream.Connected()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) break;
        assoc->stream.Socket().SetReceiveTimeout(left);
        auto message = net::ReceiveDimseMessage(*assoc);
        if (!message || net::Dispatch(*assoc, assoc->handlers, *message) == net::HandlerResult::End)
            break;
        report = box.Take(Clock::now());
    }
    const bool ours = !listener;
    if (assoc) assoc.reset();
    if (!report) {
        net::NoteFailure(
            "no storage commitment report within " +
            std::to_string(std::chrono::duration_cast<std::chrono::seconds>(options.wait).count()) +
            " s: the archive accepted the request but did not answer it; " +
            (ours ? "it may send reports only on an association of its own (try --receive PORT, "
                    "with our AE title and that port configured on the archive)"
                  : "check that the archive knows our AE title with this host and --receive "
                    "port, or allow it longer (--wait)"));
        return COMMIT_NO_REPORT;
    }
    result.timeToCommit = std::chrono::duration_cast<std::chrono::milliseconds>(
        box.FirstArrival().value_or(Clock::now()) - start);
    result.onOurAssociation = ours;
    const auto& [got, why] = *report;
    if (got.transactionUid.empty()) {
        net::NoteFailure(why);
        return COMMIT_MALFORMED_REPORT;
    }
    if (got.transactionUid != result.transactionUid) {
        result.otherTransaction = got.transactionUid;
        net::NoteFailure("the report names transaction " + got.transactionUid + ", not ours (" +
                         result.transactionUid +
                         "): the archive answered another request, or mixed up its reports");
        return COMMIT_OTHER_TRANSACTION;
    }
    result.verdicts = JudgeCommitment(items, got);
    std::vector<CommitItem> failed;
    for (const CommitVerdict& v : result.verdicts)
        if (v.reason != 0) failed.push_back(v.item);
    if (failed.empty()) return 0;
    net::NoteFailure(std::to_string(failed.size()) + " of " + std::to_string(items.size()) +
                     " instances were not committed (" + NameList(failed) +
                     "): keep them until the archive commits them");
    return COMMIT_NOT_COMMITTED;
}

std::string CommitOutcomeText(int32_t outcome) {
    switch (outcome) {
        case 0:
            return "every instance committed";
        case net::N_NO_RESPONSE:
            return "no response to the commitment request (the connection failed or was closed)";
        case net::N_WRONG_RESPONSE:
            return "the peer answered the commitment request with another message";
        case net::N_NOT_SENT:
            return "no accepted presentation context for Storage Commitment";
        case COMMIT_NO_ASSOCIATION:
            return "the association with the archive could not be opened";
        case COMMIT_REFUSED:
            return "the peer does not take Storage Commitment Push Model";
        case COMMIT_BAD_ARGUMENT:
            return "nothing to commit, or files that cannot be read";
        case COMMIT_NOT_COMMITTED:
            return "some instances were not committed";
        case COMMIT_NO_REPORT:
            return "no storage commitment report came within the wait";
        case COMMIT_OTHER_TRANSACTION:
            return "a storage commitment report came for another transaction";
        case COMMIT_CANNOT_LISTEN:
            return "cannot listen for the archive's association";
        case COMMIT_MALFORMED_REPORT:
            return "a storage commitment report without a Transaction UID";
        default:
            if (outcome > 0 && outcome <= 0xFFFF)
                return net::StatusText(static_cast<uint16_t>(outcome), net::N_ACTION_RSP);
            return "unknown outcome " + std::to_string(outcome);
    }
}

}  // namespace dicomlib::services
