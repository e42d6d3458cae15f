#include "web/JsonModel.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "data/Dictionary.h"
#include "data/Tags.h"

namespace dicomlib::web {
namespace {

bool IsVr(const char vr[2], const char* name) {
    return vr[0] == name[0] && vr[1] == name[1];
}

bool IsAnyVr(const char vr[2], std::initializer_list<const char*> names) {
    return std::any_of(names.begin(), names.end(), [&](const char* n) { return IsVr(vr, n); });
}

std::optional<Tag> ParseTagKey(std::string_view key) {
    if (key.size() != 8) return std::nullopt;
    uint32_t value = 0;
    for (char c : key) {
        int digit = -1;
        if (c >= '0' && c <= '9') digit = c - '0';
        if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        if (digit < 0) return std::nullopt;
        value = (value << 4) | static_cast<uint32_t>(digit);
    }
    return Tag{static_cast<uint16_t>(value >> 16), static_cast<uint16_t>(value & 0xFFFF)};
}

void AppendLittleEndian(std::string& out, uint64_t bits, std::size_t size) {
    for (std::size_t b = 0; b < size; ++b)
        out += static_cast<char>((bits >> (8 * b)) & 0xFF);
}

// A number as DS or IS text: integers as they are, others in the shortest form that reads back
// as the same double.
std::string NumberText(const Json& v) {
    if (v.is_number_integer()) return std::to_string(v.get<int64_t>());
    if (v.is_number_unsigned()) return std::to_string(v.get<uint64_t>());
    std::string text = v.dump();
    if (text.size() > 2 && text.compare(text.size() - 2, 2, ".0") == 0)
        text.resize(text.size() - 2);
    return text;
}

// One binary number of the VR; false when the value is no number or does not fit.
bool AppendBinary(std::string& out, const char vr[2], const Json& v) {
    if (!v.is_number()) return false;
    if (IsVr(vr, "FL") || IsVr(vr, "FD")) {
        const double d = v.get<double>();
        if (IsVr(vr, "FD")) {
            uint64_t bits;
            std::memcpy(&bits, &d, sizeof bits);
            AppendLittleEndian(out, bits, 8);
        } else {
            const auto f = static_cast<float>(d);
            uint32_t bits;
            std::memcpy(&bits, &f, sizeof bits);
            AppendLittleEndian(out, bits, 4);
        }
        return true;
    }
    if (v.is_number_float()) return false;
    const bool isSigned = IsAnyVr(vr, {"SS", "SL", "SV"});
    const std::size_t size = IsAnyVr(vr, {"US", "SS"}) ? 2 : IsAnyVr(vr, {"UL", "SL"}) ? 4 : 8;
    if (isSigned) {
        if (v.is_number_unsigned() && v.get<uint64_t>() > uint64_t{INT64_MAX}) return false;
        const int64_t n = v.get<int64_t>();
        const int64_t lowest = size == 8 ? INT64_MIN : -(int64_t{1} << (8 * size - 1));
        const int64_t highest = size == 8 ? INT64_MAX : (int64_t{1} << (8 * size - 1)) - 1;
        if (n < lowest || n > highest) return false;
        AppendLittleEndian(out, static_cast<uint64_t>(n), size);
    } else {
        if (v.is_number_integer() && v.get<int64_t>() < 0) return false;
        const uint64_t n = v.get<uint64_t>();
        if (size < 8 && n >= (uint64_t{1} << (8 * size))) return false;
        AppendLittleEndian(out, n, size);
    }
    return true;
}

// A person name object as its component groups, "=" between them; trailing empty ones left out.
std::optional<std::string> PersonName(const Json& v) {
    if (v.is_null()) return std::string();
    if (v.is_string()) return v.get<std::string>();  // seen from some servers
    if (!v.is_object()) return std::nullopt;
    std::string groups[3];
    static const char* const NAMES[] = {"Alphabetic", "Ideographic", "Phonetic"};
    for (int g = 0; g < 3; ++g) {
        const auto at = v.find(NAMES[g]);
        if (at == v.end() || at->is_null()) continue;
        if (!at->is_string()) return std::nullopt;
        groups[g] = at->get<std::string>();
    }
    std::string name = groups[0] + "=" + groups[1] + "=" + groups[2];
    while (!name.empty() && name.back() == '=')
        name.pop_back();
    return name;
}

class Reader {
  public:
    net::Result<ElementList> Read(const Json& object) {
        ElementList list;
        if (!Append(list, object, 0)) return net::Error{net::ErrorCode::Malformed, failure_};
        return list;
    }

