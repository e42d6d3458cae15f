#include "data/Dump.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <span>

#include "data/Dictionary.h"
#include "data/Encoder.h"
#include "data/Tags.h"
#include "data/TextFile.h"

namespace dicomlib::data {
namespace {

constexpr int MAX_DUMP_DEPTH = 64;
// No dump prints more of a value: of one left in its file, only these first bytes are read.
constexpr std::size_t PRINTED_VALUE_BYTES = 256;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    char small[512];
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    std::string out;
    if (needed < static_cast<int>(sizeof small)) {
        out.assign(small, needed > 0 ? static_cast<std::size_t>(needed) : 0);
    } else {
        out.resize(static_cast<std::size_t>(needed) + 1);
        std::vsnprintf(out.data(), out.size(), format, args);
        out.resize(static_cast<std::size_t>(needed));
    }
    va_end(args);
    return out;
}

std::string VrText(const DicomElement& e) {
    if (e.vr[0] == 0) return {};
    if (e.vr[1] == 0) return std::string(1, e.vr[0]);
    return std::string(e.vr, 2);
}

bool IsItem(const DicomElement& e) {
    return e.group == 0xFFFE && e.element == 0xE000;
}

bool IsContainer(const DicomElement& e) {
    return IsItem(e) || VrIs(e, "SQ");
}

// The first count bytes of the value in host order, the missing ones zero.
void ValueBytes(std::span<const uint8_t> value, void* out, std::size_t count, bool bigEndian) {
    uint8_t bytes[8] = {};
    const std::size_t available = value.size() < count ? value.size() : count;
    std::memcpy(bytes, value.data(), available);
    if (bigEndian) {
        for (std::size_t i = 0; i < count / 2; ++i)
            std::swap(bytes[i], bytes[count - 1 - i]);
    }
    std::memcpy(out, bytes, count);
}

void DumpList(ElementList& list, const LineSink& addLine, bool explicitVr, bool bigEndian,
              int depth, int nesting) {
    FragmentTracker fragments;
    for (DicomElement* e : list) {
        const bool fragment = fragments.IsFragment(*e);
        const char* name = LookupTagName(*e);
        const std::string vr = VrText(*e);
        const std::string prefix = [&] {
            std::string p;
            for (int i = 0; i < depth; ++i)
                p += ".....";
            return p;
        }();
        if (HasValue(*e) && IsContainer(*e) && !fragment && nesting < MAX_DUMP_DEPTH) {
            // A defined-length container is opened, its own line without a value.
            addLine(prefix + Format("(%04X, %04X), %" PRIu32 ", %s - %s", e->group, e->element,
                                    e->length, vr.c_str(), name));
            ElementList nested;
            SplitSequenceValue(*e, nested, explicitVr, bigEndian);
            DumpList(nested, addLine, explicitVr, bigEndian, depth + 1, nesting + 1);
        } else if (HasValue(*e)) {
            if (e->length < 256) {
                addLine(prefix + Format("(%04X, %04X), %" PRIu32 ", %s  \"%s\" - %s", e->group,
                                        e->element, e->length, vr.c_str(),
                                        PrintableValue(*e, bigEndian).c_str(), name));
            } else {
                addLine(prefix + Format("(%04X, %04X), %" PRIu32 ", %s - %s", e->group, e->element,
                                        e->length, vr.c_str(), name));
            }
        } else {
            addLine(prefix +
                    Format("(%04X, %04X), %s - %s", e->group, e->element, vr.c_str(), name));
            if (IsItem(*e) && !fragment) {
                ++depth;
            } else if (e->group == 0xFFFE && e->element == 0xE00D && depth > 0) {
                --depth;
            }
        }
    }
}

void TraceInto(std::vector<std::string>& lines, DicomElement& e, bool explicitVr, int indent,
               bool bigEndian, bool fragment) {
    std::string line(static_cast<std::size_t>(indent), '\t');
    const char* name = LookupTagName(e);
    line += Format("(%04X,%04X), %2d,\t%s", e.group, e.element, static_cast<int32_t>(e.length),
                   VrText(e).c_str());
    if (IsContainer(e) && !fragment && e.length != UNDEFINED_LENGTH && indent < MAX_DUMP_DEPTH) {
        lines.push_back(std::move(line));
        ElementList nested;
        SplitSequenceValue(e, nested, explicitVr, bigEndian);
        FragmentTracker fragments;
        for (DicomElement* n : nested)
            TraceInto(lines, *n, explicitVr, indent + 1, bigEndian, fragments.IsFragment(*n));
        return;
    }
    if (e.length < 255) {
        const std::string value = HasValue(e) ? PrintableValue(e, bigEndian) : std::string();
        line += Format(", \"%s\" - %s", value.c_str(), name);
    }
    lines.push_back(std::move(line));
}

}  // namespace

