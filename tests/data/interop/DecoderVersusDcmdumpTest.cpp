// Every Part 10 file that python3-pydicom installs for its own tests is decoded here and
// checked, element by element, against what DCMTK's dcmdump reports for the same file: the
// tags, the explicit VRs, the lengths (undefined ones included) and the value bytes.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "data/Datadec.h"
#include "data/Dictionary.h"
#include "support/TestSupport.h"

using namespace dicomlib::data;
namespace fs = std::filesystem;

namespace {

struct Line {
    int depth = 0;
    uint16_t group = 0;
    uint16_t element = 0;
    std::string vr;
    std::string value;  // dcmdump's text, or ours rendered the same way
    bool undefinedLength = false;
    uint32_t length = 0;
};

std::string Describe(const Line& l) {
    char head[64];
    std::snprintf(head, sizeof head, "depth %d (%04x,%04x) %s len %s", l.depth, l.group, l.element,
                  l.vr.c_str(), l.undefinedLength ? "u/l" : std::to_string(l.length).c_str());
    return std::string(head) + " value " + l.value.substr(0, 200);
}

bool IsHex4(const std::string& s, std::size_t at) {
    if (at + 4 > s.size()) return false;
    for (std::size_t i = at; i < at + 4; ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(s[i]))) return false;
    }
    return true;
}

// "(gggg,eeee) VR " at the given indent: the start of an element line.
bool StartsElement(const std::string& s, std::size_t indent) {
    return s.size() > indent + 15 && s[indent] == '(' && IsHex4(s, indent + 1) &&
           s[indent + 5] == ',' && IsHex4(s, indent + 6) && s[indent + 10] == ')' &&
           s[indent + 11] == ' ' && s[indent + 14] == ' ';
}

