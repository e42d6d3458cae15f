#include "DicomJson.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include <nlohmann/json.hpp>

#include "Text.h"

namespace cli {
namespace {

using Views = std::vector<ElementView>;

bool IsVr(const ElementView& e, const char* vr) {
    return e.vr[0] == vr[0] && e.vr[1] == vr[1];
}

bool IsAnyVr(const ElementView& e, std::initializer_list<const char*> vrs) {
    for (const char* vr : vrs) {
        if (IsVr(e, vr)) return true;
    }
    return false;
}

uint32_t U32At(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// The elements of an explicit VR little endian value, flat. Stops where an element does not
// fit: a damaged value shows what precedes the damage.
Views Open(const uint8_t* value, uint32_t length) {
    Views views;
    std::span<const uint8_t> bytes(value, value != nullptr ? length : 0);
    std::size_t pos = 0;
    while (bytes.size() - pos >= 8) {
        ElementView e;
        const uint8_t* p = bytes.data() + pos;
        e.group = static_cast<uint16_t>(p[0] | (p[1] << 8));
        e.element = static_cast<uint16_t>(p[2] | (p[3] << 8));
        if (e.group == 0xFFFE) {
            e.length = U32At(p + 4);
            pos += 8;
        } else {
            e.vr[0] = static_cast<char>(p[4]);
            e.vr[1] = static_cast<char>(p[5]);
            if (IsAnyVr(e, {"OB", "OD", "OF", "OL", "OV", "OW", "SQ", "SV", "UC", "UN", "UR", "UT",
                            "UV"})) {
                if (bytes.size() - pos < 12) break;
                e.length = U32At(p + 8);
                pos += 12;
            } else {
                e.length = static_cast<uint32_t>(p[6] | (p[7] << 8));
                pos += 8;
            }
        }
        if (e.length != UNDEFINED_LENGTH) {
            if (e.length > bytes.size() - pos) break;
            e.value = e.length != 0 ? bytes.data() + pos : nullptr;
            pos += e.length;
        }
        views.push_back(e);
    }
    return views;
}

using Json = nlohmann::ordered_json;

// Decimal strings that are JSON numbers go out as the text they are, not through a double:
// the tree holds them as bytes of this subtype, which Write copies as they stand.
constexpr std::uint64_t DECIMAL_TEXT = 1;

Json Decimal(const std::string& text) {
    return Json::binary(std::vector<uint8_t>(text.begin(), text.end()), DECIMAL_TEXT);
}

// The tree as compact JSON: what nlohmann writes, with decimal text in place.
void Write(std::string& out, const Json& j) {
    if (j.is_object()) {
        out += '{';
        bool first = true;
        for (const auto& [key, value] : j.items()) {
            out += first ? "" : ",";
            first = false;
            out += Json(key).dump();
            out += ':';
            Write(out, value);
        }
        out += '}';
    } else if (j.is_array()) {
        out += '[';
        for (std::size_t i = 0; i < j.size(); ++i) {
            if (i != 0) out += ',';
            Write(out, j[i]);
        }
        out += ']';
    } else if (j.is_binary()) {
        const auto& bytes = j.get_binary();
        out.append(bytes.begin(), bytes.end());
    } else {
        out += j.dump(-1, ' ', false, Json::error_handler_t::replace);
    }
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t at; (at = text.find(separator, start)) != std::string::npos; start = at + 1)
        parts.push_back(text.substr(start, at - start));
    parts.push_back(text.substr(start));
    return parts;
}

// Without trailing blanks and NULs; leading blanks go too unless the text is a paragraph.
std::string Trim(const std::string& text, bool leading = true) {
    const std::size_t last = text.find_last_not_of(" \0", std::string::npos, 2);
    if (last == std::string::npos) return {};
    const std::size_t first = leading ? text.find_first_not_of(' ') : 0;
    return text.substr(first, last - first + 1);
}

// A decimal or integer string as a JSON number; a text that is no number stays a string.
Json NumberJson(const std::string& text) {
    // A JSON number as the grammar allows it is kept as written.
    if (Json::accept(text) && !text.empty() &&
        (text[0] == '-' || (text[0] >= '0' && text[0] <= '9')))
        return Decimal(text);
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (!text.empty() && *end == '\0' && std::isfinite(v)) {
        char number[32];
        std::snprintf(number, sizeof number, "%.15g", v);
        return Decimal(number);
    }
    return text;
}

Json PersonNameJson(const std::string& name) {
    static const char* const GROUPS[] = {"Alphabetic", "Ideographic", "Phonetic"};
    const std::vector<std::string> groups = Split(name, '=');
    Json person = Json::object();
    for (std::size_t g = 0; g < groups.size() && g < 3; ++g) {
        if (groups[g].empty()) continue;
        person[GROUPS[g]] = groups[g];
    }
    return person;
}

std::string Base64(const uint8_t* p, std::size_t n) {
    static const char* const ALPHABET =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < n; i += 3) {
        const uint32_t chunk = (uint32_t{p[i]} << 16) | (i + 1 < n ? uint32_t{p[i + 1]} << 8 : 0) |
                               (i + 2 < n ? p[i + 2] : 0);
        out += ALPHABET[(chunk >> 18) & 63];
        out += ALPHABET[(chunk >> 12) & 63];
        out += i + 1 < n ? ALPHABET[(chunk >> 6) & 63] : '=';
        out += i + 2 < n ? ALPHABET[chunk & 63] : '=';
    }
    return out;
}

// Binary numbers, little endian, one JSON number each.
void AppendBinaryNumbers(Json& values, const ElementView& e) {
    const bool wide = IsAnyVr(e, {"FD", "SV", "UV"});
    const bool narrow = IsAnyVr(e, {"US", "SS"});
    const std::size_t size = wide ? 8 : narrow ? 2 : 4;
    for (std::size_t at = 0; at + size <= e.length; at += size) {
        uint64_t bits = 0;
        for (std::size_t b = 0; b < size; ++b)
            bits |= uint64_t{e.value[at + b]} << (8 * b);
        if (IsVr(e, "FL") || IsVr(e, "FD")) {
            double real = 0;
            if (IsVr(e, "FL")) {
                float f;
                const auto narrowBits = static_cast<uint32_t>(bits);
                std::memcpy(&f, &narrowBits, sizeof f);
                real = f;
            } else {
                std::memcpy(&real, &bits, sizeof real);
            }
            values.push_back(std::isfinite(real) ? Json(real) : Json(nullptr));
        } else if (IsVr(e, "SS")) {
            values.push_back(static_cast<int16_t>(bits));
        } else if (IsVr(e, "SL")) {
            values.push_back(static_cast<int32_t>(bits));
        } else if (IsVr(e, "SV")) {
            values.push_back(static_cast<int64_t>(bits));
        } else {
            values.push_back(bits);
        }
    }
}

// The value of an attribute that is no sequence: "InlineBinary" or "Value".
void SetValue(Json& attribute, const ElementView& e, const std::string& characterSet) {
    if (IsAnyVr(e, {"OB", "OD", "OF", "OL", "OV", "OW", "UN"}) || e.vr[0] == 0) {
        attribute["InlineBinary"] = Base64(e.value, e.length);
        return;
    }
    Json values = Json::array();
    if (IsAnyVr(e, {"US", "SS", "UL", "SL", "FL", "FD", "SV", "UV"})) {
        AppendBinaryNumbers(values, e);
    } else if (IsVr(e, "AT")) {
        for (uint32_t at = 0; at + 4 <= e.length; at += 4) {
            char tag[16];
            std::snprintf(tag, sizeof tag, "%04X%04X", e.value[at] | (e.value[at + 1] << 8),
                          e.value[at + 2] | (e.value[at + 3] << 8));
            values.push_back(tag);
        }
    } else {
        const std::string text =
            DecodedText(e.characterSet != nullptr ? e.characterSet : characterSet.c_str(), e.vr,
                        e.value, e.length);
        const bool single = IsAnyVr(e, {"LT", "ST", "UT", "UR"});
        const std::vector<std::string> parts = single ? std::vector{text} : Split(text, '\\');
        for (const std::string& part : parts) {
            const std::string value = Trim(part, !single);
            if (value.empty()) {
                values.push_back(nullptr);
            } else if (IsVr(e, "PN")) {
                values.push_back(PersonNameJson(value));
            } else if (IsVr(e, "DS") || IsVr(e, "IS")) {
                values.push_back(NumberJson(value));
            } else {
                values.push_back(value);
            }
        }
    }
    attribute["Value"] = std::move(values);
}

std::size_t AppendItems(Json& items, const Views& views, std::size_t i,
                        const std::string& characterSet);

// The attributes from views[i] to the end, or to the item delimiter that closes them; returns
// where reading goes on.
std::size_t ObjectJson(Json& object, const Views& views, std::size_t i, bool inItem,
                       std::string characterSet) {
    object = Json::object();
    while (i < views.size()) {
        const ElementView& e = views[i];
        if (e.group == 0xFFFE) {
            // A sequence delimiter where an item delimiter belongs closes the item as well.
            if (inItem && e.element == 0xE0DD) break;
            ++i;
            if (inItem && e.element == 0xE00D) break;
            continue;
        }
        ++i;
        if (e.element == 0x0000) continue;  // group lengths are not part of the model
        if (e.group == 0x0008 && e.element == 0x0005) characterSet = TrimmedText(e);
        char key[16];
        std::snprintf(key, sizeof key, "%04X%04X", e.group, e.element);
        Json attribute = Json::object();
        attribute["vr"] = std::string(e.vr, e.vr[0] != 0 ? 2 : 0);
        if (IsVr(e, "SQ")) {
            Json items = Json::array();
            if (e.length == UNDEFINED_LENGTH) {
                i = AppendItems(items, views, i, characterSet);
            } else {
                AppendItems(items, Open(e.value, e.length), 0, characterSet);
            }
            attribute["Value"] = std::move(items);
        } else if (e.length == UNDEFINED_LENGTH) {
            Json fragments = Json::array();  // encapsulated data: its fragments are not shown
            i = AppendItems(fragments, views, i, characterSet);
        } else if (e.length != 0 && e.value != nullptr) {
            SetValue(attribute, e, characterSet);
        }
        // The first of two elements with one tag is the one shown, as lookups find it.
        if (!object.contains(key)) object[key] = std::move(attribute);
    }
    return i;
}

// The items from views[i] up to the sequence delimiter (or the end), appended to items.
std::size_t AppendItems(Json& items, const Views& views, std::size_t i,
                        const std::string& characterSet) {
    while (i < views.size()) {
        const ElementView& e = views[i++];
        if (e.group == 0xFFFE && e.element == 0xE0DD) break;
        if (e.group != 0xFFFE || e.element != 0xE000) continue;
        Json item;
        if (e.length == UNDEFINED_LENGTH) {
            i = ObjectJson(item, views, i, true, characterSet);
        } else {
            ObjectJson(item, Open(e.value, e.length), 0, true, characterSet);
        }
        items.push_back(std::move(item));
    }
    return i;
}

}  // namespace

ElementView ViewOf(const DicomElement& e) {
    return {e.group, e.element, {e.vr[0], e.vr[1]}, e.length, e.value, nullptr};
}

std::string JsonObject(const std::vector<ElementView>& views, const std::string& characterSet) {
    Json object;
    ObjectJson(object, views, 0, false, characterSet);
    std::string out;
    Write(out, object);
    return out;
}

std::string TrimmedText(const ElementView& e) {
    if (e.value == nullptr || e.length == UNDEFINED_LENGTH) return {};
    return Trim(std::string(reinterpret_cast<const char*>(e.value), e.length));
}

}  // namespace cli
