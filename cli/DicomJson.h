// Elements in the DICOM JSON model, as DICOMweb answers: one object per data set, attributes
// keyed by their tag in eight upper-case hex digits, in list order. Sequences of undefined
// length come flat (items and delimiters in the list); defined-length sequences and items hold
// explicit VR little endian bytes, which are opened here. Texts are Windows-1252.
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
};

ElementView ViewOf(const DicomElement& e);

// One JSON object of the attributes in views.
std::string JsonObject(const std::vector<ElementView>& views);

// Text with its padding (trailing blanks and NULs, leading blanks) removed.
std::string TrimmedText(const ElementView& e);

}  // namespace cli
