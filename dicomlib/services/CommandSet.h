// Command sets of the user-side services: built element by element in the order the request
// lists them, with (0000,0000) kept first and always equal to the sum of (8 + value length) of
// the elements after it, and the odd Message IDs every request carries.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "data/ElementList.h"

namespace dicomlib::services {

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

}  // namespace dicomlib::services
