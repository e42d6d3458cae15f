#include "data/Dictionary.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/TestSupport.h"

using dicomlib::data::DictionaryEntry;
using dicomlib::data::DictionaryTable;
using dicomlib::data::FindDictionaryEntry;
using dicomlib::data::LookupTagName;
using dicomlib::data::LookupVR;

namespace {

std::string Vr(const DictionaryEntry& e) {
    return std::string(e.vr, strnlen(e.vr, 2));
}

std::string Vr(const DicomElement& e) {
    return std::string(e.vr, 2);
}

// The reference behaviour: scan from the first row, stop at the first match or the terminator.
const DictionaryEntry* LinearScan(uint16_t group, uint16_t element) {
    for (const DictionaryEntry& e : DictionaryTable()) {
        if (e.vr[0] == 0) return nullptr;
        if (e.group == group && e.element == element) return &e;
    }
    return nullptr;
}

DicomElement Element(uint16_t group, uint16_t element, const char* vr = "XX") {
    return DicomElement{group, element, {vr[0], vr[1]}, 0, nullptr};
}

}  // namespace

TEST(Dictionary, TableShapeOrderAndCounts) {
    auto table = DictionaryTable();
    ASSERT_EQ(table.size(), 2430u);
    const DictionaryEntry& last = table.back();
    EXPECT_EQ(last.vr[0], 0);
    auto rows = table.first(2429);

    std::set<uint32_t> tags;
    std::map<uint16_t, int> perGroup;
    std::map<std::string, int> perVr;
    int retired = 0, apostrophes = 0, dashes = 0, micros = 0;
    std::vector<std::string> descents;
    for (size_t i = 0; i < rows.size(); ++i) {
        const DictionaryEntry& e = rows[i];
        ASSERT_NE(e.vr[0], 0) << "terminator inside the table at row " << i;
        EXPECT_EQ(e.vr[2], 0);
        EXPECT_EQ(e.vr[3], 0);
        EXPECT_TRUE(tags.insert(uint32_t{e.group} << 16 | e.element).second)
            << std::hex << e.group << "," << e.element << " occurs twice";
        EXPECT_EQ(e.group % 2, 0) << std::hex << e.group << " is a private group";
        ++perGroup[e.group];
        ++perVr[Vr(e)];
        std::string name = e.name;
        retired += name.ends_with("(RET)");
        apostrophes += name.find('\x92') != std::string::npos;
        dashes += name.find('\x96') != std::string::npos;
        micros += name.find('\xB5') != std::string::npos;
        const DictionaryEntry* p = i > 0 ? &rows[i - 1] : nullptr;
        if (p && (p->group > e.group || (p->group == e.group && p->element >= e.element))) {
            char text[24];
            snprintf(text, sizeof text, "%04X,%04X>%04X,%04X", p->group, p->element, e.group,
                     e.element);
            descents.push_back(text);
        }
    }
    EXPECT_EQ(descents, (std::vector<std::string>{"0018,9296>0018,9240", "003A,0004>003A,0000"}));
    EXPECT_EQ(retired, 227);
    EXPECT_EQ(apostrophes, 20);
    EXPECT_EQ(dashes, 7);
    EXPECT_EQ(micros, 2);

    // clang-format off
    std::map<uint16_t, int> groups{
        {0x0000, 24}, {0x0002, 10}, {0x0004, 20}, {0x0008, 149}, {0x0010, 36}, {0x0012, 14},
        {0x0018, 581}, {0x0020, 86}, {0x0022, 32}, {0x0028, 114}, {0x0032, 27}, {0x0038, 24},
        {0x003A, 29}, {0x0040, 201}, {0x0042, 5}, {0x0050, 9}, {0x0054, 80}, {0x0060, 8},
        {0x0070, 59}, {0x0072, 99}, {0x0088, 8}, {0x0100, 5}, {0x0400, 20}, {0x2000, 22},
        {0x2010, 27}, {0x2020, 12}, {0x2030, 3}, {0x2040, 13}, {0x2050, 4}, {0x2100, 11},
        {0x2110, 5}, {0x2120, 4}, {0x2130, 10}, {0x2200, 17}, {0x3002, 23}, {0x3004, 24},
        {0x3006, 47}, {0x3008, 92}, {0x300A, 327}, {0x300C, 32}, {0x300E, 5}, {0x4000, 3},
        {0x4008, 28}, {0x4FFE, 1}, {0x5000, 27}, {0x5200, 3}, {0x5400, 8}, {0x5600, 3},
        {0x6000, 31}, {0x7FE0, 2}, {0xFFFA, 1}, {0xFFFC, 1}, {0xFFFE, 3}};
    std::map<std::string, int> vrs{
        {"SQ", 430}, {"CS", 411}, {"DS", 317}, {"LO", 192}, {"IS", 191}, {"US", 177},
        {"UL", 95}, {"SH", 94}, {"FL", 88}, {"FD", 72}, {"UI", 49}, {"TM", 47}, {"ST", 45},
        {"DA", 44}, {"SS", 30}, {"LT", 29}, {"PN", 25}, {"DT", 22}, {"AT", 15}, {"OB", 12},
        {"OW", 12}, {"SL", 11}, {"AE", 10}, {"UT", 5}, {"DL", 3}, {"OF", 2}, {"AS", 1}};
    // clang-format on
    EXPECT_EQ(perGroup, groups);
    EXPECT_EQ(perVr, vrs);

    // Every group up to 7FE0 except 4FFE has its group length row, VR UL.
    for (auto [group, count] : groups) {
        if (group > 0x7FE0 || group == 0x4FFE) {
            EXPECT_EQ(FindDictionaryEntry(group, 0x0000), nullptr);
            continue;
        }
        const DictionaryEntry* e = FindDictionaryEntry(group, 0x0000);
        ASSERT_NE(e, nullptr) << std::hex << group;
        EXPECT_EQ(Vr(*e), "UL");
        EXPECT_STREQ(e->name, group == 0x7FE0 ? "Group 7FE0 Length" : "Group Length");
    }
}

