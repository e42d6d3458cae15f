// Routing of received DIMSE messages. The rules of the protocol (what a request nobody serves
// is answered with, when the association has to be aborted) are here once, for both sides.
#include "net/Dispatcher.h"

#include <algorithm>
#include <cstdio>
#include <span>
#include <utility>

#include "data/Tags.h"
#include "net/Association.h"
#include "net/CommandSet.h"
#include "net/Dimse.h"
#include "net/TraceLog.h"

namespace dicomlib::net {
namespace {

bool IsResponse(uint16_t field) {
    return (field & 0x8000) != 0;
}

// A known request's Command Field (C-CANCEL-RQ included).
bool IsRequest(uint16_t field) {
    return !IsResponse(field) && !CommandFieldName(field).empty();
}

// C-ECHO, C-STORE-RSP and C-CANCEL-RQ never carry a data set, whatever their Data Set Type says
// (an echo's is copied back, not acted on). Without a Data Set Type the composite messages that
// usually carry one are taken to announce it, the others (the N-services) not.
bool AnnouncesDataSet(const ElementList& command, uint16_t field) {
    if (field == C_ECHO_RQ || field == C_ECHO_RSP || field == C_STORE_RSP || field == C_CANCEL_RQ)
        return false;
    if (data::FindTag(command, tag::CommandDataSetType) == nullptr) {
        const auto request = static_cast<uint16_t>(field & 0x7FFF);
        return request == C_STORE_RQ || request == C_FIND_RQ || request == C_MOVE_RQ ||
               request == C_GET_RQ;
    }
    return data::GetTagUS(command, tag::CommandDataSetType) != NO_DATA_SET;
}

// The class a request is routed by: the one it names, or else its context's abstract syntax.
std::string RoutingClass(const Association& assoc, const DimseMessage& message) {
    std::string sopClass = message.SopClass();
    if (!sopClass.empty()) return sopClass;
    for (const auto& pc : assoc.acceptedContexts)
        if (pc.id == message.contextId) return pc.abstractSyntax;
    return sopClass;
}

bool CameAsCommand(const Association& assoc) {
    return (assoc.dataTransfer.controlBits & PDV_COMMAND) != 0;
}

// A UID value as it was received, padding included: the answer names the class byte for byte.
std::string_view RawUid(const ElementList& list, Tag tag) {
    if (data::GetTagString(list, tag).empty()) return {};
    const DicomElement* e = data::FindTag(list, tag);
    return std::string_view(reinterpret_cast<const char*>(e->value), e->length);
}

// Answers a request no handler serves; a C-CANCEL-RQ has no response.
HandlerResult AnswerNotServed(Association& assoc, const DimseHandlers& handlers,
                              const DimseMessage& message) {
    if (message.commandField == C_CANCEL_RQ) return HandlerResult::Continue;
    auto response = NotServedResponse(message.command, handlers.ServedNames());
    if (!response) return HandlerResult::End;
    return SendMessageOnContext(assoc, *response, message.contextId, MessageKind::Command)
               ? HandlerResult::Continue
               : HandlerResult::End;
}

}  // namespace

uint16_t DimseMessage::MessageId() const {
    return data::GetTagUS(command, tag::MessageID);
}

uint16_t DimseMessage::MessageIdBeingRespondedTo() const {
    return data::GetTagUS(command, tag::MessageIDBeingRespondedTo);
}

std::string DimseMessage::SopClass() const {
    std::string uid = data::GetTagString(command, tag::AffectedSOPClassUID);
    return uid.empty() ? data::GetTagString(command, tag::RequestedSOPClassUID) : uid;
}

DimseHandlers& DimseHandlers::On(uint16_t commandField, DimseHandler handler) {
    return On(commandField, {}, std::move(handler));
}

DimseHandlers& DimseHandlers::On(uint16_t commandField, std::string_view sopClassUid,
                                 DimseHandler handler, DataSetSpool spool) {
    rows_.push_back({commandField, std::string(sopClassUid), std::move(handler), std::move(spool)});
    return *this;
}

const DimseHandlers::Row* DimseHandlers::FindRow(uint16_t commandField,
                                                 std::string_view sopClassUid) const {
    const Row* any = nullptr;
    for (const Row& row : rows_) {
        if (row.commandField != commandField) continue;
        if (row.sopClassUid.empty()) {
            if (any == nullptr) any = &row;
        } else if (row.sopClassUid == sopClassUid) {
            return &row;
        }
    }
    return any;
}

const DimseHandler* DimseHandlers::Find(uint16_t commandField, std::string_view sopClassUid) const {
    const Row* row = FindRow(commandField, sopClassUid);
    return row != nullptr ? &row->handler : nullptr;
}

const DataSetSpool* DimseHandlers::FindSpool(uint16_t commandField,
                                             std::string_view sopClassUid) const {
    const Row* row = FindRow(commandField, sopClassUid);
    return row != nullptr && row->spool ? &row->spool : nullptr;
}

std::string DimseHandlers::ServedNames() const {
    std::vector<uint16_t> fields;
    for (const Row& row : rows_)
        if (std::find(fields.begin(), fields.end(), row.commandField) == fields.end())
            fields.push_back(row.commandField);
    std::sort(fields.begin(), fields.end());
    std::string names;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        std::string_view name = CommandFieldName(fields[i]);
        if (name.ends_with("-RQ")) name.remove_suffix(3);
        if (i > 0) names += i + 1 == fields.size() ? " and " : ", ";
        names += name;
    }
    return names;
}

