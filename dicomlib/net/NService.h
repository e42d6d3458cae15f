// The DIMSE-N exchange: the command sets of N-CREATE, N-SET, N-GET, N-ACTION, N-DELETE and
// N-EVENT-REPORT, requests and responses, the reading of a response (with the data set it
// announces) and what the services' statuses mean. Print management, storage commitment and
// performed procedure steps are built on it; what the attributes mean is theirs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data/ElementList.h"
#include "net/Association.h"
#include "net/CommandSet.h"

namespace dicomlib::net {

// N-CREATE-RQ: Affected SOP Class UID, Command Field, Message ID, Data Set Type 0x0102, and the
// Affected SOP Instance UID when the requestor assigns the instance (without it the provider
// does).
CommandSet NCreateRequest(std::string_view sopClassUid, uint16_t messageId,
                          std::optional<std::string_view> instanceUid = std::nullopt);
// N-GET-RQ, N-SET-RQ, N-ACTION-RQ and N-DELETE-RQ: Requested SOP Class UID, Command Field,
// Message ID, Data Set Type, Requested SOP Instance UID, and for N-ACTION the Action Type ID.
// N-GET asks for every attribute (no Attribute Identifier List).
CommandSet NGetRequest(std::string_view sopClassUid, std::string_view instanceUid,
                       uint16_t messageId);
CommandSet NSetRequest(std::string_view sopClassUid, std::string_view instanceUid,
                       uint16_t messageId);
CommandSet NActionRequest(std::string_view sopClassUid, std::string_view instanceUid,
                          uint16_t messageId, uint16_t actionTypeId, bool withAttributes);
CommandSet NDeleteRequest(std::string_view sopClassUid, std::string_view instanceUid,
                          uint16_t messageId);
// N-EVENT-REPORT-RQ: Affected SOP Class UID, Command Field, Message ID, Data Set Type, Affected
// SOP Instance UID, Event Type ID.
CommandSet NEventReportRequest(std::string_view sopClassUid, std::string_view instanceUid,
                               uint16_t messageId, uint16_t eventTypeId, bool withAttributes);

// The response of an N-service request (responseField: N_CREATE_RSP, ..., N_EVENT_REPORT_RSP):
// Affected SOP Class UID (left out when empty), Command Field, Message ID Being Responded To,
// Data Set Type, Status, Affected SOP Instance UID (left out when empty), and the Event Type ID
// of an N-EVENT-REPORT-RSP or the Action Type ID of an N-ACTION-RSP when given.
CommandSet NServiceResponse(uint16_t responseField, std::string_view sopClassUid,
                            std::string_view instanceUid, uint16_t messageIdBeingRespondedTo,
                            uint16_t status, bool withAttributes,
                            std::optional<uint16_t> typeId = std::nullopt);

// The same for a failure the provider explains: an Error Comment (at most 64 characters kept)
// and, when given, the Attribute Identifier List of the attributes at fault.
CommandSet NServiceFailure(uint16_t responseField, std::string_view sopClassUid,
                           std::string_view instanceUid, uint16_t messageIdBeingRespondedTo,
                           uint16_t status, std::string_view comment,
                           const std::vector<Tag>& attributes = {},
                           std::optional<uint16_t> typeId = std::nullopt);

// Our own outcomes of an exchange; 0..65535 are statuses from the peer.
enum NFailure : int32_t {
    N_NO_RESPONSE = -1,     // nothing came back, or the connection failed while sending
    N_WRONG_RESPONSE = -2,  // a message came whose Command Field is not the response
    N_NOT_SENT = -3,        // no accepted presentation context for the SOP class
};

struct NResponse {
    int32_t outcome = N_NO_RESPONSE;  // the Status, or an NFailure
    uint16_t commandField = 0;
    std::string affectedInstance;  // (0000,1000), NUL pad and blanks taken off
    std::string errorComment;      // (0000,0902): the peer's own words on a failure, trimmed
    ElementList dataSet;           // the data set that followed, when one was announced
};

// Receives one response. A data set it announces is always received, so that it is never taken
// for the next message. An absent Status reads as 0.
NResponse ReadNResponse(Association& assoc, uint16_t expectedField);

// Sends the command and, when attributes is not null, the data set after it, on the SOP class's
// context; then reads the response. A failing status is noted as the thread's last failure.
NResponse NExchange(Association& assoc, CommandSet& command, std::string_view sopClassUid,
                    ElementList* attributes, uint16_t expectedField);

// Why an exchange failed, in words: its status with the meaning the N-services give it ("status
// 0xB605 (warning: ...)"), or our own failure, naming the peer as peer ("the printer").
std::string DescribeNOutcome(const NResponse& response, uint16_t expectedField,
                             std::string_view peer = "the peer");

// What a status of an N-service response means ("failure: no such SOP instance"), or empty for
// a value these services do not define.
std::string_view NStatusMeaning(uint16_t status);

// A UID value as text: up to its first NUL (the pad of an odd length), without trailing blanks.
std::string UidText(const DicomElement& element);

}  // namespace dicomlib::net
