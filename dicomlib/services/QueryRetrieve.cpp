#include "services/QueryRetrieve.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "data/Tags.h"
#include "data/TransferSyntax.h"
#include "net/AssociationWords.h"
#include "net/Dimse.h"
#include "net/Dispatcher.h"
#include "net/ErrorComment.h"
#include "net/Pdu.h"
#include "net/TraceLog.h"
#include "services/Storage.h"

namespace dicomlib::services {

using net::C_FIND_RQ;
using net::C_FIND_RSP;
using net::C_GET_RQ;
using net::C_GET_RSP;
using net::C_MOVE_RQ;
using net::C_MOVE_RSP;
using net::IsPending;
using net::STATUS_PENDING;

namespace {

std::string RequestName(uint16_t responseField) {
    return std::string(net::CommandFieldName(static_cast<uint16_t>(responseField & 0x7FFF)));
}
std::string ResponseName(uint16_t responseField) {
    return std::string(net::CommandFieldName(responseField));
}

// The trace log's form of an outcome: "0xA700 (refused: out of resources)", or our failure's
// words.
std::string TraceWords(uint16_t responseField, int32_t outcome) {
    if (outcome < 0) return QueryFailureText(outcome);
    const auto status = static_cast<uint16_t>(outcome);
    char code[12];
    std::snprintf(code, sizeof code, "0x%04X", static_cast<unsigned>(status));
    return std::string(code) + " (" + std::string(net::StatusMeaning(status, responseField)) + ")";
}

int32_t Refuse(uint16_t responseField, std::string_view why) {
    LogServiceLine(net::LOG_ASSOCIATION,
                   RequestName(responseField) + " refused: " + std::string(why));
    return QUERY_REFUSED;
}

// The key record of the level at the head of the list, or why there is none.
int32_t CheckKey(const RecordList& list, std::string_view level, uint16_t responseField) {
    const auto kind = QueryLevelKind(level);
    if (!kind) return Refuse(responseField, "unknown level \"" + std::string(level) + "\"");
    if (list.Size() == 0) return Refuse(responseField, "no key record in the list");
    if (list.Kind() != kind)
        return Refuse(responseField,
                      std::string("the key record is not a ") + KindName(*kind) + " record");
    return 0;
}

// Sends a request and its identifier, built from the key record, which is freed and leaves the
// list before anything is sent.
int32_t SendQuery(Association& assoc, RecordList& list, std::string_view sopClassUid,
                  std::string_view level, uint16_t responseField, std::string_view destination = {},
                  std::string_view patientId = {}) {
    if (const int32_t refused = CheckKey(list, level, responseField); refused != 0) return refused;
    ElementList identifier = QueryIdentifier(*QueryLevelKind(level), list[0]);
    list.FreeFront();
    if (responseField == C_GET_RSP) {
        // A retrieve names what it wants; a zero-length key matches everything, and some
        // providers then send every study they hold.
        ElementList named;
        // A Patient Root retrieve below the patient names its patient too, in tag order.
        const DicomElement* given = data::FindTag(identifier, tag::PatientID);
        bool patientDue = !patientId.empty() && (given == nullptr || given->length == 0);
        for (const DicomElement* e : identifier) {
            if (patientDue &&
                (e->group > tag::PatientID.group ||
                 (e->group == tag::PatientID.group && e->element > tag::PatientID.element))) {
                AddQueryKey(named, tag::PatientID, "LO", patientId);
                patientDue = false;
            }
            if (e->length != 0) named.Append(data::CopyElement(*e));
        }
        if (patientDue) AddQueryKey(named, tag::PatientID, "LO", patientId);
        identifier = std::move(named);
    }

    const uint16_t messageId = net::NextMessageID();
    net::CommandSet command = responseField == C_MOVE_RSP
                                  ? MoveRequest(sopClassUid, messageId, destination)
                              : responseField == C_GET_RSP ? GetRequest(sopClassUid, messageId)
                                                           : FindRequest(sopClassUid, messageId);
    assoc.pendingResponses = 0;
    assoc.queryMessageId = messageId;
    assoc.querySopClass = sopClassUid;
    if (!net::SendMessage(assoc, command.List(), sopClassUid, net::MessageKind::Command) ||
        !net::SendMessage(assoc, identifier, sopClassUid, net::MessageKind::DataSet)) {
        LogServiceLine(net::LOG_ASSOCIATION, RequestName(responseField) + " could not be sent");
        return QUERY_SEND_FAILED;
    }
    return 0;
}

int32_t NoResponse(uint16_t responseField, std::string_view why) {
    LogServiceLine(net::LOG_ASSOCIATION, ResponseName(responseField) + ": " +
                                             TraceWords(responseField, QUERY_NO_RESPONSE) + " (" +
                                             std::string(why) + ")");
    return QUERY_NO_RESPONSE;
}

int32_t OptionalUs(const ElementList& command, Tag tag) {
    const DicomElement* e = data::FindTag(command, tag);
    if (e == nullptr || e->length < 2 || e->length == UNDEFINED_LENGTH) return -1;
    return data::GetTagUS(command, tag);
}

}  // namespace

const char* QueryFailureText(int32_t outcome) {
    switch (outcome) {
        case QUERY_NO_RESPONSE:
            return "no usable response: the connection ended, the peer released or aborted, or "
                   "it answered with another message";
        case QUERY_NO_CONNECTION:
            return "cannot connect, or no answer to the association request";
        case QUERY_REJECTED:
            return "association rejected";
        case QUERY_CONTEXT_REFUSED:
            return "no presentation context accepted";
        case QUERY_SEND_FAILED:
            return "the connection failed while sending";
        case QUERY_INTERNAL_ERROR:
            return "internal failure (see the trace log)";
        case QUERY_REFUSED:
            return "refused by the library: a null argument, an empty list, an unknown level or "
                   "records of another kind; nothing was sent";
        case QUERY_TOO_MANY_PENDING:
            return "more than 100000 pending responses: the association was aborted";
        case QUERY_ASSOCIATION_ABORTED:
            return "the peer aborted the association request";
        case QUERY_MALFORMED_ANSWER:
            return "no sound answer to the association request";
        default:
            return "failure of the library";
    }
}

std::string QueryOutcomeText(uint16_t responseField, int32_t outcome) {
    if (outcome < 0) return QueryFailureText(outcome);
    if (outcome > 0xFFFF) return "unknown outcome " + std::to_string(outcome);
    return net::StatusText(static_cast<uint16_t>(outcome), responseField);
}

namespace {
// A C-FIND-RQ or C-GET-RQ: the two differ only in their command field.
net::CommandSet IdentifierRequest(uint16_t commandField, std::string_view sopClassUid,
                                  uint16_t messageId) {
    net::CommandSet command;
    command.AppendUid(tag::AffectedSOPClassUID, sopClassUid)
        .AppendUs(tag::CommandField, commandField)
        .AppendUs(tag::MessageID, messageId)
        .AppendUs(tag::Priority, net::PRIORITY_MEDIUM)
        .AppendUs(tag::CommandDataSetType, net::DATA_SET_PRESENT);
    return command;
}
}  // namespace

net::CommandSet FindRequest(std::string_view sopClassUid, uint16_t messageId) {
    return IdentifierRequest(C_FIND_RQ, sopClassUid, messageId);
}

net::CommandSet GetRequest(std::string_view sopClassUid, uint16_t messageId) {
    return IdentifierRequest(C_GET_RQ, sopClassUid, messageId);
}

net::CommandSet MoveRequest(std::string_view sopClassUid, uint16_t messageId,
                            std::string_view destinationAeTitle) {
    std::string destination(destinationAeTitle);
    if (destination.size() % 2 != 0) destination += ' ';
    net::CommandSet command;
    command.AppendUid(tag::AffectedSOPClassUID, sopClassUid)
        .AppendUs(tag::CommandField, C_MOVE_RQ)
        .AppendUs(tag::MessageID, messageId)
        .AppendBytes(tag::MoveDestination, "AE",
                     {reinterpret_cast<const uint8_t*>(destination.data()), destination.size()})
        .AppendUs(tag::Priority, net::PRIORITY_MEDIUM)
        .AppendUs(tag::CommandDataSetType, net::DATA_SET_PRESENT);
    return command;
}

void AddQueryKey(ElementList& identifier, Tag tag, const char* vr, std::string_view text) {
    std::string value(text);
    if (value.size() % 2 != 0) value += (vr[0] == 'U' && vr[1] == 'I') ? '\0' : ' ';
    identifier.Append(data::NewTextElement(tag, vr, value));
}

ElementList QueryIdentifier(RecordType level, const void* key) {
    struct Key {
        Tag tag;
        const char* vr;
        std::string_view text;
    };
    const auto fields = FieldsOf(level);
    std::vector<Key> keys;
    keys.reserve(fields.size() + 1);
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (fields[i].inIdentifier)
            keys.push_back({fields[i].tag, fields[i].vr, FieldText(level, key, i)});
    }
    keys.push_back({tag::QueryRetrieveLevel, "CS", KindName(level)});
    // Keys written in another set than the default say which.
    const std::string characterSet = CharacterSetOf(key, 0);
    if (!characterSet.empty()) keys.push_back({tag::SpecificCharacterSet, "CS", characterSet});
    std::sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) {
        return a.tag.group != b.tag.group ? a.tag.group < b.tag.group
                                          : a.tag.element < b.tag.element;
    });
    ElementList identifier;
    identifier.Reserve(keys.size());
    for (const Key& k : keys)
        AddQueryKey(identifier, k.tag, k.vr, k.text);
    return identifier;
}

