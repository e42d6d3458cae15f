// The data dictionary: a constant table of tags with their VR and descriptive name, compiled
// into the library. Names are Windows-1252 text, as the table has always held them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "zedavura.h"

namespace dicomlib::data {

struct DictionaryEntry {
    uint16_t group;
    uint16_t element;
    char vr[4];  // two letters, then NUL NUL
    const char* name;
};

// The rows as generated from the dictionary source (generated/DictionaryTable.cpp), the
// terminating entry included. Everything else goes through DictionaryTable().
extern const DictionaryEntry DICTIONARY_ROWS[];
extern const std::size_t DICTIONARY_ROW_COUNT;

// The table in its own order, the terminating entry (empty VR) included.
std::span<const DictionaryEntry> DictionaryTable();

// The first entry with this tag, or null.
const DictionaryEntry* FindDictionaryEntry(uint16_t group, uint16_t element);

// Sets the element's VR from the dictionary, "UN" when the tag is unknown.
void LookupVR(DicomElement& element);

// The tag's name, setting the element's VR from the dictionary as a side effect; for an
// unknown tag "*** Unidentified ***" and the VR is left as it was. Constant text.
const char* LookupTagName(DicomElement& element);

}  // namespace dicomlib::data
