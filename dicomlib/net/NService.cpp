#include "net/NService.h"

#include <cstdio>
#include <span>

#include "data/Tags.h"
#include "net/AssociationWords.h"
#include "net/Dimse.h"
#include "net/Dispatcher.h"
#include "net/ErrorComment.h"

namespace dicomlib::net {
namespace {

// The statuses of the N-services; the print management ones spelled out.
constexpr Meaning MEANINGS[] = {
    {0x0001, 0xFFFF, "warning: requested optional attributes are not supported"},
    {0x0105, 0xFFFF, "failure: no such attribute"},
    {0x0106, 0xFFFF, "failure: invalid attribute value"},
    {0x0107, 0xFFFF, "warning: attribute list error"},
    {0x0110, 0xFFFF, "failure: processing failure"},
    {0x0111, 0xFFFF, "failure: duplicate SOP instance"},
    {0x0112, 0xFFFF, "failure: no such SOP instance"},
    {0x0113, 0xFFFF, "failure: no such event type"},
    {0x0114, 0xFFFF, "failure: no such argument"},
    {0x0115, 0xFFFF, "failure: invalid argument value"},
    {0x0116, 0xFFFF, "warning: attribute value out of range"},
    {0x0117, 0xFFFF, "failure: invalid object instance"},
    {0x0118, 0xFFFF, "failure: no such SOP class"},
    {0x0119, 0xFFFF, "failure: class-instance conflict"},
    {0x0120, 0xFFFF, "failure: missing attribute"},
    {0x0121, 0xFFFF, "failure: missing attribute value"},
    {STATUS_SOP_CLASS_NOT_SUPPORTED, 0xFFFF, "failure: SOP class not supported"},
    {0x0123, 0xFFFF, "failure: no such action type"},
    {0x0124, 0xFFFF, "failure: not authorised"},
    {0x0210, 0xFFFF, "failure: duplicate invocation"},
    {0x0211, 0xFFFF, "failure: unrecognised operation"},
    {0x0212, 0xFFFF, "failure: mistyped argument"},
    {0x0213, 0xFFFF, "failure: resource limitation"},
    {0xB600, 0xFFFF, "warning: memory allocation not supported"},
    {0xB601, 0xFFFF, "warning: film session printing (collation) is not supported"},
    {0xB602, 0xFFFF, "warning: the film session holds no image box (empty page)"},
    {0xB603, 0xFFFF, "warning: the film box holds no image box (empty page)"},
    {0xB604, 0xFFFF, "warning: the image is larger than the image box and was demagnified"},
    {0xB605, 0xFFFF,
     "warning: Min or Max Density outside the printer's range; the printer uses its own "
     "minimum or maximum instead"},
    {0xB609, 0xFFFF, "warning: the image is larger than the image box and was cropped to fit"},
    {0xB60A, 0xFFFF, "warning: the image is larger than the image box and was decimated to fit"},
    {0xC600, 0xFFFF, "failure: the film session holds no film box"},
    {0xC601, 0xFFFF, "failure: cannot create the print job; the print queue is full"},
    {0xC602, 0xFFFF, "failure: cannot create the print job; the print queue is full"},
    {0xC603, 0xFFFF, "failure: the image is larger than the image box"},
    {0xC604, 0xFFFF, "failure: several images are assigned to one image position"},
    {0xC605, 0xFFFF, "failure: not enough memory in the printer to store the image"},
    {0xC613, 0xFFFF, "failure: the combined print image is larger than the image box"},
    {0xC616, 0xFFFF,
     "failure: a film box that was not printed exists, and the printer does not print film "
     "sessions"},
    {0xB000, 0xF000, "warning"},
    {STATUS_OUT_OF_RESOURCES, 0xFF00, "failure: out of resources"},
};

uint16_t DataSetType(bool withAttributes) {
    return withAttributes ? DATA_SET_PRESENT : NO_DATA_SET;
}

CommandSet RequestedRequest(uint16_t commandField, std::string_view sopClassUid,
                            std::string_view instanceUid, uint16_t messageId, bool withAttributes,
                            std::optional<uint16_t> actionTypeId) {
    CommandSet command;
    command.AppendUid(tag::RequestedSOPClassUID, sopClassUid)
        .AppendUs(tag::CommandField, commandField)
        .AppendUs(tag::MessageID, messageId)
        .AppendUs(tag::CommandDataSetType, DataSetType(withAttributes))
        .AppendUid(tag::RequestedSOPInstanceUID, instanceUid);
    if (actionTypeId) command.AppendUs(tag::ActionTypeID, *actionTypeId);
    return command;
}

std::string Hex16(uint32_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(value & 0xFFFF));
    return text;
}

}  // namespace

