// tessaly-cli's file commands as an operator meets them: outputs, reasons and exit codes.
#include <gtest/gtest.h>

#include <string>

#include "data/Datadec.h"
#include "support/DataSetBuilder.h"
#include "support/TestSupport.h"

using testsupport::DataSetBuilder;
using testsupport::RunCommand;

namespace {

testsupport::CommandResult Cli(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {testsupport::CliPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunCommand(argv);
}

std::vector<uint8_t> Body() {
    return DataSetBuilder(true, false)
        .Text(0x0008, 0x0016, "UI", std::string("1.2.840.10008.5.1.4.1.1.7") + '\0')
        .Text(0x0008, 0x0018, "UI", "1.2.3.4")
        .Text(0x0010, 0x0010, "PN", "M\xFCller^Jo")
        .Text(0x0028, 0x0004, "CS", "RGB ")
        .US(0x0028, 0x0010, 1)
        .US(0x0028, 0x0011, 1)
        .US(0x0028, 0x0100, 8)
        .Element(0x7FE0, 0x0010, "OB", {1, 2, 3, 0})
        .Bytes();
}

}  // namespace

TEST(CliDump, PrintsTheMetaGroupThenTheDataSetInUtf8) {
    testsupport::TempDir dir;
    const auto file = dir / "a.dcm";
    testsupport::WriteFileBytes(file, testsupport::Part10File("1.2.840.10008.1.2.1", Body()));
    auto r = Cli({"dump", file.string()});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output.rfind("Dump OK!\n(0002, 0000), 4, UL  \"", 0), 0u) << r.output;
    EXPECT_NE(
        r.output.find("(0010, 0010), 9, PN  \"M\xC3\xBCller^Jo\" - Patient\xE2\x80\x99s Name\n"),
        std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("(7FE0, 0010), 4, OW  \"...\" - Pixel Data"), std::string::npos);

    auto trace = Cli({"dump", "--trace", file.string()});
    EXPECT_EQ(trace.exitCode, 0);
    EXPECT_NE(trace.output.find("(0008,0018),  7,\tUI, \"1.2.3.4\" - SOP Instance UID\n"),
              std::string::npos)
        << trace.output;

    auto missing = Cli({"dump", (dir / "none.dcm").string()});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.output, "Dump Failed!\n");
    EXPECT_EQ(Cli({"dump"}).exitCode, 2);
    EXPECT_EQ(Cli({"dump", "--bogus", file.string()}).exitCode, 2);
}

TEST(CliConvertAndMeta, SayWhyAndTouchNothingOnFailure) {
    testsupport::TempDir dir;
    const auto file = dir / "rgb.dcm";
    testsupport::WriteFileBytes(file, testsupport::Part10File("1.2.840.10008.1.2.1", Body()));
    auto colour =
        Cli({"convert", file.string(), (dir / "out.dcm").string(), "--ts", "jpeg-lossless"});
    EXPECT_EQ(colour.exitCode, 1);
    EXPECT_NE(colour.errors.find("colour image cannot be compressed to lossless JPEG"),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir / "out.dcm"));

    const auto bare = dir / "bare.dcm";
    testsupport::WriteFileBytes(bare, Body());
    auto notPart10 = Cli({"convert", bare.string(), (dir / "out.dcm").string(), "--ts", "big"});
    EXPECT_EQ(notPart10.exitCode, 1);
    EXPECT_NE(notPart10.errors.find("not a Part 10 file"), std::string::npos);
    auto unwritable =
        Cli({"convert", file.string(), (dir / "no" / "out.dcm").string(), "--ts", "implicit"});
    EXPECT_EQ(unwritable.exitCode, 1);
    EXPECT_NE(unwritable.errors.find("cannot write"), std::string::npos);
    EXPECT_EQ(Cli({"convert", file.string(), "x.dcm", "--ts", "jpeg-2000"}).exitCode, 2);
    EXPECT_EQ(Cli({"convert", file.string(), "--ts", "big"}).exitCode, 2);

    EXPECT_EQ(Cli({"meta", bare.string(), "--ts", "explicit"}).exitCode, 0);
    auto dumped = Cli({"dump", bare.string()});
    EXPECT_NE(dumped.output.find("\"1.2.840.10008.1.2.1\" - Transfer Syntax UID"),
              std::string::npos);
    auto again = Cli({"meta", bare.string(), "--ts", "explicit"});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_NE(again.errors.find("already a Part 10 file"), std::string::npos);
}