bool FlatNesting::Take(const DicomElement& e) {
    const Tag t = TagOf(e);
    if (t == tag::Item) {
        if (e.length == UNDEFINED_LENGTH) open_.push_back({t, true});
        return false;
    }
    if (t == tag::ItemDelimitationItem) {
        if (!open_.empty() && open_.back().item) open_.pop_back();
        return false;
    }
    if (t == tag::SequenceDelimitationItem) {
        // Closes the innermost sequence, with an item left open inside it.
        const auto sequence = std::find_if(open_.rbegin(), open_.rend(),
                                           [](const Level& level) { return !level.item; });
        if (sequence != open_.rend()) open_.erase(std::prev(sequence.base()), open_.end());
        return false;
    }
    if (e.length == UNDEFINED_LENGTH) {
        open_.push_back({t, false});
        return false;
    }
    return e.length != 0;
}

bool FlatNesting::InTopLevelSequence(Tag sequence) const {
    return open_.size() == 1 && !open_[0].item && open_[0].tag == sequence;
}

bool FlatNesting::InTopLevelItemOf(Tag sequence) const {
    return open_.size() == 2 && !open_[0].item && open_[0].tag == sequence && open_[1].item;
}

void FlatNesting::Truncate(std::size_t depth) {
    if (open_.size() > depth) open_.resize(depth);
}