CommandSet NCreateRequest(std::string_view sopClassUid, uint16_t messageId,
                          std::optional<std::string_view> instanceUid) {
    CommandSet command;
    command.AppendUid(tag::AffectedSOPClassUID, sopClassUid)
        .AppendUs(tag::CommandField, N_CREATE_RQ)
        .AppendUs(tag::MessageID, messageId)
        .AppendUs(tag::CommandDataSetType, DATA_SET_PRESENT);
    if (instanceUid) command.AppendUid(tag::AffectedSOPInstanceUID, *instanceUid);
    return command;
}

CommandSet NGetRequest(std::string_view sopClassUid, std::string_view instanceUid,
                       uint16_t messageId) {
    return RequestedRequest(N_GET_RQ, sopClassUid, instanceUid, messageId, false, std::nullopt);
}

CommandSet NSetRequest(std::string_view sopClassUid, std::string_view instanceUid,
                       uint16_t messageId) {
    return RequestedRequest(N_SET_RQ, sopClassUid, instanceUid, messageId, true, std::nullopt);
}

CommandSet NActionRequest(std::string_view sopClassUid, std::string_view instanceUid,
                          uint16_t messageId, uint16_t actionTypeId, bool withAttributes) {
    return RequestedRequest(N_ACTION_RQ, sopClassUid, instanceUid, messageId, withAttributes,
                            actionTypeId);
}

CommandSet NDeleteRequest(std::string_view sopClassUid, std::string_view instanceUid,
                          uint16_t messageId) {
    return RequestedRequest(N_DELETE_RQ, sopClassUid, instanceUid, messageId, false, std::nullopt);
}

CommandSet NEventReportRequest(std::string_view sopClassUid, std::string_view instanceUid,
                               uint16_t messageId, uint16_t eventTypeId, bool withAttributes) {
    CommandSet command;
    command.AppendUid(tag::AffectedSOPClassUID, sopClassUid)
        .AppendUs(tag::CommandField, N_EVENT_REPORT_RQ)
        .AppendUs(tag::MessageID, messageId)
        .AppendUs(tag::CommandDataSetType, DataSetType(withAttributes))
        .AppendUid(tag::AffectedSOPInstanceUID, instanceUid)
        .AppendUs(tag::EventTypeID, eventTypeId);
    return command;
}

CommandSet NServiceResponse(uint16_t responseField, std::string_view sopClassUid,
                            std::string_view instanceUid, uint16_t messageIdBeingRespondedTo,
                            uint16_t status, bool withAttributes, std::optional<uint16_t> typeId) {
    CommandSet command;
    if (!sopClassUid.empty()) command.AppendUid(tag::AffectedSOPClassUID, sopClassUid);
    command.AppendUs(tag::CommandField, responseField)
        .AppendUs(tag::MessageIDBeingRespondedTo, messageIdBeingRespondedTo)
        .AppendUs(tag::CommandDataSetType, DataSetType(withAttributes))
        .AppendUs(tag::Status, status);
    if (!instanceUid.empty()) command.AppendUid(tag::AffectedSOPInstanceUID, instanceUid);
    if (typeId && responseField == N_EVENT_REPORT_RSP) command.AppendUs(tag::EventTypeID, *typeId);
    if (typeId && responseField == N_ACTION_RSP) command.AppendUs(tag::ActionTypeID, *typeId);
    return command;
}

