#include "DicomJson.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

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

void AppendJsonString(std::string& out, std::string_view utf8) {
    out += '"';
    for (char c : utf8) {
        const auto byte = static_cast<uint8_t>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            out += escape;
        } else {
            out += c;
        }
    }
    out += '"';
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

// A JSON number as the grammar allows it: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
bool IsJsonNumber(std::string_view s) {
    std::size_t i = 0;
    auto digits = [&] {
        const std::size_t from = i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9')
            ++i;
        return i - from;
    };
    if (i < s.size() && s[i] == '-') ++i;
    const std::size_t intStart = i;
    const std::size_t intDigits = digits();
    if (intDigits == 0 || (intDigits > 1 && s[intStart] == '0')) return false;
    if (i < s.size() && s[i] == '.') {
        ++i;
        if (digits() == 0) return false;
    }
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        if (digits() == 0) return false;
    }
    return i == s.size();
}

// A decimal or integer string as a JSON number; a text that is no number stays a string.
void AppendNumberText(std::string& out, const std::string& text) {
    if (IsJsonNumber(text)) {
        out += text;
        return;
    }
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (!text.empty() && *end == '\0' && std::isfinite(v)) {
        char number[32];
        std::snprintf(number, sizeof number, "%.15g", v);
        out += number;
    } else {
        AppendJsonString(out, text);
    }
}

void AppendPersonName(std::string& out, const std::string& name) {
    static const char* const GROUPS[] = {"Alphabetic", "Ideographic", "Phonetic"};
    const std::vector<std::string> groups = Split(name, '=');
    out += '{';
    bool first = true;
    for (std::size_t g = 0; g < groups.size() && g < 3; ++g) {
        if (groups[g].empty()) continue;
        if (!first) out += ',';
        first = false;
        AppendJsonString(out, GROUPS[g]);
        out += ':';
        AppendJsonString(out, groups[g]);
    }
    out += '}';
}

void AppendBase64(std::string& out, const uint8_t* p, std::size_t n) {
    static const char* const ALPHABET =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    out += '"';
    for (std::size_t i = 0; i < n; i += 3) {
        const uint32_t chunk = (uint32_t{p[i]} << 16) | (i + 1 < n ? uint32_t{p[i + 1]} << 8 : 0) |
                               (i + 2 < n ? p[i + 2] : 0);
        out += ALPHABET[(chunk >> 18) & 63];
        out += ALPHABET[(chunk >> 12) & 63];
        out += i + 1 < n ? ALPHABET[(chunk >> 6) & 63] : '=';
        out += i + 2 < n ? ALPHABET[chunk & 63] : '=';
    }
    out += '"';
}

// Binary numbers, little endian, one JSON number each.
void AppendBinaryNumbers(std::string& out, const ElementView& e) {
    const bool wide = IsAnyVr(e, {"FD", "SV", "UV"});
    const bool narrow = IsAnyVr(e, {"US", "SS"});
    const std::size_t size = wide ? 8 : narrow ? 2 : 4;
    for (std::size_t at = 0; at + size <= e.length; at += size) {
        if (at != 0) out += ',';
        uint64_t bits = 0;
        for (std::size_t b = 0; b < size; ++b)
            bits |= uint64_t{e.value[at + b]} << (8 * b);
        char number[32];
        double real = 0;
        if (IsVr(e, "FL") || IsVr(e, "FD")) {
            if (IsVr(e, "FL")) {
                float f;
                const auto narrowBits = static_cast<uint32_t>(bits);
                std::memcpy(&f, &narrowBits, sizeof f);
                real = f;
            } else {
                std::memcpy(&real, &bits, sizeof real);
            }
            if (!std::isfinite(real)) {
                out += "null";
                continue;
            }
            std::snprintf(number, sizeof number, "%.17g", real);
        } else if (IsVr(e, "SS")) {
            std::snprintf(number, sizeof number, "%d", static_cast<int16_t>(bits));
        } else if (IsVr(e, "SL")) {
            std::snprintf(number, sizeof number, "%d", static_cast<int32_t>(bits));
        } else if (IsVr(e, "SV")) {
            std::snprintf(number, sizeof number, "%lld", static_cast<long long>(bits));
        } else {
            std::snprintf(number, sizeof number, "%llu", static_cast<unsigned long long>(bits));
        }
        out += number;
    }
}