std::string PrintableValue(const DicomElement& e, bool bigEndian) {
    if (!HasValue(e)) return {};
    std::vector<uint8_t> prefix;
    std::span<const uint8_t> value(e.value, e.length);
    if (IsDeferred(e)) {
        prefix.resize(std::min<std::size_t>(e.length, PRINTED_VALUE_BYTES));
        if (!ReadValueBytes(e, 0, prefix)) return {};
        value = prefix;
    }
    if (VrIs(e, "FL")) {
        float f;
        ValueBytes(value, &f, 4, bigEndian);
        return Format("%5.2f", static_cast<double>(f));
    }
    if (VrIs(e, "FD")) {
        double d;
        ValueBytes(value, &d, 8, bigEndian);
        return Format("%5.2f", d);
    }
    if (VrIs(e, "SL") || VrIs(e, "SS") || VrIs(e, "UL") || VrIs(e, "US")) {
        if (e.length >= 5) return "Vector!!";
        int32_t number = 0;
        if (bigEndian) {
            // Big endian values turn into the number they stand for.
            uint32_t v = 0;
            for (uint8_t byte : value)
                v = v << 8 | byte;
            number = static_cast<int32_t>(v);
        } else {
            std::memcpy(&number, value.data(), value.size());
        }
        return Format("%d", number);
    }
    const auto* text = reinterpret_cast<const char*>(value.data());
    const void* nul = std::memchr(text, 0, value.size());
    return std::string(text, nul != nullptr ? static_cast<const char*>(nul) : text + value.size());
}

void DumpTagsToMemo(ElementList& list, const LineSink& addLine, bool explicitVr, bool bigEndian) {
    DumpList(list, addLine, explicitVr, bigEndian, 0, 0);
}

bool FragmentTracker::IsFragment(const DicomElement& e) {
    if (inside_) {
        if (TagOf(e) == tag::Item) return true;
        // The sequence delimiter closes the fragments; anything else is no fragment either.
        inside_ = false;
        return false;
    }
    inside_ = TagOf(e) == tag::PixelData && e.length == UNDEFINED_LENGTH;
    return false;
}

std::vector<std::string> ElementTraceLines(DicomElement& element, bool explicitVr, int indent,
                                           bool bigEndian, bool fragment) {
    std::vector<std::string> lines;
    TraceInto(lines, element, explicitVr, indent, bigEndian, fragment);
    return lines;
}

std::string FormatElementTrace(DicomElement& element, bool explicitVr, int indent, bool bigEndian,
                               bool fragment) {
    std::string out;
    for (const std::string& line :
         ElementTraceLines(element, explicitVr, indent, bigEndian, fragment))
        out += line + "\r\n";
    return out;
}

void DumpTagsToTrace(ElementList& list, const LineSink& addLine, bool explicitVr, bool bigEndian) {
    FragmentTracker fragments;
    for (DicomElement* e : list) {
        for (const std::string& line :
             ElementTraceLines(*e, explicitVr, 0, bigEndian, fragments.IsFragment(*e)))
            addLine(line);
    }
}

bool DumpElementToFile(const std::string& fileName, DicomElement* element, bool explicitVr,
                       int indent, bool bigEndian, bool fragment) {
    if (fileName.empty() || element == nullptr) return false;
    return AppendToFile(fileName,
                        FormatElementTrace(*element, explicitVr, indent, bigEndian, fragment));
}

}  // namespace dicomlib::data