CommandSet NServiceFailure(uint16_t responseField, std::string_view sopClassUid,
                           std::string_view instanceUid, uint16_t messageIdBeingRespondedTo,
                           uint16_t status, std::string_view comment,
                           const std::vector<Tag>& attributes, std::optional<uint16_t> typeId) {
    CommandSet command;
    if (!sopClassUid.empty()) command.AppendUid(tag::AffectedSOPClassUID, sopClassUid);
    command.AppendUs(tag::CommandField, responseField)
        .AppendUs(tag::MessageIDBeingRespondedTo, messageIdBeingRespondedTo)
        .AppendUs(tag::CommandDataSetType, NO_DATA_SET)
        .AppendUs(tag::Status, status);
    // The comment is LO: 64 characters at most, a space to even length.
    std::string text(comment.substr(0, 64));
    if (text.size() % 2 != 0) text += ' ';
    if (!text.empty())
        command.AppendBytes(tag::ErrorComment, "LO",
                            {reinterpret_cast<const uint8_t*>(text.data()), text.size()});
    if (!instanceUid.empty()) command.AppendUid(tag::AffectedSOPInstanceUID, instanceUid);
    if (typeId && responseField == N_EVENT_REPORT_RSP) command.AppendUs(tag::EventTypeID, *typeId);
    if (!attributes.empty()) {
        std::vector<uint8_t> at;
        for (const Tag& t : attributes)
            for (uint16_t half : {t.group, t.element}) {
                at.push_back(static_cast<uint8_t>(half & 0xFF));
                at.push_back(static_cast<uint8_t>(half >> 8));
            }
        command.AppendBytes(Tag{0x0000, 0x1005}, "AT", at);
    }
    if (typeId && responseField == N_ACTION_RSP) command.AppendUs(tag::ActionTypeID, *typeId);
    return command;
}

NResponse ReadNResponse(Association& assoc, uint16_t expectedField) {
    NResponse response;
    assoc.dataTransfer.awaitedResponse = expectedField;
    // A data set announced is read with the response, whatever the response says, so that the
    // next read starts at the next message.
    auto message = AwaitResponse(assoc);
    if (!message) return response;
    const ElementList& command = message->command;
    response.commandField = message->commandField;
    response.dataSet = std::move(message->dataSet);
    if (response.commandField != expectedField) {
        response.outcome = N_WRONG_RESPONSE;
        return response;
    }
    response.outcome = data::GetTagUS(command, tag::Status);
    if (const DicomElement* e = data::FindTag(command, tag::AffectedSOPInstanceUID))
        response.affectedInstance = UidText(*e);
    response.errorComment = ErrorCommentOf(command);
    return response;
}

NResponse NExchange(Association& assoc, CommandSet& command, std::string_view sopClassUid,
                    ElementList* attributes, uint16_t expectedField) {
    NResponse failed;
    if (FindContextForClass(assoc, sopClassUid) == 0) {
        failed.outcome = N_NOT_SENT;
        return failed;
    }
    if (!SendMessage(assoc, command.List(), sopClassUid, MessageKind::Command)) return failed;
    if (attributes != nullptr &&
        !SendMessage(assoc, *attributes, sopClassUid, MessageKind::DataSet))
        return failed;
    NResponse response = ReadNResponse(assoc, expectedField);
    if (response.outcome > 0)
        NoteStatusFailure(static_cast<uint16_t>(response.outcome), expectedField);
    return response;
}

std::string DescribeNOutcome(const NResponse& response, uint16_t expectedField,
                             std::string_view peer) {
    switch (response.outcome) {
        case N_NO_RESPONSE:
            return "no response from " + std::string(peer) +
                   " (the connection failed or was closed)";
        case N_WRONG_RESPONSE:
            return std::string(peer) + " answered with Command Field " +
                   Hex16(response.commandField) + " instead of an " +
                   std::string(CommandFieldName(expectedField));
        case N_NOT_SENT:
            return "no accepted presentation context for the SOP class";
        default:
            return StatusText(static_cast<uint16_t>(response.outcome), expectedField) +
                   PeerSays(response.errorComment);
    }
}

std::string_view NStatusMeaning(uint16_t status) {
    const char* words = FindMeaning(MEANINGS, status);
    return words != nullptr ? words : std::string_view();
}

std::string UidText(const DicomElement& e) {
    if (!data::HasValue(e)) return {};
    std::string text(reinterpret_cast<const char*>(e.value), e.length);
    if (const auto nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

}  // namespace dicomlib::net