void AppendValue(std::string& out, const ElementView& e, const std::string& characterSet) {
    if (IsAnyVr(e, {"OB", "OD", "OF", "OL", "OV", "OW", "UN"}) || e.vr[0] == 0) {
        out += ",\"InlineBinary\":";
        AppendBase64(out, e.value, e.length);
        return;
    }
    out += ",\"Value\":[";
    if (IsAnyVr(e, {"US", "SS", "UL", "SL", "FL", "FD", "SV", "UV"})) {
        AppendBinaryNumbers(out, e);
    } else if (IsVr(e, "AT")) {
        for (uint32_t at = 0; at + 4 <= e.length; at += 4) {
            char tag[16];
            std::snprintf(tag, sizeof tag, "%s\"%04X%04X\"", at != 0 ? "," : "",
                          e.value[at] | (e.value[at + 1] << 8),
                          e.value[at + 2] | (e.value[at + 3] << 8));
            out += tag;
        }
    } else {
        const std::string text =
            DecodedText(e.characterSet != nullptr ? e.characterSet : characterSet.c_str(), e.vr,
                        e.value, e.length);
        const bool single = IsAnyVr(e, {"LT", "ST", "UT", "UR"});
        const std::vector<std::string> values = single ? std::vector{text} : Split(text, '\\');
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (i != 0) out += ',';
            const std::string value = Trim(values[i], !single);
            if (value.empty()) {
                out += "null";
            } else if (IsVr(e, "PN")) {
                AppendPersonName(out, value);
            } else if (IsVr(e, "DS") || IsVr(e, "IS")) {
                AppendNumberText(out, value);
            } else {
                AppendJsonString(out, value);
            }
        }
    }
    out += ']';
}

std::size_t AppendItems(std::string& out, const Views& views, std::size_t i,
                        const std::string& characterSet);

// The attributes from views[i] to the end, or to the item delimiter that closes them; returns
// where reading goes on.
std::size_t AppendObject(std::string& out, const Views& views, std::size_t i, bool inItem,
                         std::string characterSet) {
    out += '{';
    bool first = true;
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
        std::snprintf(key, sizeof key, "\"%04X%04X\":", e.group, e.element);
        out += first ? "" : ",";
        first = false;
        out += key;
        out += "{\"vr\":";
        AppendJsonString(out, std::string(e.vr, e.vr[0] != 0 ? 2 : 0));
        if (IsVr(e, "SQ")) {
            out += ",\"Value\":";
            if (e.length == UNDEFINED_LENGTH) {
                i = AppendItems(out, views, i, characterSet);
            } else {
                AppendItems(out, Open(e.value, e.length), 0, characterSet);
            }
        } else if (e.length == UNDEFINED_LENGTH) {
            std::string fragments;  // encapsulated data: its fragments are not shown
            i = AppendItems(fragments, views, i, characterSet);
        } else if (e.length != 0 && e.value != nullptr) {
            AppendValue(out, e, characterSet);
        }
        out += '}';
    }
    out += '}';
    return i;
}

// The items from views[i] up to the sequence delimiter (or the end), as a JSON array.
std::size_t AppendItems(std::string& out, const Views& views, std::size_t i,
                        const std::string& characterSet) {
    out += '[';
    bool first = true;
    while (i < views.size()) {
        const ElementView& e = views[i++];
        if (e.group == 0xFFFE && e.element == 0xE0DD) break;
        if (e.group != 0xFFFE || e.element != 0xE000) continue;
        out += first ? "" : ",";
        first = false;
        if (e.length == UNDEFINED_LENGTH) {
            i = AppendObject(out, views, i, true, characterSet);
        } else {
            AppendObject(out, Open(e.value, e.length), 0, true, characterSet);
        }
    }
    out += ']';
    return i;
}

}  // namespace

ElementView ViewOf(const DicomElement& e) {
    return {e.group, e.element, {e.vr[0], e.vr[1]}, e.length, e.value, nullptr};
}

std::string JsonObject(const std::vector<ElementView>& views, const std::string& characterSet) {
    std::string out;
    AppendObject(out, views, 0, false, characterSet);
    return out;
}

std::string TrimmedText(const ElementView& e) {
    if (e.value == nullptr || e.length == UNDEFINED_LENGTH) return {};
    return Trim(std::string(reinterpret_cast<const char*>(e.value), e.length));
}

}  // namespace cli