  private:
    bool Fail(std::string why) {
        failure_ = std::move(why);
        return false;
    }

    bool Append(ElementList& list, const Json& object, int depth) {
        if (!object.is_object()) return Fail("a data set that is not a JSON object");
        if (depth > MAX_JSON_DEPTH) return Fail("sequences nested more than 64 deep");
        std::vector<std::pair<Tag, const Json*>> attributes;
        for (const auto& [key, value] : object.items()) {
            const auto tag = ParseTagKey(key);
            if (!tag) return Fail("\"" + key.substr(0, 40) + "\" is not a tag of 8 hex digits");
            attributes.emplace_back(*tag, &value);
        }
        std::sort(attributes.begin(), attributes.end(), [](const auto& a, const auto& b) {
            return a.first.group != b.first.group ? a.first.group < b.first.group
                                                  : a.first.element < b.first.element;
        });
        for (const auto& [tag, value] : attributes) {
            if (tag == tag::SpecificCharacterSet) continue;
            if (!AppendAttribute(list, tag, *value, depth)) {
                if (failure_.rfind("attribute ", 0) != 0)
                    failure_ = "attribute " + TagKey(tag) + ": " + failure_;
                return false;
            }
        }
        return true;
    }

    bool AppendAttribute(ElementList& list, Tag tag, const Json& attribute, int depth) {
        if (!attribute.is_object()) return Fail("not an object");
        char vr[2] = {0, 0};
        const auto vrAt = attribute.find("vr");
        if (vrAt != attribute.end()) {
            if (!vrAt->is_string() || vrAt->get_ref<const std::string&>().size() != 2)
                return Fail("a vr that is not two letters");
            const std::string& name = vrAt->get_ref<const std::string&>();
            vr[0] = name[0];
            vr[1] = name[1];
        } else if (const auto* entry = data::FindDictionaryEntry(tag.group, tag.element)) {
            vr[0] = entry->vr[0];
            vr[1] = entry->vr[1];
        } else {
            vr[0] = 'U';
            vr[1] = 'N';
        }
        if (attribute.contains("InlineBinary") || attribute.contains("BulkDataURI")) return true;
        const auto valueAt = attribute.find("Value");
        const Json empty = Json::array();
        const Json& values = valueAt != attribute.end() ? *valueAt : empty;
        if (!values.is_array()) return Fail("a Value that is not an array");

        if (IsVr(vr, "SQ")) {
            list.Append(data::NewElement(tag.group, tag.element, UNDEFINED_LENGTH, nullptr, "SQ"));
            for (const Json& item : values) {
                list.Append(data::NewElement(tag::Item.group, tag::Item.element, UNDEFINED_LENGTH,
                                             nullptr, nullptr));
                if (item.is_null()) return Fail("an item that is null");
                if (!Append(list, item, depth + 1)) return false;
                list.Append(data::NewElement(tag::ItemDelimitationItem.group,
                                             tag::ItemDelimitationItem.element, 0, nullptr,
                                             nullptr));
            }
            list.Append(data::NewElement(tag::SequenceDelimitationItem.group,
                                         tag::SequenceDelimitationItem.element, 0, nullptr,
                                         nullptr));
            return true;
        }

        std::string bytes;
        const bool binary = IsAnyVr(vr, {"US", "SS", "UL", "SL", "FL", "FD", "UV", "SV"});
        for (std::size_t i = 0; i < values.size(); ++i) {
            const Json& v = values[i];
            if (binary) {
                if (!AppendBinary(bytes, vr, v))
                    return Fail("a value that is no " + std::string(vr, 2) + " number");
                continue;
            }
            if (IsVr(vr, "AT")) {
                const auto at = v.is_string() ? ParseTagKey(v.get<std::string>()) : std::nullopt;
                if (!at) return Fail("an AT value that is not a tag of 8 hex digits");
                AppendLittleEndian(bytes, at->group, 2);
                AppendLittleEndian(bytes, at->element, 2);
                continue;
            }
            if (i != 0) bytes += '\\';
            if (IsVr(vr, "PN")) {
                const auto name = PersonName(v);
                if (!name) return Fail("a person name that is neither an object nor null");
                bytes += Utf8ToWindows1252(*name);
            } else if (v.is_string()) {
                bytes += Utf8ToWindows1252(v.get_ref<const std::string&>());
            } else if (v.is_number()) {
                bytes += NumberText(v);
            } else if (!v.is_null()) {
                return Fail("a value that is neither text, number nor null");
            }
        }
        if (bytes.size() % 2 != 0) bytes += IsVr(vr, "UI") ? '\0' : ' ';
        if (bytes.size() > UINT32_MAX - 1) return Fail("a value too long for an element");
        list.Append(data::NewElement(tag.group, tag.element, static_cast<uint32_t>(bytes.size()),
                                     bytes.data(), vr));
        return true;
    }

