#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "data/ElementList.h"
#include "store/DatabaseIndex.h"
#include "store/IndexFiles.h"
#include "support/TestSupport.h"

using namespace dicomlib;
using namespace dicomlib::store;
using testsupport::ReadFileText;

namespace {

void Add(ElementList& list, uint16_t g, uint16_t e, const char* vr, const std::string& text) {
    list.Append(data::NewTextElement({g, e}, vr, text));
}

ElementList Instance(const std::string& series, const std::string& sop) {
    ElementList d;
    Add(d, 0x0008, 0x0008, "CS", "ORIGINAL\\PRIMARY\\AXIAL ");
    Add(d, 0x0008, 0x0016, "UI", std::string("1.2.840.10008.5.1.4.1.1.2") + '\0');
    Add(d, 0x0008, 0x0018, "UI", sop);
    Add(d, 0x0008, 0x0020, "DA", "20261208");
    Add(d, 0x0008, 0x0030, "TM", "101500");
    Add(d, 0x0008, 0x0061, "CS", "CT");
    Add(d, 0x0008, 0x0070, "LO", "MAKER ");
    Add(d, 0x0008, 0x1030, "LO", "HEAD, NECK");
    Add(d, 0x0010, 0x0010, "PN", "DOE,JOHN");
    Add(d, 0x0010, 0x0020, "LO", "P01 ");
    Add(d, 0x0020, 0x000D, "UI", "1.2.3");
    Add(d, 0x0020, 0x000E, "UI", series);
    Add(d, 0x0020, 0x0011, "IS", "2 ");
    Add(d, 0x0020, 0x0013, "IS", "7 ");
    d.Append(data::NewUsElement({0x0028, 0x0010}, 512));
    d.Append(data::NewUsElement({0x0028, 0x0011}, 256));
    return d;
}

}  // namespace

TEST(DatabaseIndex, LinesAndWhenTheyAreWritten) {
    testsupport::TempDir dir;
    const auto root = dir / "Database";
    SetShortDateFormat("ddmmyyyy");
    const std::string today = FormatShortDate();
    char expectedDate[16];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(expectedDate, sizeof expectedDate, "%d%m%Y", &local);
    EXPECT_EQ(today, expectedDate);

    const auto first = Instance("1.2.3.1", "1.2.3.1.1");
    IndexStoredInstance(dir / "img1.dcm", root, first);
    // The Patient's Name loses its comma; the Study Description keeps it, quoted so that it
    // stays one field.
    EXPECT_EQ(ReadFileText(root / "LXStudy.dir"),
              "1.2.3,20261208,101500,P01,,DOE^JOHN,,,CT,\"HEAD, NECK\",\xA7" + today + "\r\n");
    EXPECT_EQ(ReadFileText(root / "1.2.3" / "Series.dir"), "2,1.2.3.1,,,,,,,MAKER,\r\n");
    const std::string imageLine =
        ",7,1.2.3.1.1,,,,,,1.2.840.10008.5.1.4.1.1.2,512,256,ORIGINAL\\PRIMARY\\AXIAL\r\n";
    EXPECT_EQ(ReadFileText(root / "1.2.3" / "1.2.3.1" / "Image.dir"), imageLine);

    // A second instance of the series adds to the image index only.
    IndexStoredInstance(dir / "img2.dcm", root, Instance("1.2.3.1", "1.2.3.1.2"));
    EXPECT_EQ(ReadFileText(root / "1.2.3" / "1.2.3.1" / "Image.dir"),
              imageLine +
                  ",7,1.2.3.1.2,,,,,,1.2.840.10008.5.1.4.1.1.2,512,256,"
                  "ORIGINAL\\PRIMARY\\AXIAL\r\n");
    // The first of a new series adds a series line and starts an image index.
    IndexStoredInstance(dir / "img3.dcm", root, Instance("1.2.3.2", "1.2.3.2.1"));
    EXPECT_EQ(ReadFileText(root / "1.2.3" / "Series.dir"),
              "2,1.2.3.1,,,,,,,MAKER,\r\n2,1.2.3.2,,,,,,,MAKER,\r\n");
    EXPECT_TRUE(std::filesystem::exists(root / "1.2.3" / "1.2.3.2" / "Image.dir"));
    // An instance whose file is already stored adds nothing anywhere.
    testsupport::WriteFileBytes(dir / "img4.dcm", {1});
    const auto studyBefore = ReadFileText(root / "LXStudy.dir");
    IndexStoredInstance(dir / "img4.dcm", root, Instance("1.2.3.9", "1.2.3.9.1"));
    EXPECT_FALSE(std::filesystem::exists(root / "1.2.3" / "1.2.3.9"));
    EXPECT_EQ(ReadFileText(root / "LXStudy.dir"), studyBefore);
    SetShortDateFormat("");
}

