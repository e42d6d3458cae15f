#include "services/CommandSet.h"

#include <string>

#include "data/Tags.h"
#include "net/Association.h"

namespace dicomlib::services {

uint16_t NextMessageID() {
    return static_cast<uint16_t>(net::NextOddCounterValue());
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

}  // namespace dicomlib::services
