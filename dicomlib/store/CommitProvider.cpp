#include "store/CommitProvider.h"

#include <future>
#include <map>
#include <mutex>
#include <set>

#include "data/Tags.h"
#include "data/TransferSyntax.h"
#include "net/Association.h"
#include "net/CommandSet.h"
#include "net/Dimse.h"
#include "net/NService.h"
#include "net/TraceLog.h"
#include "store/MppsProvider.h"

namespace dicomlib::store {
namespace {

namespace fs = std::filesystem;
using services::CommitItem;
using services::CommitmentReport;
using services::STORAGE_COMMITMENT_CLASS;
using services::STORAGE_COMMITMENT_INSTANCE;

constexpr uint16_t ACTION_REQUEST_COMMIT = 1;
constexpr uint16_t EVENT_ALL_COMMITTED = 1, EVENT_SOME_FAILED = 2;
constexpr uint16_t NO_SUCH_OBJECT_INSTANCE = 0x0112, CLASS_INSTANCE_CONFLICT = 0x0119;
constexpr uint16_t COMMIT_PROCESSING_FAILURE = 0x0110, COMMIT_NO_SUCH_INSTANCE = 0x0112;
constexpr uint16_t STATUS_INVALID_ARGUMENT_VALUE = 0x0115, STATUS_NO_SUCH_ACTION = 0x0123;

std::string Trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    return std::string(text.substr(first, text.find_last_not_of(' ') - first + 1));
}

void AppendUid(ElementList& list, Tag t, std::string_view uid) {
    std::string value(uid);
    if (value.size() % 2 != 0) value += '\0';
    list.Append(data::NewTextElement(t, "UI", value));
}

void OpenContainer(ElementList& list, Tag t) {
    list.Append(data::NewElement(t.group, t.element, UNDEFINED_LENGTH, nullptr,
                                 t == tag::Item ? nullptr : "SQ"));
}

void CloseContainer(ElementList& list, uint16_t delimiter) {
    list.Append(data::NewElement(0xFFFE, delimiter, 0, nullptr, nullptr));
}

// What the handlers of one provider share: the transactions seen and the reports on their way.
struct CommitState {
    explicit CommitState(CommitSetup s) : setup(std::move(s)) {}
    ~CommitState() {
        for (auto& report : reports)
            report.wait();
    }
    CommitSetup setup;
    std::mutex mutex;
    std::set<std::string> transactions;
    std::vector<std::future<void>> reports;
};

// Sends one report on an association of its own to the requestor's node; what fails is traced.
void ReportOnNewAssociation(const Node& node, const std::string& ourTitle,
                            const CommitmentReport& report, net::ConnectionSettings settings) {
    settings.host = node.host;
    settings.port = node.port;
    settings.callingAeTitle = ourTitle;
    settings.calledAeTitle = node.aeTitle;
    net::Proposals proposals = net::ProposalFor(STORAGE_COMMITMENT_CLASS, std::nullopt);
    proposals.roleSelections.push_back({STORAGE_COMMITMENT_CLASS, 0, 1});
    net::AssociationPtr assoc = net::Open(settings, proposals);
    const std::string where = "storage commitment report for transaction " + report.transactionUid +
                              " to " + node.aeTitle + " at " + node.host + ":" + node.port + ": ";
    if (assoc->opened.outcome != net::OpenOutcome::Accepted) {
        net::WriteLogLine(where + net::ExplainOpenFailure(*assoc));
        return;
    }
    net::CommandSet command =
        net::NEventReportRequest(STORAGE_COMMITMENT_CLASS, STORAGE_COMMITMENT_INSTANCE,
                                 net::NextMessageID(), report.eventTypeId, true);
    ElementList dataSet = CommitReportDataSet(report);
    const net::NResponse response = net::NExchange(*assoc, command, STORAGE_COMMITMENT_CLASS,
                                                   &dataSet, net::N_EVENT_REPORT_RSP);
    if (response.outcome != 0)
        net::WriteLogLine(where + net::DescribeNOutcome(response, net::N_EVENT_REPORT_RSP));
}

}  // namespace

