// One data set in the DICOM JSON model read from text, for callers that do not see the JSON
// library: the text is one JSON object (an array holding exactly one is taken as well).
#pragma once

#include <string_view>

#include "data/ElementList.h"
#include "net/Result.h"

namespace dicomlib::web {

// The data set, as DataSetFromJson reads it; an error saying why for text that is not JSON or
// not one data set in the model.
net::Result<ElementList> DataSetFromJsonText(std::string_view text);

}  // namespace dicomlib::web
