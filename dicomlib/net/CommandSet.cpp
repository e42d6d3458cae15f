#include "net/CommandSet.h"

#include <cstdio>
#include <span>
#include <string>

#include "data/Tags.h"
#include "net/Association.h"
#include "net/NService.h"

namespace dicomlib::net {

namespace {

// Every service.
constexpr Meaning SHARED_MEANINGS[] = {
    {STATUS_SUCCESS, 0xFFFF, "success"},
    {STATUS_PENDING, 0xFFFF, "pending"},
    {STATUS_PENDING_WARNING, 0xFFFF, "pending"},
    {STATUS_CANCEL, 0xFFFF, "cancelled"},
};

// C-STORE.
constexpr Meaning STORAGE_MEANINGS[] = {
    {STATUS_SOP_CLASS_NOT_SUPPORTED, 0xFFFF, "refused: SOP class not supported"},
    {STATUS_COERCION_OF_DATA_ELEMENTS, 0xFFFF, "warning: stored with changes"},
    {STATUS_ELEMENTS_DISCARDED, 0xFFFF, "warning: stored with changes"},
    {STATUS_DATA_SET_DOES_NOT_MATCH_WARNING, 0xFFFF, "warning: stored with changes"},
    {STATUS_OUT_OF_RESOURCES, 0xFF00, "refused: out of resources"},
    {STATUS_DATA_SET_DOES_NOT_MATCH, 0xFF00, "error: data set does not match SOP class"},
    {STATUS_CANNOT_UNDERSTAND, 0xF000, "error: cannot understand"},
};

// C-FIND, of a study query and of a worklist query alike.
constexpr Meaning FIND_MEANINGS[] = {
    {STATUS_SUCCESS, 0xFFFF, "success: matching is complete"},
    {STATUS_PENDING, 0xFFFF, "pending: matches are continuing"},
    {STATUS_PENDING_WARNING, 0xFFFF,
     "pending: matches are continuing, but optional keys were not supported"},
    {STATUS_CANCEL, 0xFFFF, "cancelled: matching terminated by a cancel request"},
    {STATUS_OUT_OF_RESOURCES, 0xFFFF, "refused: out of resources"},
    {STATUS_DATA_SET_DOES_NOT_MATCH, 0xFFFF, "failed: identifier does not match the SOP class"},
    {STATUS_CANNOT_UNDERSTAND, 0xF000, "failed: unable to process"},
};

// C-MOVE and C-GET.
constexpr Meaning MOVE_MEANINGS[] = {
    {STATUS_SUCCESS, 0xFFFF, "success: sub-operations complete without failures"},
    {STATUS_PENDING, 0xFFFF, "pending: sub-operations are continuing"},
    {STATUS_CANCEL, 0xFFFF, "cancelled: sub-operations terminated by a cancel request"},
    {STATUS_OUT_OF_RESOURCES, 0xFFFF, "refused: out of resources"},
    {0xA701, 0xFFFF, "refused: out of resources, unable to calculate the number of matches"},
    {0xA702, 0xFFFF, "refused: out of resources, unable to perform sub-operations"},
    {STATUS_MOVE_DESTINATION_UNKNOWN, 0xFFFF, "refused: move destination unknown"},
    {STATUS_DATA_SET_DOES_NOT_MATCH, 0xFFFF, "failed: identifier does not match the SOP class"},
    {STATUS_SUB_OPERATIONS_FAILED, 0xFFFF,
     "warning: sub-operations complete with failures or warnings"},
    {STATUS_CANNOT_UNDERSTAND, 0xF000, "failed: unable to process"},
};

// What C-FIND and C-MOVE responses may say besides their own statuses: the general DIMSE
// statuses, then the classes by their first digit.
constexpr Meaning QUERY_GENERAL_MEANINGS[] = {
    {0x0105, 0xFFFF, "failed: no such attribute"},
    {0x0106, 0xFFFF, "failed: invalid attribute value"},
    {0x0107, 0xFFFF, "warning: attribute list error"},
    {0x0110, 0xFFFF, "failed: processing failure"},
    {0x0111, 0xFFFF, "failed: duplicate SOP instance"},
    {0x0112, 0xFFFF, "failed: no such object instance"},
    {0x0116, 0xFFFF, "warning: attribute value out of range"},
    {0x0117, 0xFFFF, "failed: invalid object instance"},
    {0x0118, 0xFFFF, "failed: no such SOP class"},
    {0x0119, 0xFFFF, "failed: class-instance conflict"},
    {0x0120, 0xFFFF, "failed: missing attribute"},
    {0x0121, 0xFFFF, "failed: missing attribute value"},
    {STATUS_SOP_CLASS_NOT_SUPPORTED, 0xFFFF, "refused: SOP class not supported"},
    {0x0124, 0xFFFF, "refused: not authorized"},
    {0x0210, 0xFFFF, "failed: duplicate invocation"},
    {0x0211, 0xFFFF, "failed: unrecognized operation"},
    {0x0212, 0xFFFF, "failed: mistyped argument"},
    {0x0213, 0xFFFF, "failed: resource limitation"},
    {0xFF00, 0xFF00, "pending"},
    {0xB000, 0xF000, "warning"},
    {0xA000, 0xF000, "failed"},
    {0xC000, 0xF000, "failed"},
};

bool IsNormalized(uint16_t commandField) {
    return (commandField & 0x7F00) == 0x0100;
}

}  // namespace

const char* FindMeaning(std::span<const Meaning> meanings, uint16_t status) {
    for (const Meaning& m : meanings)
        if ((status & m.mask) == m.status) return m.words;
    return nullptr;
}

std::string_view CommandFieldName(uint16_t commandField) {
    struct Name {
        uint16_t field;
        const char* name;
    };
    static constexpr Name NAMES[] = {
        {C_STORE_RQ, "C-STORE-RQ"},
        {C_STORE_RSP, "C-STORE-RSP"},
        {C_GET_RQ, "C-GET-RQ"},
        {C_GET_RSP, "C-GET-RSP"},
        {C_FIND_RQ, "C-FIND-RQ"},
        {C_FIND_RSP, "C-FIND-RSP"},
        {C_MOVE_RQ, "C-MOVE-RQ"},
        {C_MOVE_RSP, "C-MOVE-RSP"},
        {C_ECHO_RQ, "C-ECHO-RQ"},
        {C_ECHO_RSP, "C-ECHO-RSP"},
        {N_EVENT_REPORT_RQ, "N-EVENT-REPORT-RQ"},
        {N_EVENT_REPORT_RSP, "N-EVENT-REPORT-RSP"},
        {N_GET_RQ, "N-GET-RQ"},
        {N_GET_RSP, "N-GET-RSP"},
        {N_SET_RQ, "N-SET-RQ"},
        {N_SET_RSP, "N-SET-RSP"},
        {N_ACTION_RQ, "N-ACTION-RQ"},
        {N_ACTION_RSP, "N-ACTION-RSP"},
        {N_CREATE_RQ, "N-CREATE-RQ"},
        {N_CREATE_RSP, "N-CREATE-RSP"},
        {N_DELETE_RQ, "N-DELETE-RQ"},
        {N_DELETE_RSP, "N-DELETE-RSP"},
        {C_CANCEL_RQ, "C-CANCEL-RQ"},
    };
    for (const Name& n : NAMES)
        if (n.field == commandField) return n.name;
    return {};
}

std::string_view StatusMeaning(uint16_t status, uint16_t commandField) {
    const char* words = nullptr;
    const auto request = static_cast<uint16_t>(commandField & 0x7FFF);
    // A C-GET's statuses are a C-MOVE's.
    if (request == C_FIND_RQ || request == C_MOVE_RQ || request == C_GET_RQ) {
        words = FindMeaning(request == C_FIND_RQ ? std::span<const Meaning>(FIND_MEANINGS)
                                                 : std::span<const Meaning>(MOVE_MEANINGS),
                            status);
        if (words == nullptr) words = FindMeaning(QUERY_GENERAL_MEANINGS, status);
        return words != nullptr ? words : "unknown status";
    }
    if (commandField == C_STORE_RQ || commandField == C_STORE_RSP) {
        words = FindMeaning(STORAGE_MEANINGS, status);
    } else if (IsNormalized(commandField)) {
        const std::string_view normalized = NStatusMeaning(status);
        if (!normalized.empty()) return normalized;
    }
    if (words == nullptr) words = FindMeaning(SHARED_MEANINGS, status);
    return words != nullptr ? words : "failure";
}

std::string StatusText(uint16_t status, uint16_t commandField) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%04X", static_cast<unsigned>(status));
    return "status " + std::string(hex) + " (" + std::string(StatusMeaning(status, commandField)) +
           ")";
}