TEST(Dictionary, QuotedRowsHoldTheirVrAndNameBytes) {
    struct Row {
        uint16_t group, element;
        const char* vr;
        const char* name;
    };
    // clang-format off
    const Row rows[] = {
        {0x0000, 0x0000, "UL", "Group Length"},
        {0x0000, 0x0002, "UI", "Affected SOP Class UID"},
        {0x0000, 0x0100, "US", "Command Field"},
        {0x0000, 0x0900, "US", "Status"},
        {0x0000, 0x1030, "AE", "Move Originator AET"},
        {0x0002, 0x0001, "OB", "File Meta Information Version"},
        {0x0002, 0x0010, "UI", "Transfer Syntax UID"},
        {0x0002, 0x0013, "SH", "Implementation Version Name"},
        {0x0004, 0x1200, "UL", "Offset of the First Directory Record of the Root Directory Entity"},
        {0x0008, 0x0005, "CS", "Specific Character Set"},
        {0x0008, 0x0016, "UI", "SOP Class UID"},
        {0x0008, 0x0090, "PN", "Referring Physician\x92" "s Name"},
        {0x0010, 0x0010, "PN", "Patient\x92" "s Name"},
        {0x0010, 0x1005, "PN", "Patient's Birth Name"},
        {0x0010, 0x1010, "AS", "Patient's Age"},
        {0x0018, 0x8150, "DS", "Exposure Time in \xB5" "S"},
        {0x0018, 0x8151, "DS", "X-Ray Tube Current in \xB5" "A"},
        {0x0028, 0x0010, "US", "Rows"},
        {0x0028, 0x0106, "SS", "Smallest Image Pixel Value US or"},
        {0x0028, 0x1050, "DS", "Window Center"},
        {0x0028, 0x1101, "SS", "Red Palette Color Lookup Table Descriptor US or"},
        {0x0040, 0x0100, "SQ", "Scheduled Procedure Step Sequence"},
        {0x0040, 0xA160, "UT", "Text Value"},
        {0x5000, 0x3000, "OB", "Curve Data OW or (RET)"},
        {0x5600, 0x0020, "OF", "Spectroscopy Data"},
        {0x6000, 0x1100, "US", "Overlay Descriptor \x96 Gray (RET)"},
        {0x6000, 0x3000, "OW", "Overlay Data OB or"},
        {0x7FE0, 0x0000, "UL", "Group 7FE0 Length"},
        {0x7FE0, 0x0010, "OW", "Pixel Data"},
        {0xFFFA, 0xFFFA, "SQ", "Digital Signatures Sequence"},
        {0xFFFC, 0xFFFC, "OB", "Data Set Trailing Padding"},
        {0xFFFE, 0xE000, "DL", "Item"},
        {0xFFFE, 0xE00D, "DL", "Item Delimitation Item"},
        {0xFFFE, 0xE0DD, "DL", "Sequence Delimitation Item"},
    };
    // clang-format on
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << r.group << "," << r.element);
        DicomElement e = Element(r.group, r.element);
        EXPECT_STREQ(LookupTagName(e), r.name);
        EXPECT_EQ(Vr(e), r.vr);
        e = Element(r.group, r.element);
        LookupVR(e);
        EXPECT_EQ(Vr(e), r.vr);
    }
}