TEST(DatabaseIndex, DirectoryHelpers) {
    testsupport::TempDir dir;
    EXPECT_TRUE(IsExistingDirectory(dir.Path()));
    EXPECT_FALSE(IsExistingDirectory(dir / "none"));
    EXPECT_TRUE(CreateDirectoryPath((dir / "a" / "b" / "c").string() + "/"));
    EXPECT_TRUE(IsExistingDirectory(dir / "a" / "b" / "c"));
    EXPECT_TRUE(CreateDirectoryPath(dir / "a"));  // exists already
    EXPECT_THROW(CreateDirectoryPath(""), std::invalid_argument);
    testsupport::WriteFileBytes(dir / "file", {1});
    EXPECT_FALSE(CreateDirectoryPath(dir / "file" / "x"));
}

// Every field of the three files goes out and comes back through the layout tables, values
// holding commas, quotes and line ends included, and lines of files written before values
// were quoted read as they were.
TEST(IndexFiles, ReadBackWhatIsWrittenForEveryField) {
    testsupport::TempDir dir;
    const auto root = dir / "Database";
    ElementList d;
    for (const IndexLevel level : {IndexLevel::Study, IndexLevel::Series, IndexLevel::Image}) {
        int n = 0;
        for (const IndexField& field : IndexLayout(level)) {
            if (field.tag.group == 0 || data::FindTag(d, field.tag) != nullptr) continue;
            std::string value = std::string(field.name) + std::to_string(++n);
            if (n % 3 == 0) value += ", with a comma";
            if (n == 4) value = "\"quoted\" and \"\"twice\"\", then,";
            if (n == 5) value = "two\r\nlines";
            if (field.tag == Tag{0x0028, 0x0010}) {
                d.Append(data::NewUsElement(field.tag, 512));
                continue;
            }
            if (field.tag == Tag{0x0028, 0x0011}) {
                d.Append(data::NewUsElement(field.tag, 256));
                continue;
            }
            const bool uid = field.tag == Tag{0x0020, 0x000D} || field.tag == Tag{0x0020, 0x000E};
            d.Append(
                data::NewTextElement(field.tag, "LO", uid ? "1.2." + std::to_string(n) : value));
        }
    }
    SetShortDateFormat("ddmmyyyy");
    AddIndexLines(root, d);
    const std::string study = data::GetTagString(d, 0x0020, 0x000D);
    const std::string series = data::GetTagString(d, 0x0020, 0x000E);
    const std::pair<IndexLevel, std::filesystem::path> files[] = {
        {IndexLevel::Study, root / "LXStudy.dir"},
        {IndexLevel::Series, root / study / "Series.dir"},
        {IndexLevel::Image, root / study / series / "Image.dir"}};
    for (const auto& [level, path] : files) {
        const auto read = ReadIndexFile(level, path);
        ASSERT_TRUE(read.has_value()) << path;
        ASSERT_EQ(read->size(), 1u) << path;
        EXPECT_EQ(read->front(), IndexEntryOf(level, d, FormatShortDate())) << path;
    }
    EXPECT_EQ(
        IndexValue(IndexLevel::Image, ReadIndexFile(IndexLevel::Image, files[2].second)->front(),
                   {0x0028, 0x0010}),
        "512");
    SetShortDateFormat("");

    // An old line with a comma in its description: the surplus stays in the last field.
    const auto old = ParseIndexText(IndexLevel::Series, "2,1.2.3,,,,HEAD, NECK,,,MAKER,\r\n,\r\n");
    ASSERT_EQ(old.size(), 2u);
    EXPECT_EQ(old[0][5], "HEAD");
    EXPECT_EQ(old[0][9], "MAKER,");
    EXPECT_EQ(old[1], IndexEntry(10));
}