// The trailer "#  len, vm Name": true when the text ends with one, giving the length text.
bool SplitTrailer(const std::string& s, std::string& value, std::string& length) {
    const std::size_t hash = s.rfind('#');
    if (hash == std::string::npos) return false;
    std::size_t p = hash + 1;
    while (p < s.size() && s[p] == ' ')
        ++p;
    const std::size_t comma = s.find(',', p);
    if (comma == std::string::npos) return false;
    length = s.substr(p, comma - p);
    if (length != "u/l" && length.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    if (length.empty()) return false;
    std::size_t q = comma + 1;
    while (q < s.size() && s[q] == ' ')
        ++q;
    const std::size_t vmEnd = s.find(' ', q);
    if (vmEnd == std::string::npos || vmEnd == q) return false;
    value = s.substr(0, hash);
    return true;
}

std::vector<Line> ParseDcmdump(const std::string& text) {
    std::vector<Line> lines;
    std::istringstream in(text);
    std::string raw;
    std::string pending;
    std::size_t indent = 0;
    while (std::getline(in, raw)) {
        if (pending.empty()) {
            indent = raw.find_first_not_of(' ');
            if (indent == std::string::npos || !StartsElement(raw, indent)) continue;
            pending = raw;
        } else {
            // Text values may hold line breaks: a line that does not close is continued.
            pending += "\n" + raw;
        }
        std::string head, length;
        if (!SplitTrailer(pending, head, length)) continue;
        Line l;
        l.depth = static_cast<int>(indent / 2);
        l.group = static_cast<uint16_t>(std::stoul(pending.substr(indent + 1, 4), nullptr, 16));
        l.element = static_cast<uint16_t>(std::stoul(pending.substr(indent + 6, 4), nullptr, 16));
        l.vr = pending.substr(indent + 12, 2);
        l.value = head.substr(indent + 15);
        while (!l.value.empty() && l.value.back() == ' ')
            l.value.pop_back();
        l.undefinedLength = length == "u/l";
        if (!l.undefinedLength) l.length = static_cast<uint32_t>(std::stoul(length));
        pending.clear();
        // Delimiters that dcmdump invents for defined-length containers are not in the file.
        if (l.value.find("for re-encod") != std::string::npos) continue;
        lines.push_back(l);
    }
    return lines;
}

uint32_t Read(const uint8_t* p, int size, bool big) {
    uint32_t v = 0;
    for (int i = 0; i < size; ++i)
        v |= uint32_t{p[big ? size - 1 - i : i]} << (8 * i);
    return v;
}

bool IsTextVr(const std::string& vr) {
    static const char* const kText[] = {"AE", "AS", "CS", "DA", "DS", "DT", "IS", "LO", "LT",
                                        "PN", "SH", "ST", "TM", "UI", "UT", "UC", "UR"};
    for (const char* t : kText) {
        if (vr == t) return true;
    }
    return false;
}

// Our value bytes as dcmdump prints a value of that VR; empty when we cannot say.
std::string Render(const std::string& vr, const DicomElement& e, bool big) {
    if (e.length == 0 || e.length == UNDEFINED_LENGTH) return "(no value available)";
    const uint8_t* v = e.value;
    const uint32_t n = e.length;
    std::string out;
    char buf[48];
    auto join = [&](const char* piece) {
        if (!out.empty()) out += '\\';
        out += piece;
    };
    if (IsTextVr(vr)) {
        // dcmdump drops trailing spaces, and the NUL pad of a UID.
        std::string text(reinterpret_cast<const char*>(v), n);
        while (!text.empty() && (text.back() == ' ' || (vr == "UI" && text.back() == '\0'))) {
            text.pop_back();
        }
        return "[" + text + "]";
    }
    if (vr == "US" || vr == "xs" || vr == "SS" || vr == "UL" || vr == "SL" || vr == "OL") {
        const int size = (vr == "UL" || vr == "SL" || vr == "OL") ? 4 : 2;
        for (uint32_t i = 0; i + size <= n; i += size) {
            uint32_t x = Read(v + i, size, big);
            if (vr == "SS") {
                std::snprintf(buf, sizeof buf, "%d", int(int16_t(x)));
            } else if (vr == "SL") {
                std::snprintf(buf, sizeof buf, "%d", int32_t(x));
            } else {
                std::snprintf(buf, sizeof buf, "%u", x);
            }
            join(buf);
        }
        return out;
    }
    if (vr == "AT") {
        for (uint32_t i = 0; i + 4 <= n; i += 4) {
            std::snprintf(buf, sizeof buf, "(%04x,%04x)", Read(v + i, 2, big),
                          Read(v + i + 2, 2, big));
            join(buf);
        }
        return out;
    }
    if (vr == "OW" || vr == "ox" || vr == "lt") {
        for (uint32_t i = 0; i + 2 <= n; i += 2) {
            std::snprintf(buf, sizeof buf, "%04x", Read(v + i, 2, big));
            join(buf);
        }
        return out;
    }
    if (vr == "OB" || vr == "UN" || vr == "??" || vr == "pi") {
        for (uint32_t i = 0; i < n; ++i) {
            std::snprintf(buf, sizeof buf, "%02x", v[i]);
            join(buf);
        }
        return out;
    }
    return {};  // FL, FD, OF, OD: compared as numbers below
}

bool SameNumbers(const std::string& vr, const DicomElement& e, bool big, const std::string& text) {
    const int size = (vr == "FD" || vr == "OD") ? 8 : 4;
    std::vector<double> ours;
    for (uint32_t i = 0; i + size <= e.length; i += size) {
        uint8_t b[8];
        for (int k = 0; k < size; ++k)
            b[k] = e.value[i + (big ? size - 1 - k : k)];
        if (size == 8) {
            double d;
            std::memcpy(&d, b, 8);
            ours.push_back(d);
        } else {
            float f;
            std::memcpy(&f, b, 4);
            ours.push_back(f);
        }
    }
    std::vector<double> theirs;
    std::stringstream in(text);
    std::string piece;
    while (std::getline(in, piece, '\\'))
        theirs.push_back(std::strtod(piece.c_str(), nullptr));
    if (ours.size() != theirs.size()) return false;
    for (std::size_t i = 0; i < ours.size(); ++i) {
        if (std::isnan(ours[i]) && std::isnan(theirs[i])) continue;
        if (std::fabs(ours[i] - theirs[i]) > 1e-5 * std::max(1.0, std::fabs(theirs[i]))) {
            return false;
        }
    }
    return true;
}

bool IsSequence(DicomElement& e, bool explicitVr) {
    if (e.group == 0xFFFE) return e.element == 0xE000;
    if (explicitVr) return e.vr[0] == 'S' && e.vr[1] == 'Q';
    DicomElement probe = e;
    LookupVR(probe);
    return probe.vr[0] == 'S' && probe.vr[1] == 'Q';
}

struct Ours {
    const DicomElement* element;
    int depth;
};

// Our list in dcmdump's order and depths: defined-length containers are opened, flat
// sequences are indented by their items and delimiters.
void Flatten(const ElementList& list, const DecoderState& state, int depth, std::vector<Ours>& out,
             std::vector<std::unique_ptr<ElementList>>& keep) {
    std::vector<bool> pixelItems;  // per open undefined-length container: encapsulated pixels?
    for (DicomElement* e : list) {
        const bool delimiter = e->group == 0xFFFE && (e->element == 0xE00D || e->element == 0xE0DD);
        if (delimiter) {
            --depth;
            if (!pixelItems.empty()) pixelItems.pop_back();
        }
        out.push_back({e, depth});
        const bool inPixels = !pixelItems.empty() && pixelItems.back();
        if (e->length == UNDEFINED_LENGTH && !delimiter) {
            ++depth;
            pixelItems.push_back(e->group == 0x7FE0);
        } else if (!inPixels && HasValue(*e) && IsSequence(*e, state.explicitVr)) {
            auto inner = std::make_unique<ElementList>();
            ReadDataSetBytes(state, {e->value, e->length}, *inner);
            Flatten(*inner, state, depth + 1, out, keep);
            keep.push_back(std::move(inner));
        }
    }
}

void CompareWithDcmdump(const fs::path& file) {
    auto dump = testsupport::RunCommand({"dcmdump", "+fo", "+L", "-Un", "-q", file.string()});
    if (dump.exitCode != 0) return;  // DCMTK refuses it too; nothing to compare with
    auto theirs = ParseDcmdump(dump.output);
    ASSERT_FALSE(theirs.empty());

    DecoderState state;
    ElementList meta, data;
    ASSERT_TRUE(ReadPart10File(state, file, meta, data));
    for (DicomElement* e : data)
        ASSERT_TRUE(LoadValue(*e));  // the values left in the file are compared too
    std::vector<Ours> ours;
    std::vector<std::unique_ptr<ElementList>> keep;
    DecoderState metaState{1, 0, 0};
    Flatten(meta, metaState, 0, ours, keep);
    Flatten(data, state, 0, ours, keep);

    EXPECT_EQ(ours.size(), theirs.size());
    for (std::size_t i = 0; i < ours.size() && i < theirs.size(); ++i) {
        const DicomElement& e = *ours[i].element;
        const Line& t = theirs[i];
        const bool big = state.bigEndian && e.group != 0x0002;
        SCOPED_TRACE(Describe(t));
        if (e.group != t.group || e.element != t.element) {
            std::string context;
            for (std::size_t k = i >= 4 ? i - 4 : 0; k <= i; ++k) {
                char ours_[48];
                std::snprintf(ours_, sizeof ours_, "ours (%04x,%04x) depth %d | theirs ",
                              ours[k].element->group, ours[k].element->element, ours[k].depth);
                context += ours_ + Describe(theirs[k]) + "\n";
            }
            FAIL() << "the lists part here:\n" << context;
        }
        EXPECT_EQ(ours[i].depth, t.depth);
        EXPECT_EQ(e.length == UNDEFINED_LENGTH, t.undefinedLength);
        // DCMTK pads an odd-length value in memory and reports it one byte longer.
        const bool paddedByDcmtk = e.length % 2 == 1 && t.length == e.length + 1;
        if (!t.undefinedLength && !paddedByDcmtk) {
            EXPECT_EQ(e.length, t.length);
        }
        if (paddedByDcmtk) continue;
        const bool readVr = e.group == 0x0002 || (state.explicitVr && e.group != 0xFFFE);
        // dcmdump calls encapsulated pixel data OB whatever VR the file gives it.
        const bool encapsulated = e.group == 0x7FE0 && e.length == UNDEFINED_LENGTH;
        if (readVr && t.vr != "??" && !encapsulated) {
            EXPECT_EQ(std::string(e.vr, 2), t.vr);
        }
        if (t.vr == "SQ" || t.vr == "na" || (t.vr == "OB" && t.undefinedLength)) continue;
        if (e.length == 0) {
            EXPECT_EQ(t.value, "(no value available)");
            continue;
        }
        if (t.vr == "FL" || t.vr == "FD" || t.vr == "OF" || t.vr == "OD") {
            EXPECT_TRUE(SameNumbers(t.vr, e, big, t.value)) << t.value;
            continue;
        }
        const std::string rendered = Render(t.vr, e, big);
        if (!rendered.empty()) {
            EXPECT_EQ(rendered, t.value);
        }
    }
}

}  // namespace

TEST(DecoderVersusDcmdump, PydicomTestFilesDecodeAsDcmtkReadsThem) {
    const fs::path dir = testsupport::PydicomTestFiles();
    if (dir.empty() || !testsupport::ToolAvailable("dcmdump")) {
        GTEST_SKIP() << "needs python3-pydicom's test files and DCMTK's dcmdump";
    }
    int compared = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".dcm") continue;
        SCOPED_TRACE(entry.path().filename().string());
        CompareWithDcmdump(entry.path());
        ++compared;
    }
    EXPECT_GT(compared, 40);
}
