#include "DicomJson.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "Text.h"
#include "zedavura.h"

namespace cli {
namespace {

struct Attribute {
    uint32_t tag;
    std::string json;  // "\"gggggggg\":{...}"
};

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0'))
        text.remove_suffix(1);
    return text;
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (std::size_t from = 0;;) {
        const std::size_t at = text.find(separator, from);
        parts.push_back(text.substr(from, at == std::string_view::npos ? text.npos : at - from));
        if (at == std::string_view::npos) return parts;
        from = at + 1;
    }
}

// IS and DS values are JSON numbers when they read as one; anything else stays a string.
std::string NumberOrString(std::string_view text, bool integer) {
    std::string_view digits = text;
    if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
    const char* end = digits.data() + digits.size();
    char out[32];
    if (integer) {
        long long value = 0;
        const auto parsed = std::from_chars(digits.data(), end, value);
        if (parsed.ec == std::errc() && parsed.ptr == end && !digits.empty())
            return std::to_string(value);
    } else {
        double value = 0;
        const auto parsed = std::from_chars(digits.data(), end, value);
        if (parsed.ec == std::errc() && parsed.ptr == end && !digits.empty() &&
            std::isfinite(value)) {
            const auto written = std::to_chars(out, out + sizeof out, value);
            if (written.ec == std::errc()) return std::string(out, written.ptr);
        }
    }
    return JsonString(std::string(text));
}

std::string PersonName(std::string_view text) {
    static const char* const groups[] = {"Alphabetic", "Ideographic", "Phonetic"};
    const auto parts = Split(text, '=');
    std::string json = "{";
    for (std::size_t i = 0; i < parts.size() && i < 3; ++i) {
        if (parts[i].empty()) continue;
        if (json.size() > 1) json += ',';
        json += '"';
        json += groups[i];
        json += "\":" + JsonString(std::string(parts[i]));
    }
    return json + "}";
}

std::string ValueJson(const char vr[3], std::string_view text) {
    std::string values;
    for (std::string_view part : Split(text, '\\')) {
        part = Trimmed(part);
        if (!values.empty()) values += ',';
        if (part.empty())
            values += "null";
        else if (std::strcmp(vr, "PN") == 0)
            values += PersonName(part);
        else if (std::strcmp(vr, "IS") == 0 || std::strcmp(vr, "DS") == 0)
            values += NumberOrString(part, vr[0] == 'I');
        else
            values += JsonString(std::string(part));
    }
    return "[" + values + "]";
}

std::string TagKey(uint32_t tag) {
    char key[12];
    std::snprintf(key, sizeof key, "\"%08X\"", static_cast<unsigned>(tag));
    return key;
}

std::string Object(std::vector<Attribute> attributes) {
    std::sort(attributes.begin(), attributes.end(),
              [](const Attribute& a, const Attribute& b) { return a.tag < b.tag; });
    std::string json = "{";
    for (const auto& a : attributes) {
        if (json.size() > 1) json += ',';
        json += a.json;
    }
    return json + "}";
}

}  // namespace

std::string JsonString(const std::string& text) {
    const std::string utf8 = ToUtf8(text);
    std::string json = "\"";
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", byte);
            json += escaped;
        } else {
            json += c;
        }
    }
    return json + "\"";
}

std::string RecordJson(const char* kind, const void* record) {
    std::vector<Attribute> top, step;
    RecordField field;
    for (uint32_t i = 0; DescribeRecordField(kind, i, &field) == 1; ++i) {
        const char* text = RecordText(record, i);
        if (field.group == 0 || text == nullptr || Trimmed(text).empty()) continue;
        const uint32_t tag = (uint32_t{field.group} << 16) | field.element;
        std::string json = TagKey(tag) + ":{\"vr\":\"" + field.vr +
                           "\",\"Value\":" + ValueJson(field.vr, Trimmed(text)) + "}";
        (field.inStepSequence ? step : top).push_back({tag, std::move(json)});
    }
    if (!step.empty()) {
        top.push_back({0x00400100, TagKey(0x00400100) + ":{\"vr\":\"SQ\",\"Value\":[" +
                                       Object(std::move(step)) + "]}"});
    }
    return Object(std::move(top));
}

}  // namespace cli