uint16_t NextMessageID() {
    return static_cast<uint16_t>(NextOddCounterValue());
}

CommandSet::CommandSet() {
    list_.Append(data::NewUlElement(tag::CommandGroupLength, 0));
}

CommandSet& CommandSet::AppendUid(Tag tag, std::string_view uid) {
    std::string padded(uid);
    if (padded.size() % 2 != 0) padded += '\0';
    Add(data::NewTextElement(tag, "UI", padded));
    return *this;
}

CommandSet& CommandSet::AppendUs(Tag tag, uint16_t value) {
    Add(data::NewUsElement(tag, value));
    return *this;
}

CommandSet& CommandSet::AppendBytes(Tag tag, const char* vr, std::span<const uint8_t> value) {
    Add(data::NewElement(tag.group, tag.element, static_cast<uint32_t>(value.size()), value.data(),
                         vr));
    return *this;
}

void CommandSet::Add(DicomElement* element) {
    list_.Append(element);
    groupLength_ += 8 + element->length;
    DicomElement& groupLength = *list_[0];
    for (int i = 0; i < 4; ++i)
        groupLength.value[i] = static_cast<uint8_t>(groupLength_ >> (8 * i));
}

CommandSet CancelRequest(uint16_t messageIdBeingRespondedTo) {
    CommandSet command;
    command.AppendUs(tag::CommandField, C_CANCEL_RQ)
        .AppendUs(tag::MessageIDBeingRespondedTo, messageIdBeingRespondedTo)
        .AppendUs(tag::CommandDataSetType, NO_DATA_SET);
    return command;
}

}  // namespace dicomlib::net