TEST(Dictionary, UnknownTagsAndOutOfOrderRows) {
    // Repeating groups are known only in their base form, private tags not at all.
    for (auto [group, element] : {std::pair<uint16_t, uint16_t>{0x6002, 0x0010},
                                  {0x0009, 0x0010},
                                  {0x5004, 0x3000},
                                  {0x0019, 0x0000},
                                  {0x0018, 0x9999}}) {
        DicomElement e = Element(group, element, "LO");
        EXPECT_STREQ(LookupTagName(e), "*** Unidentified ***");
        EXPECT_EQ(Vr(e), "LO");  // left as it was
        LookupVR(e);
        EXPECT_EQ(Vr(e), "UN");
        EXPECT_EQ(FindDictionaryEntry(group, element), nullptr);
    }
    // The current VR plays no part.
    DicomElement e = Element(0x0018, 0x9240, "UN");
    EXPECT_STREQ(LookupTagName(e), "RF Echo Train Length");
    EXPECT_EQ(Vr(e), "US");
    e = Element(0x003A, 0x0000);
    LookupVR(e);
    EXPECT_EQ(Vr(e), "UL");
    // The terminator is not a row: (0000,0000) is the first row's, not the empty entry's.
    EXPECT_EQ(FindDictionaryEntry(0, 0), &DictionaryTable()[0]);
}

TEST(Dictionary, IndexAgreesWithLinearScan) {
    auto same = [](uint32_t group, uint32_t element) {
        auto g = uint16_t(group), e = uint16_t(element);
        return FindDictionaryEntry(g, e) == LinearScan(g, e);
    };
    // Every row and its neighbours (misses just beside hits, repeating and private groups).
    for (const DictionaryEntry& row : DictionaryTable().first(2429)) {
        for (int dg : {-2, -1, 0, 1, 2})
            for (int de : {-1, 0, 1})
                ASSERT_TRUE(same(row.group + dg, row.element + de))
                    << std::hex << row.group + dg << "," << row.element + de;
    }
    // And a spread of arbitrary tags, extremes included.
    uint32_t x = 12345;
    for (int i = 0; i < 20000; ++i) {
        x = x * 1664525u + 1013904223u;
        ASSERT_TRUE(same(x >> 16, x)) << std::hex << x;
    }
    for (uint32_t tag : {0x00000000u, 0xFFFFFFFFu, 0x0000FFFFu, 0xFFFF0000u})
        EXPECT_TRUE(same(tag >> 16, tag));
}

TEST(Dictionary, GeneratorReproducesTheCommittedTable) {
    testsupport::fs::path source =
        testsupport::SourceDir() / ".." / "shared" / "data" / "dictionary.tsv";
    if (!testsupport::fs::exists("/usr/bin/python3") || !testsupport::fs::exists(source))
        GTEST_SKIP() << "needs /usr/bin/python3 and " << source;
    std::string script = (testsupport::SourceDir() / "tools" / "gen_dictionary.py").string();
    auto result = testsupport::RunCommand({"/usr/bin/python3", script, "--check", source.string()});
    EXPECT_EQ(result.exitCode, 0) << result.output << result.errors;

    // A name with no Windows-1252 byte stops the generator with the row named.
    testsupport::TempDir dir;
    std::string bad = "group\telement\tvr\tname\n0010\t0010\tPN\tPatient\xCE\xA9s Name\n";
    testsupport::WriteFileBytes(dir / "bad.tsv", std::vector<uint8_t>(bad.begin(), bad.end()));
    result = testsupport::RunCommand(
        {"/usr/bin/python3", script, "--check", (dir / "bad.tsv").string()});
    EXPECT_NE(result.exitCode, 0);
    EXPECT_NE(result.errors.find("(0010,0010)"), std::string::npos) << result.errors;
}
