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

    // What cannot be dumped keeps the window's line, and says why on standard error.
    std::vector<uint8_t> cut = testsupport::Part10File("1.2.840.10008.1.2.1", Body());
    const std::size_t pixelsAt = cut.size() - 16;  // the pixel data's header: 12 bytes, then 4
    cut.resize(cut.size() - 2);
    testsupport::WriteFileBytes(dir / "cut.dcm", cut);
    const std::string notes = "not a DICOM file";
    testsupport::WriteFileBytes(dir / "notes.txt",
                                std::vector<uint8_t>(notes.begin(), notes.end()));
    const std::pair<std::string, std::string> failures[] = {
        {(dir / "none.dcm").string(), "no such file"},
        {dir.Path().string(), "a folder, not a file"},
        {(dir / "notes.txt").string(), "not a DICOM file: 16 bytes, too short"},
        {(dir / "cut.dcm").string(),
         "damaged at byte " + std::to_string(pixelsAt) +
             ": the value of (7FE0,0010) announces 4 bytes, but only 2 follow"},
    };
    for (const auto& [path, why] : failures) {
        for (const char* form : {"", "--trace"}) {
            auto failed =
                std::string(form).empty() ? Cli({"dump", path}) : Cli({"dump", form, path});
            EXPECT_EQ(failed.exitCode, 1);
            EXPECT_EQ(failed.output, "Dump Failed!\n");
            EXPECT_EQ(failed.errors.rfind("tessaly-cli: dump: " + path + ": " + why, 0), 0u)
                << failed.errors;
        }
    }
    EXPECT_EQ(Cli({"dump"}).exitCode, 2);
    EXPECT_EQ(Cli({"dump", "--bogus", file.string()}).exitCode, 2);
}

TEST(CliConvertAndMeta, SayWhyAndTouchNothingOnFailure) {
    testsupport::TempDir dir;
    const auto file = dir / "rgb.dcm";
    testsupport::WriteFileBytes(file, testsupport::Part10File("1.2.840.10008.1.2.1", Body()));
    // A colour image compresses to lossless JPEG, and the sizes, ratio and time are shown.
    auto colour =
        Cli({"convert", file.string(), (dir / "rgb.ll.dcm").string(), "--ts", "jpeg-lossless"});
    EXPECT_EQ(colour.exitCode, 0) << colour.errors;
    EXPECT_NE(colour.output.find("rgb.ll.dcm: 1.2.840.10008.1.2.4.70, "), std::string::npos);
    EXPECT_NE(colour.output.find(":1, "), std::string::npos) << colour.output;
    EXPECT_NE(colour.output.find(" ms\n"), std::string::npos);
    // Read-only syntaxes are no target.
    auto readOnly = Cli(
        {"convert", file.string(), (dir / "out.dcm").string(), "--ts", "1.2.840.10008.1.2.4.50"});
    EXPECT_EQ(readOnly.exitCode, 1);
    EXPECT_NE(readOnly.errors.find("1.2.840.10008.1.2.4.50"), std::string::npos);
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
    // A codec that refuses a frame says why, on the same line.
    const auto damaged = dir / "damaged.dcm";
    testsupport::WriteFileBytes(
        damaged, testsupport::Part10File("1.2.840.10008.1.2.4.70",
                                         DataSetBuilder(true, false)
                                             .Text(0x0028, 0x0004, "CS", "MONOCHROME2 ")
                                             .US(0x0028, 0x0010, 1)
                                             .US(0x0028, 0x0011, 2)
                                             .US(0x0028, 0x0100, 8)
                                             .Undefined(0x7FE0, 0x0010, "OB")
                                             .ItemWithValue({})
                                             .ItemWithValue({0x12, 0x34})
                                             .SequenceEnd()
                                             .Bytes()));
    auto refused = Cli({"convert", damaged.string(), (dir / "out.dcm").string(), "--ts", "big"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(
        refused.errors.find(damaged.string() +
                            ": malformed data, not converted (Not a JPEG file. Found 12 34)\n"),
        std::string::npos)
        << refused.errors;
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
    // Control bytes of a value show as '.' in both forms, TAB kept.
    const auto file = dir / "controls.dcm";
    testsupport::WriteFileBytes(
        file, testsupport::Part10File("1.2.840.10008.1.2.1",
                                      DataSetBuilder(true, false)
                                          .Text(0x0010, 0x0010, "PN", "A\x01\t\r\n\x1F\x7FZ")
                                          .Bytes()));
    EXPECT_NE(Cli({"dump", file.string()}).output.find("\n(0010, 0010), 8, PN  \"A.\t....Z\" -"),
              std::string::npos);
    EXPECT_NE(Cli({"dump", "--trace", file.string()})
                  .output.find("\n(0010,0010),  8,\tPN, \"A.\t....Z\" -"),
              std::string::npos);

    // A baseline JPEG file and a lossless one of ours (an empty offset table, one fragment).
    const auto lossless = dir / "lossless.dcm";
    ASSERT_EQ(Cli({"convert", (pydicom / "MR_small.dcm").string(), lossless.string(), "--ts",
                   "jpeg-lossless"})
                  .exitCode,
              0);
    for (const auto& jpeg : {pydicom / "JPEG-lossy.dcm", lossless}) {
        dicomlib::data::DecoderState state;
        ElementList meta, data;
        ASSERT_TRUE(dicomlib::data::ReadPart10File(state, jpeg, meta, data));
        std::size_t pixels = 0;  // the first fragment follows the pixel data and offset table
        while (data[pixels]->group != 0x7FE0)
            ++pixels;
        const std::string length = std::to_string(data[pixels + 2]->length);
        EXPECT_NE(Cli({"dump", jpeg.string()})
                      .output.find("(7FE0, 0010), OW - Pixel Data\n(FFFE, E000), DL - Item\n"
                                   "(FFFE, E000), " +
                                   length + ", DL - Item\n(FFFE, E0DD), DL - "),
                  std::string::npos);
        EXPECT_NE(Cli({"dump", "--trace", jpeg.string()})
                      .output.find("(7FE0,0010), -1,\tOW\n(FFFE,E000),  0,\tDL, \"\" - Item\n"
                                   "(FFFE,E000), " +
                                   length + ",\tDL\n(FFFE,E0DD),  0,\tDL, \"\" -"),
                  std::string::npos);
    }
}
