// C-MOVE and C-GET served from the provider's own index and files. The selection and the
// responses are pure; the handlers run the sub-operations through the storage requestor's
// own pieces (the plan of contexts, the choice of context per file, the conversion on send).
#include "store/RetrieveProvider.h"

#include <algorithm>
#include <memory>
#include <set>
#include <span>
#include <tuple>
#include <utility>

#include "data/Datadec.h"
#include "data/Part10File.h"
#include "data/Tags.h"
#include "data/TransferSyntax.h"
#include "net/Association.h"
#include "net/CommandSet.h"
#include "net/ConnectionSettings.h"
#include "net/Dimse.h"
#include "net/SocketReadable.h"
#include "services/Storage.h"
#include "store/IndexFiles.h"
#include "store/StoreScp.h"

namespace dicomlib::store {
namespace {

namespace fs = std::filesystem;

constexpr Tag FailedSOPInstanceUIDList{0x0008, 0x0058};
constexpr uint16_t STATUS_UNABLE_TO_PERFORM_SUB_OPERATIONS = 0xA702;

// The values of a key, split at backslashes, blanks trimmed; empty ones dropped.
std::vector<std::string> KeyValues(const ElementList& identifier, Tag tag) {
    std::vector<std::string> values;
    const std::string text = data::GetTagString(identifier, tag);
    std::size_t from = 0;
    while (from <= text.size()) {
        std::size_t end = text.find('\\', from);
        if (end == std::string::npos) end = text.size();
        std::string value = text.substr(from, end - from);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\0'))
            value.pop_back();
        while (!value.empty() && value.front() == ' ')
            value.erase(value.begin());
        if (!value.empty()) values.push_back(std::move(value));
        from = end + 1;
    }
    return values;
}

// Whether a value passes a key: a key not given passes everything.
bool Passes(const std::vector<std::string>& key, std::string_view value) {
    return key.empty() || std::find(key.begin(), key.end(), value) != key.end();
}

void AppendText(ElementList& list, Tag tag, const char* vr, std::string text) {
    if (text.size() % 2 != 0) text += vr[0] == 'U' && vr[1] == 'I' ? '\0' : ' ';
    list.Append(data::NewTextElement(tag, vr, text));
}

bool IsWarning(int32_t status) {
    return status >= 0 && (status & 0xF000) == 0xB000;
}

// Whether the elements read hold the data set's SOP Class UID whole: an element after it was
// read too.
bool PastSopClass(const ElementList& header) {
    if (header.Size() == 0) return false;
    const DicomElement& e = *header[header.Size() - 1];
    return e.group > 0x0008 || (e.group == 0x0008 && e.element > tag::SOPClassUID.element);
}

// The transfer syntax and SOP class a stored file holds, from its first bytes (the meta group
// and the data set's first elements are all that planning needs; the whole file is read once,
// when it is sent), or from all the elements before its pixel data when its class lies further
// in; none when it cannot be read as a Part 10 file.
std::optional<services::ScannedFile> ScanStored(const StoredInstance& instance) {
    constexpr uint64_t HEAD_BYTES = 16 * 1024;
    const auto file = data::ValueFile::Open(instance.file);
    if (!file) return std::nullopt;
    std::vector<uint8_t> head(static_cast<std::size_t>(std::min(HEAD_BYTES, file->Size())));
    ElementList header;
    if (!file->Read(0, head) || !data::ReadPart10Header(head, header)) return std::nullopt;
    if (head.size() < file->Size() && !PastSopClass(header)) {
        const auto bytes = data::FileBytes::Read(*file);
        header.Clear();
        if (!bytes || !data::ReadPart10Header(bytes->Span(), header)) return std::nullopt;
    }
    services::ScannedFile scanned;
    scanned.syntax = data::GetTagString(header, tag::TransferSyntaxUID);
    scanned.sopClass = data::GetTagString(header, tag::SOPClassUID);
    if (scanned.sopClass.empty()) scanned.sopClass = instance.sopClassUid;
    if (scanned.syntax.empty() || scanned.sopClass.empty()) return std::nullopt;
    return scanned;
}

// Whether the requestor proposed, and was granted, the SCP role for the class.
bool ScpRoleGranted(const Association& assoc, std::string_view sopClass) {
    for (const auto& role : assoc.answer.userInformation.roleSelections)
        if (role.sopClassUid == sopClass) return role.scpRole != 0;
    return false;
}

// One retrieve being served: its counts, its responses and the C-CANCEL-RQ that may stop it.
class Retrieve {
  public:
    Retrieve(Association& assoc, const net::DimseMessage& request, uint16_t responseField,
             uint32_t pending)
        : assoc_(assoc), request_(request), responseField_(responseField), pending_(pending) {}

