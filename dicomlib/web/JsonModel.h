// Data sets in the DICOM JSON model, as DICOMweb servers answer with them, read into element
// lists: one element per attribute in tag order, values encoded as explicit VR little endian
// holds them, sequences flat (items of undefined length with their delimiters). JSON texts are
// UTF-8; the list's are Windows-1252, the library's own, so a character that code page lacks
// becomes '?' and Specific Character Set is left out. Binary values (InlineBinary, BulkDataURI)
// are left out as well: nothing read here needs them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "data/ElementList.h"
#include "net/Result.h"

namespace dicomlib::web {

using Json = nlohmann::json;

// How deeply sequences may nest in a data set read from JSON.
constexpr int MAX_JSON_DEPTH = 64;

// Reads one data set (a JSON object). A malformed one gives an error naming the attribute.
net::Result<ElementList> DataSetFromJson(const Json& object);

// UTF-8 text in Windows-1252; '?' for each character the code page lacks or each byte that is
// not UTF-8.
std::string Utf8ToWindows1252(std::string_view text);
// Windows-1252 text in UTF-8; the code page's five unassigned bytes become '?'.
std::string Windows1252ToUtf8(std::string_view text);

// The first value of an attribute of a JSON data set as text ("" when it has none; numbers as
// their decimal text, a person name as its alphabetic group), kept in UTF-8.
std::string FirstText(const Json& dataSet, Tag tag);
// The first value as a whole number; none when absent or not a number.
std::optional<int64_t> FirstNumber(const Json& dataSet, Tag tag);
// The items of a sequence attribute (an array of objects), or null when it has none.
const Json* ItemsOf(const Json& dataSet, Tag tag);

// The key of a tag in the model: eight upper-case hex digits.
std::string TagKey(Tag tag);

}  // namespace dicomlib::web
