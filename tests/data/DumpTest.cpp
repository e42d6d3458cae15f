#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "data/CharacterSet.h"
#include "data/Datadec.h"
#include "data/Dump.h"
#include "support/DataSetBuilder.h"
#include "support/TestSupport.h"

using namespace dicomlib::data;
using testsupport::DataSetBuilder;

namespace {

std::vector<std::string> Memo(const std::vector<uint8_t>& body, bool explicitVr,
                              DumpText text = DumpText::Bytes, bool trace = false) {
    ElementList list;
    ReadDataSetBytes(DecoderState{uint8_t(explicitVr), 0, 0}, body, list);
    std::vector<std::string> lines;
    const auto add = [&](const std::string& line) { lines.push_back(line); };
    if (trace) {
        DumpTagsToTrace(list, add, explicitVr, false, text);
    } else {
        DumpTagsToMemo(list, add, explicitVr, false, text);
    }
    return lines;
}

}  // namespace

TEST(DumpTagsToMemo, LinesOfEveryShape) {
    const auto lines =
        Memo(DataSetBuilder(false, false)
                 .Text(0x0010, 0x0010, "", "DOE^JOHN")
                 .Element(0x0028, 0x0010, "", {0x00, 0x02})
                 .Element(0x0028, 0x0009, "", {1, 0, 2, 0, 3, 0})  // AT: text, not a number
                 .Element(0x0018, 0x9402, "", {0, 0, 0xC0, 0x3F})
                 .Element(0x0018, 0x9087, "", {0, 0, 0, 0, 0, 0x4A, 0x93, 0x40})
                 .Element(0x0009, 0x0010, "", {'A', 'B'})
                 .Text(0x0008, 0x0081, "", std::string(256, 'x'))
                 .Text(0x0008, 0x0080, "", std::string(255, 'y'))
                 .Undefined(0x0040, 0x0275, "")
                 .Item()
                 .Text(0x0040, 0x0007, "", "ONE ")
                 .ItemEnd()
                 .Item()
                 .ItemEnd()
                 .SequenceEnd()
                 .Bytes(),
             false);
    const std::vector<std::string> expected = {
        "(0010, 0010), 8, PN  \"DOE^JOHN\" - Patient\x92s Name",
        "(0028, 0010), 2, US  \"512\" - Rows",
        "(0028, 0009), 6, AT  \"\x01\" - Frame Increment Pointer",
        "(0018, 9402), 4, FL  \" 1.50\" - Distance Source to Isocenter",
        "(0018, 9087), 8, FD  \"1234.50\" - Diffusion b-value",
        "(0009, 0010), 2,   \"AB\" - *** Unidentified ***",
        "(0008, 0081), 256, ST - Institution Address",
        "(0008, 0080), 255, LO  \"" + std::string(255, 'y') + "\" - Institution Name",
        "(0040, 0275), SQ - Request Attributes Sequence",
        "(FFFE, E000), DL - Item",
        ".....(0040, 0007), 4, LO  \"ONE \" - Scheduled Procedure Step Description",
        ".....(FFFE, E00D), DL - Item Delimitation Item",
        "(FFFE, E000), DL - Item",
        ".....(FFFE, E00D), DL - Item Delimitation Item",
        "(FFFE, E0DD), DL - Sequence Delimitation Item",
    };
    EXPECT_EQ(lines, expected);
    // Vectors and signedness of the integer forms.
    const auto numbers = Memo(DataSetBuilder(true, false)
                                  .Element(0x0028, 0x0010, "US", {1, 0, 2, 0, 3, 0})
                                  .Element(0x0028, 0x0106, "SS", {0xFF, 0xFF})
                                  .Element(0x0008, 0x0000, "UL", {0xFF, 0xFF, 0xFF, 0xFF})
                                  .Bytes(),
                              true);
    EXPECT_EQ(numbers[0], "(0028, 0010), 6, US  \"Vector!!\" - Rows");
    EXPECT_EQ(numbers[1], "(0028, 0106), 2, SS  \"65535\" - Smallest Image Pixel Value US or");
    EXPECT_EQ(numbers[2], "(0008, 0000), 4, UL  \"-1\" - Group Length");
}

