// Elements in the DICOM JSON model, as DICOMweb answers: one object per data set, attributes
// keyed by their tag in eight upper-case hex digits, in list order. Sequences of undefined
// length come flat (items and delimiters in the list); defined-length sequences and items hold
// explicit VR little endian bytes, which are opened here. Text values are decoded by the
// character set that holds for them (an object's (0008,0005), or the one around it), every
// other text read as Windows-1252: the JSON is UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zedavura.h"

namespace cli {

// An element whose value stays where it is (in a list, or in an enclosing value).
struct ElementView {
    uint16_t group = 0;
    uint16_t element = 0;
    char vr[2] = {0, 0};
    uint32_t length = 0;
    const uint8_t* value = nullptr;
    // The (0008,0005) value the element's text is written in, instead of the object's.
    const char* characterSet = nullptr;
};

ElementView ViewOf(const DicomElement& e);

// One JSON object of the attributes in views; characterSet is the (0008,0005) value around it
// (its own (0008,0005) takes over).
std::string JsonObject(const std::vector<ElementView>& views, const std::string& characterSet = "");

// Text with its padding (trailing blanks and NULs, leading blanks) removed.
std::string TrimmedText(const ElementView& e);

}  // namespace cli