std::string_view ValueText(const DicomElement& e) {
    if (!data::HasValue(e)) return {};
    std::string_view text(reinterpret_cast<const char*>(e.value), e.length);
    return text.substr(0, text.find('\0'));
}

void FillQueryRecord(RecordType level, void* record, const ElementList& identifier) {
    const auto fields = FieldsOf(level);
    FlatNesting nesting;
    for (const DicomElement* e : identifier) {
        if (!nesting.Take(*e) || nesting.Depth() != 0) continue;
        if (TagOf(*e) == tag::SpecificCharacterSet) SetCharacterSets(record, ValueText(*e));
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (fields[i].tag == TagOf(*e)) SetField(level, record, i, ValueText(*e));
        }
    }
}

data::DecoderState ReceivedSyntax(const Association& assoc) {
    const auto syntax = net::AcceptedSyntaxOf(assoc, assoc.dataTransfer.contextId);
    const data::DataSetEncoding encoding = data::EncodingOf(syntax ? *syntax : "");
    return {static_cast<uint8_t>(encoding.explicitVr ? 1 : 0),
            static_cast<uint8_t>(encoding.bigEndian ? 1 : 0), 0};
}

void LogServiceLine(int32_t minLevel, std::string_view text) {
    if (net::LogLevel() >= minLevel) net::AppendLogLine(net::LogFileName(), text);
}

