#include "data/Dump.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <span>

#include "data/CharacterSet.h"
#include "data/Dictionary.h"
#include "data/Encoder.h"
#include "data/Tags.h"
#include "data/TextFile.h"

namespace dicomlib::data {
namespace {

constexpr int MAX_DUMP_DEPTH = 64;
// No dump prints more of a value: of one left in its file, only these first bytes are read.
constexpr std::size_t PRINTED_VALUE_BYTES = 256;

// The character set in force for an element; null when the dump shows bytes as they are.
using SetPtr = std::shared_ptr<const CharacterSet>;

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

// The pieces of a line: as they are, or in UTF-8 when a character set is given.
std::string InText(std::string text, const CharacterSet* set) {
    return set == nullptr ? text : Cp1252ToUtf8(text);
}

std::string ValueIn(const DicomElement& e, bool bigEndian, const CharacterSet* set) {
    if (set != nullptr && TextKindOf(e.vr)) return ValueToUtf8(*set, e);
    return InText(PrintableValue(e, bigEndian), set);
}

// After the line of a (0008,0005) that is not understood, the line that says so.
void AddWarning(const DicomElement& e, const CharacterSet* set, const std::string& prefix,
                const LineSink& addLine) {
    if (set != nullptr && TagOf(e) == tag::SpecificCharacterSet && !set->Warning().empty())
        addLine(prefix + "Warning: " + Cp1252ToUtf8(set->Warning()));
}

bool IsItemHeader(const DicomElement& e) {
    return e.group == 0xFFFE && e.element == 0xE000;
}

bool IsContainer(const DicomElement& e) {
    return IsItemHeader(e) || VrIs(e, "SQ");
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
              int depth, int nesting, const SetPtr& outer) {
    FragmentTracker fragments;
    std::optional<CharacterSetScopes> scopes;
    if (outer != nullptr) scopes.emplace(outer);
    for (DicomElement* e : list) {
        const bool fragment = fragments.IsFragment(*e);
        const SetPtr set = scopes ? scopes->Take(*e) : nullptr;
        const std::string name = InText(LookupTagName(*e), set.get());
        const std::string vr = InText(VrText(*e), set.get());
        const std::string prefix = [&] {
            std::string p;
            for (int i = 0; i < depth; ++i)
                p += ".....";
            return p;
        }();
        if (HasValue(*e) && IsContainer(*e) && !fragment && nesting < MAX_DUMP_DEPTH) {
            // A defined-length container is opened, its own line without a value.
            addLine(prefix + Format("(%04X, %04X), %" PRIu32 ", %s - %s", e->group, e->element,
                                    e->length, vr.c_str(), name.c_str()));
            ElementList nested;
            SplitSequenceValue(*e, nested, explicitVr, bigEndian);
            DumpList(nested, addLine, explicitVr, bigEndian, depth + 1, nesting + 1, set);
        } else if (HasValue(*e)) {
            if (e->length < 256) {
                addLine(prefix + Format("(%04X, %04X), %" PRIu32 ", %s  \"%s\" - %s", e->group,
                                        e->element, e->length, vr.c_str(),
                                        ValueIn(*e, bigEndian, set.get()).c_str(), name.c_str()));
            } else {
                addLine(prefix + Format("(%04X, %04X), %" PRIu32 ", %s - %s", e->group, e->element,
                                        e->length, vr.c_str(), name.c_str()));
            }
            AddWarning(*e, set.get(), prefix, addLine);
        } else {
            addLine(prefix + Format("(%04X, %04X), %s - %s", e->group, e->element, vr.c_str(),
                                    name.c_str()));
            if (IsItemHeader(*e) && !fragment) {
                ++depth;
            } else if (e->group == 0xFFFE && e->element == 0xE00D && depth > 0) {
                --depth;
            }
        }
    }
}

void TraceInto(std::vector<std::string>& lines, DicomElement& e, bool explicitVr, int indent,
               bool bigEndian, bool fragment, const SetPtr& set) {
    std::string line(static_cast<std::size_t>(indent), '\t');
    const std::string name = InText(LookupTagName(e), set.get());
    line += Format("(%04X,%04X), %2d,\t%s", e.group, e.element, static_cast<int32_t>(e.length),
                   InText(VrText(e), set.get()).c_str());
    if (IsContainer(e) && !fragment && e.length != UNDEFINED_LENGTH && indent < MAX_DUMP_DEPTH) {
        lines.push_back(std::move(line));
        ElementList nested;
        SplitSequenceValue(e, nested, explicitVr, bigEndian);
        FragmentTracker fragments;
        std::optional<CharacterSetScopes> scopes;
        if (set != nullptr) scopes.emplace(set);
        for (DicomElement* n : nested) {
            const bool nestedFragment = fragments.IsFragment(*n);
            TraceInto(lines, *n, explicitVr, indent + 1, bigEndian, nestedFragment,
                      scopes ? scopes->Take(*n) : nullptr);
        }
        return;
    }
    if (e.length < 255) {
        const std::string value = HasValue(e) ? ValueIn(e, bigEndian, set.get()) : std::string();
        line += Format(", \"%s\" - %s", value.c_str(), name.c_str());
    }
    lines.push_back(std::move(line));
    AddWarning(e, set.get(), std::string(static_cast<std::size_t>(indent), '\t'),
               [&](const std::string& warning) { lines.push_back(warning); });
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

void DumpTagsToMemo(ElementList& list, const LineSink& addLine, bool explicitVr, bool bigEndian,
                    DumpText text) {
    DumpList(list, addLine, explicitVr, bigEndian, 0, 0,
             text == DumpText::Utf8 ? std::make_shared<const CharacterSet>() : nullptr);
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
    TraceInto(lines, element, explicitVr, indent, bigEndian, fragment, nullptr);
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

void DumpTagsToTrace(ElementList& list, const LineSink& addLine, bool explicitVr, bool bigEndian,
                     DumpText text) {
    FragmentTracker fragments;
    std::optional<CharacterSetScopes> scopes;
    if (text == DumpText::Utf8) scopes.emplace();
    for (DicomElement* e : list) {
        std::vector<std::string> lines;
        const bool fragment = fragments.IsFragment(*e);
        TraceInto(lines, *e, explicitVr, 0, bigEndian, fragment,
                  scopes ? scopes->Take(*e) : nullptr);
        for (const std::string& line : lines)
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