bool ReadCommitRequest(const ElementList& dataSet, const data::DecoderState& syntax,
                       CommitRequest& request, std::string& why) {
    // The request has the shape of a report that commits everything it names.
    CommitmentReport read;
    const ElementList flat = FlatDataSet(dataSet, syntax);
    if (!services::ReadCommitmentReport(flat, syntax, read, why)) {
        why = "no Transaction UID in the request";
        return false;
    }
    if (read.committed.empty()) {
        why = "no instance in the Referenced SOP Sequence";
        return false;
    }
    for (const CommitItem& item : read.committed) {
        if (item.sopClassUid.empty() || item.sopInstanceUid.empty()) {
            why = "a Referenced SOP item without both UIDs";
            return false;
        }
    }
    request.transactionUid = std::move(read.transactionUid);
    request.items = std::move(read.committed);
    return true;
}

CommitmentReport JudgeStored(const CommitRequest& request, const StoredClassOf& held) {
    CommitmentReport report;
    report.transactionUid = request.transactionUid;
    for (const CommitItem& item : request.items) {
        const std::optional<std::string> stored = held(item.sopInstanceUid);
        if (stored && *stored == item.sopClassUid)
            report.committed.push_back(item);
        else
            report.failed.emplace_back(item,
                                       stored ? CLASS_INSTANCE_CONFLICT : NO_SUCH_OBJECT_INSTANCE);
    }
    report.eventTypeId = report.failed.empty() ? EVENT_ALL_COMMITTED : EVENT_SOME_FAILED;
    return report;
}

ElementList CommitReportDataSet(const CommitmentReport& report) {
    ElementList list;
    AppendUid(list, Tag{0x0008, 0x1195}, report.transactionUid);
    if (!report.failed.empty()) {
        OpenContainer(list, tag::FailedSOPSequence);
        for (const auto& [item, reason] : report.failed) {
            OpenContainer(list, tag::Item);
            AppendUid(list, tag::ReferencedSOPClassUID, item.sopClassUid);
            AppendUid(list, tag::ReferencedSOPInstanceUID, item.sopInstanceUid);
            list.Append(data::NewUsElement(tag::FailureReason, reason));
            CloseContainer(list, 0xE00D);
        }
        CloseContainer(list, 0xE0DD);
    }
    if (!report.committed.empty()) {
        OpenContainer(list, tag::ReferencedSOPSequence);
        for (const CommitItem& item : report.committed) {
            OpenContainer(list, tag::Item);
            AppendUid(list, tag::ReferencedSOPClassUID, item.sopClassUid);
            AppendUid(list, tag::ReferencedSOPInstanceUID, item.sopInstanceUid);
            CloseContainer(list, 0xE00D);
        }
        CloseContainer(list, 0xE0DD);
    }
    return list;
}

StoredClassOf StoredClassesIn(const fs::path& directory, const std::vector<CommitItem>& items) {
    std::set<std::string> wanted;
    for (const CommitItem& item : items)
        wanted.insert(item.sopInstanceUid + ".dcm");
    auto classes = std::make_shared<std::map<std::string, std::string>>();
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(directory, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (wanted.count(name) == 0 || !it->is_regular_file(ec)) continue;
        data::DecoderState state;
        ElementList meta, dataSet;
        if (!data::ReadPart10File(state, it->path(), meta, dataSet)) continue;
        std::string sopClass = data::GetTopLevelString(dataSet, tag::SOPClassUID);
        if (sopClass.empty()) sopClass = data::GetTagString(meta, 0x0002, 0x0002);
        (*classes)[name.substr(0, name.size() - 4)] = sopClass;
    }
    return [classes](const std::string& uid) -> std::optional<std::string> {
        const auto found = classes->find(uid);
        if (found == classes->end()) return std::nullopt;
        return found->second;
    };
}