    std::string failure_;
};

}  // namespace

net::Result<ElementList> DataSetFromJson(const Json& object) {
    return Reader().Read(object);
}

namespace {

// Converts with iconv; each character the target lacks, or each byte that does not belong to
// the source, becomes one '?'.
std::string Convert(const char* to, const char* from, std::string_view text, std::size_t growth) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        throw std::runtime_error(std::string("no conversion from ") + from + " to " + to);
    std::string out(text.size() * growth + 4, '\0');
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    char* target = out.data();
    std::size_t targetLeft = out.size();
    while (inLeft > 0) {
        if (iconv(cd, &in, &inLeft, &target, &targetLeft) != static_cast<std::size_t>(-1)) break;
        if (errno == E2BIG || targetLeft == 0) break;  // cannot happen: the room is enough
        std::size_t skip = 1;
        const auto lead = static_cast<uint8_t>(*in);
        if (errno == EILSEQ && lead >= 0xC0 && growth == 1)
            skip = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;  // one UTF-8 sequence
        skip = std::min(skip, inLeft);
        in += skip;
        inLeft -= skip;
        *target++ = '?';
        --targetLeft;
    }
    iconv_close(cd);
    out.resize(out.size() - targetLeft);
    return out;
}

bool IsAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; });
}

}  // namespace

std::string Utf8ToWindows1252(std::string_view text) {
    return IsAscii(text) ? std::string(text) : Convert("WINDOWS-1252", "UTF-8", text, 1);
}

std::string Windows1252ToUtf8(std::string_view text) {
    return IsAscii(text) ? std::string(text) : Convert("UTF-8", "WINDOWS-1252", text, 3);
}

std::string TagKey(Tag tag) {
    char key[9];
    std::snprintf(key, sizeof key, "%04X%04X", tag.group, tag.element);
    return key;
}

namespace {

const Json* FirstValue(const Json& dataSet, Tag tag) {
    if (!dataSet.is_object()) return nullptr;
    const auto attribute = dataSet.find(TagKey(tag));
    if (attribute == dataSet.end() || !attribute->is_object()) return nullptr;
    const auto values = attribute->find("Value");
    if (values == attribute->end() || !values->is_array() || values->empty()) return nullptr;
    return &(*values)[0];
}

}  // namespace

std::string FirstText(const Json& dataSet, Tag tag) {
    const Json* v = FirstValue(dataSet, tag);
    if (v == nullptr) return {};
    if (v->is_string()) return v->get<std::string>();
    if (v->is_number()) return NumberText(*v);
    if (v->is_object()) return PersonName(*v).value_or("");
    return {};
}

std::optional<int64_t> FirstNumber(const Json& dataSet, Tag tag) {
    const Json* v = FirstValue(dataSet, tag);
    if (v == nullptr || !(v->is_number_integer() || v->is_number_unsigned())) return std::nullopt;
    if (v->is_number_unsigned() && v->get<uint64_t>() > uint64_t{INT64_MAX}) return std::nullopt;
    return v->get<int64_t>();
}

const Json* ItemsOf(const Json& dataSet, Tag tag) {
    if (!dataSet.is_object()) return nullptr;
    const auto attribute = dataSet.find(TagKey(tag));
    if (attribute == dataSet.end() || !attribute->is_object()) return nullptr;
    const auto values = attribute->find("Value");
    if (values == attribute->end() || !values->is_array()) return nullptr;
    return &*values;
}

}  // namespace dicomlib::web