int32_t ReadResponse(Association& assoc, uint16_t responseField, ElementList& command,
                     ElementList& identifier) {
    assoc.dataTransfer.awaitedResponse = responseField;
    // Requests the peer sends meanwhile are answered by the dispatcher; only a response ends the
    // wait.
    std::string why;
    auto message = net::AwaitResponse(assoc, std::nullopt, &why);
    if (!message) return NoResponse(responseField, why);
    if (message->commandField != responseField) {
        char what[64];
        std::snprintf(what, sizeof what, "a message with Command Field 0x%04X came",
                      message->commandField);
        return NoResponse(responseField, what);
    }
    command = std::move(message->command);
    identifier = std::move(message->dataSet);
    const int32_t status = data::GetTagUS(command, tag::Status);
    if (IsPending(status) && ++assoc.pendingResponses > MAX_PENDING_RESPONSES) {
        net::AbortAssoc(assoc);
        LogServiceLine(net::LOG_ASSOCIATION, ResponseName(responseField) + ": " +
                                                 TraceWords(responseField, QUERY_TOO_MANY_PENDING));
        return QUERY_TOO_MANY_PENDING;
    }
    if (!IsPending(status) && status != net::STATUS_SUCCESS)
        net::NoteStatusFailureOf(static_cast<uint16_t>(status), responseField, command);
    // Pending responses can run into the thousands: their lines come with the message dumps.
    LogServiceLine(IsPending(status) ? net::LOG_MESSAGES : net::LOG_ASSOCIATION,
                   ResponseName(responseField) + ": " + TraceWords(responseField, status));
    return status;
}

net::AssociationPtr OpenQuery(const net::ConnectionSettings& peer, std::string_view sopClassUid,
                              int32_t& outcome) {
    net::AssociationPtr assoc = net::Open(peer, net::ProposalFor(sopClassUid));
    outcome = assoc->opened.outcome == net::OpenOutcome::Accepted ? 0 : OpenFailureOutcome(*assoc);
    return assoc;
}

int32_t SendFind(Association& assoc, RecordList& list, std::string_view sopClassUid,
                 std::string_view level) {
    return SendQuery(assoc, list, sopClassUid, level, C_FIND_RSP);
}

bool WriteFindRQ(Association& assoc, RecordList& list, std::string_view sopClassUid,
                 std::string_view level) {
    return SendFind(assoc, list, sopClassUid, level) == 0;
}

int32_t ReadFindRSP(Association& assoc, RecordList& list, std::string_view level) {
    const auto kind = QueryLevelKind(level);
    if (!kind) return Refuse(C_FIND_RSP, "unknown level \"" + std::string(level) + "\"");
    if (!list.Holds(*kind))
        return Refuse(C_FIND_RSP, std::string("the list holds records of another kind than ") +
                                      KindName(*kind));
    ElementList command, identifier;
    const int32_t status = ReadResponse(assoc, C_FIND_RSP, command, identifier);
    if (status > 0) FillQueryRecord(*kind, list.AppendNew(*kind), identifier);
    return status;
}

int32_t FindSCUStatus(std::string_view host, std::string_view port, std::string_view callingAeTitle,
                      std::string_view calledAeTitle, std::string_view level, RecordList& list) {
    return FindSCUStatus(net::SettingsFor(std::string(host), std::string(port),
                                          std::string(callingAeTitle), std::string(calledAeTitle)),
                         level, list);
}

int32_t FindSCUStatus(const net::ConnectionSettings& peer, std::string_view level,
                      RecordList& list) {
    if (const int32_t refused = CheckKey(list, level, C_FIND_RSP); refused != 0) return refused;
    int32_t opened = 0;
    net::AssociationPtr assoc = OpenQuery(peer, STUDY_ROOT_FIND, opened);
    if (opened != 0) return opened;
    if (const int32_t sent = SendFind(*assoc, list, STUDY_ROOT_FIND, level); sent != 0) return sent;
    int32_t status = STATUS_PENDING;
    while (IsPending(status))
        status = ReadFindRSP(*assoc, list, level);
    return status;
}

