// Query and worklist records in the DICOM JSON model, as a DICOMweb search answers: one object
// per record, attributes keyed by their tag as eight hex digits, each with "vr" and "Value";
// empty fields are left out and worklist step fields sit in the item of (0040,0100).
#pragma once

#include <string>

namespace cli {

// The object of one live record of kind ("STUDY", "SERIES", "IMAGE" or "WORKLIST").
std::string RecordJson(const char* kind, const void* record);

// A text as a JSON string: Windows-1252 to UTF-8, quotes, backslashes and control characters
// escaped.
std::string JsonString(const std::string& text);

}  // namespace cli