TEST(DumpElementToFile, TraceLinesOpenDefinedLengthSequences) {
    testsupport::TempDir dir;
    const std::string file = (dir / "trace.log").string();
    const auto item = DataSetBuilder(true, false)
                          .Text(0x0008, 0x0100, "SH", "C1")
                          .Text(0x0008, 0x0104, "LO", std::string(255, 'm'))
                          .Bytes();
    auto value = DataSetBuilder(true, false).ItemWithValue(item).Bytes();
    DicomElement sq{0x0040, 0xA043, {'S', 'Q'}, static_cast<uint32_t>(value.size()), value.data()};
    DicomElement undefined{0x0040, 0x0275, {0, 0}, UNDEFINED_LENGTH, nullptr};
    DicomElement text{0x0010,
                      0x0020,
                      {'L', 'O'},
                      4,
                      const_cast<uint8_t*>(reinterpret_cast<const uint8_t*>("I\r\n1"))};
    ASSERT_TRUE(DumpElementToFile(file, &sq, true, 0));
    ASSERT_TRUE(DumpElementToFile(file, &undefined, true, 1));
    ASSERT_TRUE(DumpElementToFile(file, &text, true, 0));
    EXPECT_FALSE(DumpElementToFile(file, nullptr, true, 0));
    EXPECT_FALSE(DumpElementToFile((dir / "no" / "such").string(), &text, true, 0));
    EXPECT_EQ(testsupport::ReadFileText(file),
              "(0040,A043), " + std::to_string(value.size()) +
                  ",\tSQ\r\n"
                  "\t(FFFE,E000), " +
                  std::to_string(item.size()) +
                  ",\tDL\r\n"
                  "\t\t(0008,0100),  2,\tSH, \"C1\" - Code Value\r\n"
                  "\t\t(0008,0104), 255,\tLO\r\n"
                  "\t(0040,0275), -1,\tSQ\r\n"
                  "(0010,0020),  4,\tLO, \"I\r\n1\" - Patient ID\r\n");  // bytes kept
}

TEST(DumpTagsToMemo, Utf8LinesDecodeEachItemByItsOwnSet) {
    // Without a set, and with ISO_IR 100, the lines are today's bytes read as Windows-1252, in
    // both forms, control characters and all.
    for (const char* set : {"", "ISO_IR 100"}) {
        DataSetBuilder b(true, false);
        if (set[0] != '\0') b.Text(0x0008, 0x0005, "CS", set);
        b.Text(0x0010, 0x0010, "PN", "M\xFCller\x80^\x81\x1b[2J")
            .Element(0x7FE0, 0x0010, "OB", {0x9F, 1});
        for (const bool trace : {false, true}) {
            const auto bytes = Memo(b.Bytes(), true, DumpText::Bytes, trace);
            const auto utf8 = Memo(b.Bytes(), true, DumpText::Utf8, trace);
            ASSERT_EQ(utf8.size(), bytes.size()) << set;
            for (std::size_t i = 0; i < bytes.size(); ++i)
                EXPECT_EQ(utf8[i], Cp1252ToUtf8(bytes[i])) << set;
        }
    }
    // A data set in UTF-8: an item of undefined length in ISO 8859-5, the next item back in
    // UTF-8; a defined-length item in ISO 2022 with JIS X 0208, and one naming an unknown set.
    const auto japanese = DataSetBuilder(true, false)
                              .Text(0x0008, 0x0005, "CS", "\\ISO 2022 IR 87")
                              .Text(0x0010, 0x0010, "PN", "\x1b$B;3ED\x1b(B")
                              .Bytes();
    const auto unknown = DataSetBuilder(true, false)
                             .Text(0x0008, 0x0005, "CS", "ISO_IR 999")
                             .Text(0x0010, 0x0010, "PN", "\xe9")
                             .Bytes();
    const auto lines = Memo(
        DataSetBuilder(true, false)
            .Text(0x0008, 0x0005, "CS", "ISO_IR 192")
            .Undefined(0x0040, 0x0275, "SQ")
            .Item()
            .Text(0x0008, 0x0005, "CS", "ISO_IR 144")
            .Text(0x0010, 0x0010, "PN", "\xbb\xee")
            .ItemEnd()
            .Item()
            .Text(0x0010, 0x0010, "PN", "小東")
            .ItemEnd()
            .SequenceEnd()
            .Element(
                0x0040, 0xA043, "SQ",
                DataSetBuilder(true, false).ItemWithValue(japanese).ItemWithValue(unknown).Bytes())
            .Text(0x0040, 0xA160, "UT", "王")
            .Bytes(),
        true, DumpText::Utf8);
    std::vector<std::string> names;
    for (const std::string& line : lines)
        if (line.find("Warning") != std::string::npos ||
            line.find("(0010, 0010)") != std::string::npos ||
            line.find("(0040, A160)") != std::string::npos)
            names.push_back(line);
    EXPECT_EQ(names, (std::vector<std::string>{
                         ".....(0010, 0010), 2, PN  \"Лю\" - Patient’s Name",
                         ".....(0010, 0010), 6, PN  \"小東\" - Patient’s Name",
                         "..........(0010, 0010), 10, PN  \"山田\" - Patient’s Name",
                         "..........Warning: Specific Character Set \"ISO_IR 999\": unknown term "
                         "\"ISO_IR 999\", read as the default repertoire",
                         "..........(0010, 0010), 1, PN  \"é\" - Patient’s Name",
                         "(0040, A160), 3, UT  \"王\" - Text Value"}));
}