int32_t SendMove(Association& assoc, RecordList& list, std::string_view sopClassUid,
                 std::string_view level, std::string_view destinationAeTitle) {
    return SendQuery(assoc, list, sopClassUid, level, C_MOVE_RSP, destinationAeTitle);
}

int32_t SendGet(Association& assoc, RecordList& list, std::string_view sopClassUid,
                std::string_view level, std::string_view patientId) {
    return SendQuery(assoc, list, sopClassUid, level, C_GET_RSP, {}, patientId);
}

bool WriteMoveRQ(Association& assoc, RecordList& list, std::string_view sopClassUid,
                 std::string_view level, std::string_view destinationAeTitle) {
    return SendMove(assoc, list, sopClassUid, level, destinationAeTitle) == 0;
}

MoveResponse ReadRetrieveResponse(Association& assoc, uint16_t responseField) {
    ElementList command, dataSet;  // a data set that comes along is not used
    MoveResponse response;
    response.status = ReadResponse(assoc, responseField, command, dataSet);
    if (response.status < 0) return response;
    response.remaining = OptionalUs(command, tag::NumberOfRemainingSuboperations);
    response.completed = OptionalUs(command, tag::NumberOfCompletedSuboperations);
    response.failed = OptionalUs(command, tag::NumberOfFailedSuboperations);
    response.warning = OptionalUs(command, tag::NumberOfWarningSuboperations);
    return response;
}

MoveResponse ReadMoveResponse(Association& assoc) {
    return ReadRetrieveResponse(assoc, C_MOVE_RSP);
}

int32_t MoveSCUStatus(std::string_view host, std::string_view port, std::string_view callingAeTitle,
                      std::string_view calledAeTitle, std::string_view destinationAeTitle,
                      std::string_view level, RecordList& list, const MoveProgressFn& progress) {
    return MoveSCUStatus(net::SettingsFor(std::string(host), std::string(port),
                                          std::string(callingAeTitle), std::string(calledAeTitle)),
                         destinationAeTitle, level, list, progress);
}

int32_t MoveSCUStatus(const net::ConnectionSettings& peer, std::string_view destinationAeTitle,
                      std::string_view level, RecordList& list, const MoveProgressFn& progress) {
    if (const int32_t refused = CheckKey(list, level, C_MOVE_RSP); refused != 0) return refused;
    int32_t opened = 0;
    net::AssociationPtr assoc = OpenQuery(peer, STUDY_ROOT_MOVE, opened);
    if (opened != 0) return opened;
    if (const int32_t sent = SendMove(*assoc, list, STUDY_ROOT_MOVE, level, destinationAeTitle);
        sent != 0)
        return sent;
    MoveResponse response;
    do {
        response = ReadMoveResponse(*assoc);
        if (progress && response.status >= 0) progress(response);
    } while (response.status == STATUS_PENDING);
    return response.status;
}

int32_t CancelQuery(Association& assoc, uint16_t responseField) {
    net::CommandSet cancel = net::CancelRequest(assoc.queryMessageId);
    if (!net::SendMessage(assoc, cancel.List(), assoc.querySopClass, net::MessageKind::Command)) {
        LogServiceLine(net::LOG_ASSOCIATION, "C-CANCEL-RQ could not be sent");
        return QUERY_SEND_FAILED;
    }
    LogServiceLine(net::LOG_ASSOCIATION, "C-CANCEL-RQ sent");
    // Responses the peer sent before it saw the cancel still come: they are read and dropped.
    for (uint32_t read = 0; read <= MAX_RESPONSES_AFTER_CANCEL; ++read) {
        ElementList command, identifier;
        const int32_t status = ReadResponse(assoc, responseField, command, identifier);
        if (!IsPending(status)) return status;
    }
    net::AbortAssoc(assoc);
    LogServiceLine(net::LOG_ASSOCIATION,
                   ResponseName(responseField) + ": still pending after the C-CANCEL-RQ; aborted");
    return QUERY_TOO_MANY_PENDING;
}

bool ClearQuery(RecordList& list, std::string_view level) {
    if (list.Size() == 0) return true;
    const auto kind = QueryLevelKind(level);
    if (!kind || list.Kind() != kind) return false;
    list.Clear();
    return true;
}

}  // namespace dicomlib::services