std::optional<ElementList> NotServedResponse(const ElementList& request,
                                             std::string_view servedNames) {
    const uint16_t field = data::GetTagUS(request, tag::CommandField);
    if (!IsRequest(field) || field == C_CANCEL_RQ) return std::nullopt;
    std::string comment = std::string(CommandFieldName(field)) + " not served here";
    if (!servedNames.empty()) {
        const bool several = servedNames.find(" and ") != std::string_view::npos;
        comment += ": only " + std::string(servedNames) + (several ? " are" : " is");
    }
    if (comment.size() % 2 != 0) comment += ' ';
    CommandSet response;
    std::string_view sopClass = RawUid(request, tag::AffectedSOPClassUID);
    if (sopClass.empty()) sopClass = RawUid(request, tag::RequestedSOPClassUID);
    if (!sopClass.empty()) response.AppendUid(tag::AffectedSOPClassUID, sopClass);
    response.AppendUs(tag::CommandField, static_cast<uint16_t>(field | 0x8000))
        .AppendUs(tag::MessageIDBeingRespondedTo, data::GetTagUS(request, tag::MessageID))
        .AppendUs(tag::CommandDataSetType, NO_DATA_SET)
        .AppendUs(tag::Status, STATUS_SOP_CLASS_NOT_SUPPORTED)
        .AppendBytes(tag::ErrorComment, "LO",
                     std::span(reinterpret_cast<const uint8_t*>(comment.data()), comment.size()));
    return std::move(response.List());
}

std::optional<DimseMessage> ReceiveDimseMessage(Association& assoc, std::string* why,
                                                const DimseHandlers* handlers) {
    auto fail = [&](const char* reason) {
        if (why != nullptr) *why = reason;
        return std::nullopt;
    };
    DimseMessage message;
    if (!ReceiveMessage(assoc, message.command)) return fail("nothing received");
    if (!CameAsCommand(assoc)) {
        NoteFailure(
            "the peer sent a data set where a command belonged; the association was "
            "aborted: a trace at level 2 shows the messages");
        AbortAssoc(assoc);
        return fail("a data set came where the command belonged");
    }
    message.contextId = assoc.dataTransfer.contextId;
    message.commandField = data::GetTagUS(message.command, tag::CommandField);
    if (!AnnouncesDataSet(message.command, message.commandField)) return message;
    if (handlers != nullptr && IsRequest(message.commandField)) {
        if (const DataSetSpool* spool =
                handlers->FindSpool(message.commandField, RoutingClass(assoc, message)))
            message.spool = (*spool)(assoc, message);
    }
    if (message.spool ? !ReceiveMessageToFile(assoc, *message.spool, message.dataSet)
                      : !ReceiveMessage(assoc, message.dataSet))
        return fail("the announced data set did not come");
    if (CameAsCommand(assoc)) {
        // The peer is a message ahead of its own announcement: nothing more can be trusted.
        NoteFailure(
            "the peer sent a command where the announced data set belonged; the "
            "association was aborted: a trace at level 2 shows the messages");
        AbortAssoc(assoc);
        return fail("a command came where the data set belonged");
    }
    message.hasDataSet = true;
    message.dataSetContextId = assoc.dataTransfer.contextId;
    return message;
}

HandlerResult Dispatch(Association& assoc, const DimseHandlers& handlers, DimseMessage& message) {
    const uint16_t field = message.commandField;
    if (IsRequest(field)) {
        if (const DimseHandler* handler = handlers.Find(field, RoutingClass(assoc, message)))
            return (*handler)(assoc, message);
        return AnswerNotServed(assoc, handlers, message);
    }
    if (!IsResponse(field) || CommandFieldName(field).empty()) {
        // No command this protocol knows: nothing can answer it.
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%04X", field);
        NoteFailure("the peer sent a command with the unknown Command Field " + std::string(hex) +
                    "; the association was aborted: the peer does not speak this protocol");
        AbortAssoc(assoc);
    }
    return HandlerResult::End;
}

void ServeRequests(Association& assoc, const DimseHandlers& handlers) {
    for (;;) {
        auto message = ReceiveDimseMessage(assoc, nullptr, &handlers);
        if (!message || Dispatch(assoc, handlers, *message) == HandlerResult::End) return;
    }
}

std::optional<DimseMessage> AwaitResponse(Association& assoc, std::optional<uint16_t> messageId,
                                          std::string* why) {
    const auto awaited = messageId ? messageId : assoc.lastRequestMessageId;
    auto fail = [&](const char* reason) {
        if (why != nullptr) *why = reason;
        return std::nullopt;
    };
    for (;;) {
        auto message = ReceiveDimseMessage(assoc, why, &assoc.handlers);
        if (!message) return std::nullopt;
        const uint16_t field = message->commandField;
        if (IsResponse(field) && !CommandFieldName(field).empty()) {
            // One request is outstanding at a time: a response naming another Message ID (or
            // none) can only be its answer, from a peer that numbers its answers wrong.
            if (awaited && message->MessageIdBeingRespondedTo() != *awaited &&
                LogLevel() >= LOG_ASSOCIATION) {
                AppendLogLine(LogFileName(),
                              std::string(CommandFieldName(field)) + " answers Message ID " +
                                  std::to_string(message->MessageIdBeingRespondedTo()) +
                                  ", the request sent was " + std::to_string(*awaited));
            }
            return message;
        }
        if (Dispatch(assoc, assoc.handlers, *message) == HandlerResult::End) {
            if (assoc.stream.Connected() && IsRequest(field)) {
                NoteFailure("a " + std::string(CommandFieldName(field)) +
                            " from the peer ended the association before the response came");
            }
            return fail("the association ended before the response came");
        }
    }
}

}  // namespace dicomlib::net
