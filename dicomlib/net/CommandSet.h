// The DIMSE vocabulary: command fields, the values of Command Data Set Type and Priority, status
// values and their meaning in words, and the builder of command sets. Command sets are built
// element by element in the order the message lists them, with (0000,0000) kept first and
// always equal to the sum of (8 + value length) of the elements after it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "data/ElementList.h"

namespace dicomlib::net {

// Command Field: each request, then its response (the request with bit 15 set).
constexpr uint16_t C_STORE_RQ = 0x0001;
constexpr uint16_t C_STORE_RSP = 0x8001;
constexpr uint16_t C_GET_RQ = 0x0010;
constexpr uint16_t C_GET_RSP = 0x8010;
constexpr uint16_t C_FIND_RQ = 0x0020;
constexpr uint16_t C_FIND_RSP = 0x8020;
constexpr uint16_t C_MOVE_RQ = 0x0021;
constexpr uint16_t C_MOVE_RSP = 0x8021;
constexpr uint16_t C_ECHO_RQ = 0x0030;
constexpr uint16_t C_ECHO_RSP = 0x8030;
constexpr uint16_t N_EVENT_REPORT_RQ = 0x0100;
constexpr uint16_t N_EVENT_REPORT_RSP = 0x8100;
constexpr uint16_t N_GET_RQ = 0x0110;
constexpr uint16_t N_GET_RSP = 0x8110;
constexpr uint16_t N_SET_RQ = 0x0120;
constexpr uint16_t N_SET_RSP = 0x8120;
constexpr uint16_t N_ACTION_RQ = 0x0130;
constexpr uint16_t N_ACTION_RSP = 0x8130;
constexpr uint16_t N_CREATE_RQ = 0x0140;
constexpr uint16_t N_CREATE_RSP = 0x8140;
constexpr uint16_t N_DELETE_RQ = 0x0150;
constexpr uint16_t N_DELETE_RSP = 0x8150;
constexpr uint16_t C_CANCEL_RQ = 0x0FFF;

// Command Data Set Type: no data set follows; any other value says one does, and this is the
// one we send.
constexpr uint16_t NO_DATA_SET = 0x0101;
constexpr uint16_t DATA_SET_PRESENT = 0x0102;

constexpr uint16_t PRIORITY_MEDIUM = 0x0000;
constexpr uint16_t PRIORITY_HIGH = 0x0001;
constexpr uint16_t PRIORITY_LOW = 0x0002;

// Status. Only success counts as success; the pending ones announce another response.
constexpr uint16_t STATUS_SUCCESS = 0x0000;
constexpr uint16_t STATUS_PENDING = 0xFF00;
constexpr uint16_t STATUS_PENDING_WARNING = 0xFF01;  // optional keys were not supported
constexpr uint16_t STATUS_CANCEL = 0xFE00;
constexpr uint16_t STATUS_SOP_CLASS_NOT_SUPPORTED = 0x0122;
constexpr uint16_t STATUS_OUT_OF_RESOURCES = 0xA700;         // and the rest of 0xA7xx
constexpr uint16_t STATUS_DATA_SET_DOES_NOT_MATCH = 0xA900;  // and the rest of 0xA9xx
constexpr uint16_t STATUS_CANNOT_UNDERSTAND = 0xC000;        // and the rest of 0xCxxx
constexpr uint16_t STATUS_COERCION_OF_DATA_ELEMENTS = 0xB000;
constexpr uint16_t STATUS_ELEMENTS_DISCARDED = 0xB006;
constexpr uint16_t STATUS_DATA_SET_DOES_NOT_MATCH_WARNING = 0xB007;
constexpr uint16_t STATUS_MOVE_DESTINATION_UNKNOWN = 0xA801;
constexpr uint16_t STATUS_SUB_OPERATIONS_FAILED = 0xB000;  // a C-MOVE's warning

inline bool IsPending(int32_t status) {
    return status == STATUS_PENDING || status == STATUS_PENDING_WARNING;
}

// One row of a table of status words: a status matches when its bits under mask equal status.
struct Meaning {
    uint16_t status;
    uint16_t mask;
    const char* words;
};
// The words of the first row the status matches; null when none does.
const char* FindMeaning(std::span<const Meaning> meanings, uint16_t status);

// The command's name, "C-STORE-RQ" or "N-CREATE-RSP"; empty for a value that is no command.
std::string_view CommandFieldName(uint16_t commandField);

// What a status in a response of the given Command Field (request or response) means, in a few
// words: "success", "pending", "refused: out of resources", "warning: the film box holds no
// image box (empty page)". Composite and DIMSE-N services word their failures differently, and
// C-FIND and C-MOVE word even success and pending their own way ("success: matching is
// complete"); commandField 0 gives the words every service shares. "failure" for any value not
// known ("unknown status" for C-FIND and C-MOVE).
std::string_view StatusMeaning(uint16_t status, uint16_t commandField);
// "status 0xA700 (refused: out of resources)".
std::string StatusText(uint16_t status, uint16_t commandField);

// The next Message ID from the process-wide counter that presentation context IDs also come
// from: always odd, 3 for the first request after an association with one context. Safe to
// call from several threads at once.
uint16_t NextMessageID();

class CommandSet {
  public:
    // Starts with (0000,0000) UL 0.
    CommandSet();

    // A UID padded to even length with 0x00: peers compare UIDs byte for byte.
    CommandSet& AppendUid(Tag tag, std::string_view uid);
    // Two bytes, little endian.
    CommandSet& AppendUs(Tag tag, uint16_t value);
    // The bytes exactly as given, under the given VR.
    CommandSet& AppendBytes(Tag tag, const char* vr, std::span<const uint8_t> value);

    // The command set, group length included; it stays up to date after every append.
    ElementList& List() { return list_; }
    uint32_t GroupLength() const { return groupLength_; }

  private:
    void Add(DicomElement* element);

    ElementList list_;
    uint32_t groupLength_ = 0;
};

// The C-CANCEL-RQ of an outstanding C-FIND, C-GET or C-MOVE: group length, Command Field,
// Message ID Being Responded To (the request's Message ID), Command Data Set Type (nothing
// follows).
CommandSet CancelRequest(uint16_t messageIdBeingRespondedTo);

}  // namespace dicomlib::net