    // The final response alone, for a retrieve that does not start.
    net::HandlerResult Refuse(uint16_t status, std::string_view why) {
        return Send(RetrieveResponse(request_.command, responseField_, status, counts_, false,
                                     false, why))
                   ? net::HandlerResult::Continue
                   : net::HandlerResult::End;
    }

    void Start(std::size_t count) { counts_.remaining = static_cast<uint32_t>(count); }

    // Counts one sub-operation, sends the pending response, and looks for a cancel. False when
    // the retrieve has to stop: cancelled, or the association is gone.
    bool Done(const std::string& sopInstanceUid, int32_t status) {
        --counts_.remaining;
        if (status == net::STATUS_SUCCESS) {
            ++counts_.completed;
        } else if (IsWarning(status)) {
            ++counts_.warning;
        } else {
            ++counts_.failed;
            failed_.push_back(sopInstanceUid);
        }
        if (counts_.remaining > 0 && !SendPending()) return false;
        LookForCancel();
        return !cancelled_ && !lost_;
    }

    // Counts the rest as failed: they cannot be sent.
    void FailRest(const std::vector<StoredInstance>& instances, std::size_t from) {
        for (std::size_t i = from; i < instances.size(); ++i) {
            failed_.push_back(instances[i].sopInstanceUid);
            ++counts_.failed;
            --counts_.remaining;
        }
    }

    // The final response: cancelled, the status given, or the outcome of the counts.
    net::HandlerResult Finish(std::optional<uint16_t> status = std::nullopt,
                              std::string_view why = {}) {
        if (lost_) return net::HandlerResult::End;
        for (uint32_t i = 0; i < pending_; ++i)
            if (!SendPending()) return net::HandlerResult::End;
        // A cancel that comes once every sub-operation is done changes nothing.
        const uint16_t final = cancelled_ && counts_.remaining > 0 ? net::STATUS_CANCEL
                               : status                            ? *status
                                                                   : FinalRetrieveStatus(counts_);
        const bool identifier = !failed_.empty();
        if (!Send(RetrieveResponse(request_.command, responseField_, final, counts_, true,
                                   identifier, why)))
            return net::HandlerResult::End;
        if (identifier) {
            ElementList list = FailedInstancesIdentifier(failed_);
            if (!net::SendMessageOnContext(assoc_, list, request_.contextId,
                                           net::MessageKind::DataSet))
                return net::HandlerResult::End;
        }
        return net::HandlerResult::Continue;
    }

    bool Cancelled() const { return cancelled_; }
    bool Lost() const { return lost_; }
    void Cancel() { cancelled_ = true; }
    uint16_t MessageId() const { return request_.MessageId(); }

  private:
    bool Send(ElementList response) {
        return net::SendMessageOnContext(assoc_, response, request_.contextId,
                                         net::MessageKind::Command);
    }

    bool SendPending() {
        return Send(RetrieveResponse(request_.command, responseField_, net::STATUS_PENDING, counts_,
                                     true, false));
    }

    // What the requestor sent meanwhile, without waiting for more: a C-CANCEL-RQ of this
    // retrieve stops it; another request is answered as not served (one at a time).
    void LookForCancel() {
        while (assoc_.stream.Connected() &&
               (assoc_.stream.BufferedBytes() > 0 || net::Readable(assoc_.stream.Socket()))) {
            auto message = net::ReceiveDimseMessage(assoc_);
            if (!message) {
                lost_ = true;
                return;
            }
            if (message->commandField == net::C_CANCEL_RQ) {
                if (message->MessageIdBeingRespondedTo() == request_.MessageId()) cancelled_ = true;
                continue;
            }
            if (net::Dispatch(assoc_, net::DimseHandlers{}, *message) == net::HandlerResult::End) {
                lost_ = true;
                return;
            }
        }
    }