TEST(CliDump, EveryElementOneTerminalLineAndFragmentsWhole) {
    const auto pydicom = testsupport::PydicomTestFiles();
    if (pydicom.empty()) GTEST_SKIP() << "needs pydicom's files";
    testsupport::TempDir dir;
    // Every control byte of a value shows as '.' in both forms, TAB kept.
    std::string controls = "A";
    for (char c = 1; c < 0x20; ++c)
        controls += c;
    controls += "\x7FZ";
    const auto file = dir / "controls.dcm";
    testsupport::WriteFileBytes(
        file, testsupport::Part10File(
                  "1.2.840.10008.1.2.1",
                  DataSetBuilder(true, false).Text(0x0010, 0x0010, "PN", controls).Bytes()));
    const std::string shown = "A" + std::string(8, '.') + "\t" + std::string(23, '.') + "Z";
    EXPECT_NE(
        Cli({"dump", file.string()})
            .output.find("\n(0010, 0010), 34, PN  \"" + shown + "\" - Patient\xE2\x80\x99s Name\n"),
        std::string::npos);
    EXPECT_NE(
        Cli({"dump", "--trace", file.string()})
            .output.find("\n(0010,0010), 34,\tPN, \"" + shown + "\" - Patient\xE2\x80\x99s Name\n"),
        std::string::npos);

    // A baseline JPEG file, and a lossless one of ours: the pixel data's items end the dump.
    const auto lossless = dir / "lossless.dcm";
    ASSERT_EQ(Cli({"convert", (pydicom / "MR_small.dcm").string(), lossless.string(), "--ts",
                   "jpeg-lossless"})
                  .exitCode,
              0);
    // Our converter writes an empty offset table and one fragment per frame.
    dicomlib::data::DecoderState state;
    ElementList meta, data;
    ASSERT_TRUE(dicomlib::data::ReadPart10File(state, lossless, meta, data));
    const std::string length = std::to_string(data[data.Size() - 3]->length);
    struct Case {
        std::filesystem::path file;
        std::string memoTail, traceTail;
    };
    const Case cases[] = {
        {pydicom / "JPEG-lossy.dcm",
         "(7FE0, 0010), OW - Pixel Data\n(FFFE, E000), DL - Item\n(FFFE, E000), 6830, DL - "
         "Item\n(FFFE, E0DD), DL - Sequence Delimitation Item\n",
         "(7FE0,0010), -1,\tOW\n(FFFE,E000),  0,\tDL, \"\" - Item\n(FFFE,E000), 6830,\tDL\n"
         "(FFFE,E0DD),  0,\tDL, \"\" - Sequence Delimitation Item\n"},
        {lossless,
         "(7FE0, 0010), OW - Pixel Data\n(FFFE, E000), DL - Item\n(FFFE, E000), " + length +
             ", DL - Item\n(FFFE, E0DD), DL - Sequence Delimitation Item\n(FFFC, FFFC), 126, " +
             "OB  \".\" - Data Set Trailing Padding\n",
         "(7FE0,0010), -1,\tOW\n(FFFE,E000),  0,\tDL, \"\" - Item\n(FFFE,E000), " + length +
             ",\tDL\n(FFFE,E0DD),  0,\tDL, \"\" - Sequence Delimitation Item\n(FFFC,FFFC), " +
             "126,\tOB, \".\" - Data Set Trailing Padding\n"},
    };
    for (const auto& c : cases) {
        auto memo = Cli({"dump", c.file.string()});
        auto trace = Cli({"dump", "--trace", c.file.string()});
        EXPECT_TRUE(memo.output.ends_with(c.memoTail)) << memo.output;
        EXPECT_TRUE(trace.output.ends_with(c.traceTail)) << trace.output;
    }
}
