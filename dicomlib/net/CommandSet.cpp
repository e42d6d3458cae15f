#include "net/CommandSet.h"

#include <cstdio>
#include <string>

#include "data/Tags.h"
#include "net/Association.h"

namespace dicomlib::net {

std::string_view StatusMeaning(uint16_t status) {
    switch (status) {
        case STATUS_SUCCESS:
            return "success";
        case STATUS_PENDING:
        case STATUS_PENDING_WARNING:
            return "pending";
        case STATUS_CANCEL:
            return "cancelled";
        case STATUS_SOP_CLASS_NOT_SUPPORTED:
            return "refused: SOP class not supported";
        case STATUS_COERCION_OF_DATA_ELEMENTS:
        case STATUS_ELEMENTS_DISCARDED:
        case STATUS_DATA_SET_DOES_NOT_MATCH_WARNING:
            return "warning: stored with changes";
        default:
            break;
    }
    if ((status & 0xFF00) == STATUS_OUT_OF_RESOURCES) return "refused: out of resources";
    if ((status & 0xFF00) == STATUS_DATA_SET_DOES_NOT_MATCH)
        return "error: data set does not match SOP class";
    if ((status & 0xF000) == STATUS_CANNOT_UNDERSTAND) return "error: cannot understand";
    return "failure";
}

std::string StatusText(uint16_t status) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%04X", static_cast<unsigned>(status));
    return "status " + std::string(hex) + " (" + std::string(StatusMeaning(status)) + ")";
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

}  // namespace dicomlib::net