net::DimseHandler CommitHandler(CommitSetup given) {
    auto state = std::make_shared<CommitState>(std::move(given));
    return [state](Association& assoc, net::DimseMessage& message) {
        std::string instance;
        if (const DicomElement* e = data::FindTag(message.command, tag::RequestedSOPInstanceUID))
            instance = net::UidText(*e);
        const uint16_t action = data::GetTagUS(message.command, tag::ActionTypeID);
        auto answer = [&](uint16_t status, std::string_view comment) {
            net::CommandSet response =
                status == net::STATUS_SUCCESS
                    ? net::NServiceResponse(net::N_ACTION_RSP, STORAGE_COMMITMENT_CLASS, instance,
                                            message.MessageId(), status, false, action)
                    : net::NServiceFailure(net::N_ACTION_RSP, STORAGE_COMMITMENT_CLASS, instance,
                                           message.MessageId(), status, comment, {}, action);
            return net::SendMessageOnContext(assoc, response.List(), message.contextId,
                                             net::MessageKind::Command);
        };
        auto refuse = [&](uint16_t status, std::string_view comment) {
            return answer(status, comment) ? net::HandlerResult::Continue : net::HandlerResult::End;
        };
        if (instance != STORAGE_COMMITMENT_INSTANCE)
            return refuse(COMMIT_NO_SUCH_INSTANCE, "not the well-known commitment instance");
        if (action != ACTION_REQUEST_COMMIT)
            return refuse(STATUS_NO_SUCH_ACTION, "only action 1 (request commitment) is known");
        const auto syntax = net::AcceptedSyntaxOf(
            assoc, message.hasDataSet ? message.dataSetContextId : message.contextId);
        const data::DataSetEncoding encoding = data::EncodingOf(syntax ? *syntax : "");
        const data::DecoderState decoder{static_cast<uint8_t>(encoding.explicitVr ? 1 : 0),
                                         static_cast<uint8_t>(encoding.bigEndian ? 1 : 0), 0};
        CommitRequest request;
        std::string why = "no data set with the request";
        if (!message.hasDataSet || !ReadCommitRequest(message.dataSet, decoder, request, why))
            return refuse(STATUS_INVALID_ARGUMENT_VALUE, why);
        const CommitSetup& setup = state->setup;
        const std::string requestor = Trimmed(assoc.request.callingAeTitle);
        const Node* node = FindNode(setup.nodes, requestor);
        if (setup.newAssociation && !node)
            return refuse(COMMIT_PROCESSING_FAILURE, "no node " + requestor + " for the report");
        {
            std::lock_guard lock(state->mutex);
            if (!state->transactions.insert(request.transactionUid).second)
                return refuse(COMMIT_PROCESSING_FAILURE, "Transaction UID already in use");
        }
        if (!answer(net::STATUS_SUCCESS, {})) return net::HandlerResult::End;

        const CommitmentReport report =
            JudgeStored(request, StoredClassesIn(setup.storageDirectory, request.items));
        if (!setup.newAssociation) {
            net::CommandSet event =
                net::NEventReportRequest(STORAGE_COMMITMENT_CLASS, STORAGE_COMMITMENT_INSTANCE,
                                         net::NextMessageID(), report.eventTypeId, true);
            ElementList dataSet = CommitReportDataSet(report);
            const net::NResponse response = net::NExchange(assoc, event, STORAGE_COMMITMENT_CLASS,
                                                           &dataSet, net::N_EVENT_REPORT_RSP);
            // Answered in any way, the report arrived.
            if (response.outcome >= 0) return net::HandlerResult::Continue;
        }
        // The requestor's association has ended, or is not to be used: a new one.
        if (!node) {
            net::WriteLogLine("storage commitment report for transaction " + report.transactionUid +
                              " not sent: the association ended and " + "the nodes file names no " +
                              requestor);
        } else {
            std::lock_guard lock(state->mutex);
            auto& reports = state->reports;
            std::erase_if(reports, [](const std::future<void>& f) {
                return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
            });
            reports.push_back(std::async(std::launch::async, ReportOnNewAssociation, *node,
                                         Trimmed(assoc.request.calledAeTitle), report,
                                         setup.outgoing));
        }
        return assoc.stream.Connected() && !assoc.peerReleased ? net::HandlerResult::Continue
                                                               : net::HandlerResult::End;
    };
}

}  // namespace dicomlib::store