    Association& assoc_;
    const net::DimseMessage& request_;
    uint16_t responseField_;
    uint32_t pending_;
    SubOperations counts_;
    std::vector<std::string> failed_;
    bool cancelled_ = false;
    bool lost_ = false;
};

// Sends one instance on out in its own syntax where out took it, else converted to the
// syntax it took, for originator when a C-MOVE asked for it; the C-STORE status, or a
// negative code.
int32_t SendInstance(Association& out, const StoredInstance& instance,
                     const services::ScannedFile& scanned,
                     const services::MoveOriginator* originator) {
    const uint8_t context = services::ContextForFile(out, scanned.sopClass, scanned.syntax, {});
    if (context == 0) return services::STORE_CONTEXT_REFUSED;
    ElementList dataSet;
    std::string syntax;
    if (!data::LoadDataSetFile(instance.file, dataSet, syntax)) return services::STORE_DAMAGED_FILE;
    const int32_t sent =
        services::StoreDataSetOn(out, context, dataSet, scanned.sopClass, syntax, true, originator);
    return sent != 0 ? sent : services::ReadStoreRSP(out);
}

// The selection of the request's identifier, the retrieve refused when it fails.
std::optional<Selection> Select(const StorageTarget& target, const net::DimseMessage& message,
                                bool patientRoot) {
    if (!message.hasDataSet)
        return Selection{
            net::STATUS_DATA_SET_DOES_NOT_MATCH, "the request carries no identifier", {}};
    return SelectInstances(target.storageDirectory, target.indexRoot, patientRoot, message.dataSet);
}

std::string UnpaddedTitle(std::string title) {
    while (!title.empty() && (title.back() == ' ' || title.back() == '\0'))
        title.pop_back();
    return title;
}

// The title the requestor called us by: our calling title towards others.
std::string OurTitle(const Association& assoc) {
    return UnpaddedTitle(assoc.request.calledAeTitle);
}

}  // namespace

Selection SelectInstances(const std::string& storageDirectory, const fs::path& indexRoot,
                          bool patientRoot, const ElementList& identifier) {
    Selection selection;
    const std::string level = data::GetTagString(identifier, tag::QueryRetrieveLevel);
    Tag unique = tag::SOPInstanceUID;
    if (level == "PATIENT" && patientRoot) {
        unique = tag::PatientID;
    } else if (level == "STUDY") {
        unique = tag::StudyInstanceUID;
    } else if (level == "SERIES") {
        unique = tag::SeriesInstanceUID;
    } else if (level != "IMAGE") {
        selection.status = net::STATUS_DATA_SET_DOES_NOT_MATCH;
        selection.why = "Query/Retrieve Level \"" + level + "\" is not one of " +
                        (patientRoot ? "PATIENT, " : "") + "STUDY, SERIES and IMAGE";
        return selection;
    }
    const auto patients = KeyValues(identifier, tag::PatientID);
    const auto studies = KeyValues(identifier, tag::StudyInstanceUID);
    const auto series = KeyValues(identifier, tag::SeriesInstanceUID);
    const auto images = KeyValues(identifier, tag::SOPInstanceUID);
    if (KeyValues(identifier, unique).empty()) {
        selection.status = net::STATUS_DATA_SET_DOES_NOT_MATCH;
        selection.why = "the identifier has no " +
                        std::string(unique == tag::PatientID           ? "Patient ID"
                                    : unique == tag::StudyInstanceUID  ? "Study Instance UID"
                                    : unique == tag::SeriesInstanceUID ? "Series Instance UID"
                                                                       : "SOP Instance UID") +
                        " at " + level + " level";
        return selection;
    }

    // Index values name files: only UIDs that may become paths are followed.
    std::set<std::string> seen;
    const auto studyLines =
        ReadIndexFile(IndexLevel::Study, indexRoot / IndexFileName(IndexLevel::Study));
    for (const IndexEntry& study : studyLines ? *studyLines : std::vector<IndexEntry>{}) {
        const std::string studyUid(IndexValue(IndexLevel::Study, study, tag::StudyInstanceUID));
        if (!IsValidUid(studyUid) || !Passes(studies, studyUid) ||
            !Passes(patients, IndexValue(IndexLevel::Study, study, tag::PatientID)) ||
            !seen.insert(studyUid).second)
            continue;
        const fs::path studyDir = indexRoot / studyUid;
        const auto seriesLines =
            ReadIndexFile(IndexLevel::Series, studyDir / IndexFileName(IndexLevel::Series));
        for (const IndexEntry& one : seriesLines ? *seriesLines : std::vector<IndexEntry>{}) {
            const std::string seriesUid(
                IndexValue(IndexLevel::Series, one, tag::SeriesInstanceUID));
            if (!IsValidUid(seriesUid) || !Passes(series, seriesUid) ||
                !seen.insert(studyUid + "/" + seriesUid).second)
                continue;
            const auto imageLines = ReadIndexFile(
                IndexLevel::Image, studyDir / seriesUid / IndexFileName(IndexLevel::Image));
            for (const IndexEntry& image : imageLines ? *imageLines : std::vector<IndexEntry>{}) {
                StoredInstance instance;
                instance.sopInstanceUid =
                    std::string(IndexValue(IndexLevel::Image, image, tag::SOPInstanceUID));
                instance.sopClassUid =
                    std::string(IndexValue(IndexLevel::Image, image, tag::SOPClassUID));
                if (!IsValidUid(instance.sopInstanceUid) ||
                    !Passes(images, instance.sopInstanceUid) ||
                    !seen.insert(instance.sopInstanceUid).second)
                    continue;
                instance.file = storageDirectory + studyUid + "/" + seriesUid + "/" +
                                instance.sopInstanceUid + ".dcm";
                selection.instances.push_back(std::move(instance));
            }
        }
    }
    return selection;
}

ElementList RetrieveResponse(const ElementList& request, uint16_t responseField, uint16_t status,
                             const SubOperations& counts, bool withCounts, bool dataSet,
                             std::string_view errorComment) {
    net::CommandSet response;
    const std::string sopClass = data::GetTagString(request, tag::AffectedSOPClassUID);
    if (!sopClass.empty()) response.AppendUid(tag::AffectedSOPClassUID, sopClass);
    response.AppendUs(tag::CommandField, responseField)
        .AppendUs(tag::MessageIDBeingRespondedTo, data::GetTagUS(request, tag::MessageID))
        .AppendUs(tag::CommandDataSetType, dataSet ? net::DATA_SET_PRESENT : net::NO_DATA_SET)
        .AppendUs(tag::Status, status);
    if (!errorComment.empty()) {
        std::string comment(errorComment.substr(0, 64));
        if (comment.size() % 2 != 0) comment += ' ';
        response.AppendBytes(
            tag::ErrorComment, "LO",
            std::span(reinterpret_cast<const uint8_t*>(comment.data()), comment.size()));
    }
    if (withCounts) {
        // The remaining count belongs to the responses of a retrieve still under way.
        if (net::IsPending(status) || status == net::STATUS_CANCEL)
            response.AppendUs(tag::NumberOfRemainingSuboperations,
                              static_cast<uint16_t>(std::min<uint32_t>(counts.remaining, 0xFFFF)));
        for (const auto& [t, n] : {std::pair{tag::NumberOfCompletedSuboperations, counts.completed},
                                   std::pair{tag::NumberOfFailedSuboperations, counts.failed},
                                   std::pair{tag::NumberOfWarningSuboperations, counts.warning}})
            response.AppendUs(t, static_cast<uint16_t>(std::min<uint32_t>(n, 0xFFFF)));
    }
    return std::move(response.List());
}

uint16_t FinalRetrieveStatus(const SubOperations& counts) {
    return counts.failed > 0 || counts.warning > 0 ? net::STATUS_SUB_OPERATIONS_FAILED
                                                   : net::STATUS_SUCCESS;
}

ElementList FailedInstancesIdentifier(const std::vector<std::string>& failedUids) {
    std::string list;
    for (const std::string& uid : failedUids)
        list += (list.empty() ? "" : "\\") + uid;
    ElementList identifier;
    AppendText(identifier, FailedSOPInstanceUIDList, "UI", list);
    return identifier;
}

net::DimseHandler MoveHandler(StorageTarget target, std::vector<Node> nodes, uint32_t pending,
                              net::ConnectionSettings listener) {
    return [target = std::move(target), nodes = std::move(nodes), pending,
            listener = std::move(listener)](Association& assoc, net::DimseMessage& message) {
        Retrieve retrieve(assoc, message, net::C_MOVE_RSP, pending);
        const std::string destination = data::GetTagString(message.command, tag::MoveDestination);
        const Node* node = FindNode(nodes, destination);
        if (node == nullptr)
            return retrieve.Refuse(net::STATUS_MOVE_DESTINATION_UNKNOWN,
                                   "move destination " + destination + " is not in the nodes file");
        const auto selection = Select(target, message, message.SopClass() == PATIENT_ROOT_MOVE);
        if (selection->status != 0) return retrieve.Refuse(selection->status, selection->why);
        const auto& instances = selection->instances;
        if (instances.empty()) return retrieve.Finish();

        std::vector<services::ScannedFile> scanned;
        for (const StoredInstance& instance : instances) {
            auto one = ScanStored(instance);
            if (!one) one = services::ScannedFile{services::STORE_DAMAGED_FILE, {}, {}};
            scanned.push_back(std::move(*one));
        }
        retrieve.Start(instances.size());
        const auto settings =
            net::OutgoingSettings(listener, node->host, node->port, OurTitle(assoc), node->aeTitle);
        // Each sub-operation names the requestor and its C-MOVE-RQ, so that the destination
        // can tell whose retrieve an instance belongs to.
        const services::MoveOriginator originator{UnpaddedTitle(assoc.request.callingAeTitle),
                                                  message.MessageId()};
        bool anyOpened = false;
        std::string why;
        for (const services::SeriesAssociation& planned :
             services::PlanSeries(scanned, std::nullopt)) {
            net::AssociationPtr out;
            if (!planned.proposals.empty()) out = net::Open(settings, {planned.proposals});
            const bool opened = out && out->opened.outcome == net::OpenOutcome::Accepted;
            if (!opened && out && why.empty()) why = net::ExplainOpenFailure(*out);
            anyOpened = anyOpened || opened;
            for (std::size_t i : planned.entries) {
                int32_t status = scanned[i].outcome;
                if (status == 0)
                    status = opened && out->stream.Connected()
                                 ? SendInstance(*out, instances[i], scanned[i], &originator)
                                 : services::STORE_NO_CONNECTION;
                if (!retrieve.Done(instances[i].sopInstanceUid, status)) return retrieve.Finish();
            }
        }
        if (!anyOpened)
            return retrieve.Finish(STATUS_UNABLE_TO_PERFORM_SUB_OPERATIONS,
                                   "cannot open an association to " + node->aeTitle + ": " + why);
        return retrieve.Finish();
    };
}

net::DimseHandler GetHandler(StorageTarget target, uint32_t pending) {
    return [target = std::move(target), pending](Association& assoc, net::DimseMessage& message) {
        Retrieve retrieve(assoc, message, net::C_GET_RSP, pending);
        const auto selection =
            Select(target, message, message.SopClass() == PATIENT_ROOT_GET_CLASS);
        if (selection->status != 0) return retrieve.Refuse(selection->status, selection->why);
        const auto& instances = selection->instances;
        retrieve.Start(instances.size());
        // A C-CANCEL-RQ that comes while a C-STORE-RSP is awaited stops the retrieve too.
        net::DimseHandlers during;
        during.On(net::C_CANCEL_RQ, [&retrieve](Association&, net::DimseMessage& cancel) {
            if (cancel.MessageIdBeingRespondedTo() == retrieve.MessageId()) retrieve.Cancel();
            return net::HandlerResult::Continue;
        });
        net::DimseHandlers saved = std::exchange(assoc.handlers, during);
        for (const StoredInstance& instance : instances) {
            int32_t status = services::STORE_CONTEXT_REFUSED;
            const auto scanned = ScanStored(instance);
            if (!scanned)
                status = services::STORE_DAMAGED_FILE;
            else if (ScpRoleGranted(assoc, scanned->sopClass))
                status = SendInstance(assoc, instance, *scanned, nullptr);
            if (!assoc.stream.Connected() || !retrieve.Done(instance.sopInstanceUid, status)) break;
        }
        assoc.handlers = std::move(saved);
        if (!assoc.stream.Connected()) return net::HandlerResult::End;
        return retrieve.Finish();
    };
}

void AddRetrieveRows(ProviderProfile& profile, const StorageTarget& target,
                     const ProviderOptions& options) {
    if (!options.query) return;
    for (ProfileRow& row : profile.rows)
        if (row.commandField == net::C_STORE_RQ) row.role = ProviderRole::Both;
    const net::DimseHandler move =
        MoveHandler(target, options.nodes, options.pending, options.listener);
    const net::DimseHandler get = GetHandler(target, options.pending);
    for (const auto& [uid, field, handler] :
         {std::tuple{PATIENT_ROOT_MOVE, net::C_MOVE_RQ, move},
          std::tuple{STUDY_ROOT_MOVE_CLASS, net::C_MOVE_RQ, move},
          std::tuple{PATIENT_ROOT_GET_CLASS, net::C_GET_RQ, get},
          std::tuple{STUDY_ROOT_GET_CLASS, net::C_GET_RQ, get}}) {
        ProfileRow* row = nullptr;
        for (ProfileRow& existing : profile.rows)
            if (existing.abstractSyntax == uid) row = &existing;
        if (row == nullptr) {
            row = &profile.rows.emplace_back();
            row->abstractSyntax = uid;
            row->syntaxPreference = {uid::ExplicitVRLittleEndian, uid::ImplicitVRLittleEndian};
        }
        row->commandField = field;
        row->handler = handler;
    }
}

}  // namespace dicomlib::store
