#include "web/JsonDataSet.h"

#include "web/JsonModel.h"

namespace dicomlib::web {

net::Result<ElementList> DataSetFromJsonText(std::string_view text) {
    Json parsed = Json::parse(text.begin(), text.end(), nullptr, false);
    if (parsed.is_discarded()) return net::Error{net::ErrorCode::Malformed, "not JSON"};
    if (parsed.is_array() && parsed.size() == 1) parsed = parsed[0];
    if (!parsed.is_object()) return net::Error{net::ErrorCode::Malformed, "not one JSON object"};
    return DataSetFromJson(parsed);
}

}  // namespace dicomlib::web
