// Every conversion tessaly-cli writes is judged by DCMTK and dicom3tools, never by our own
// reader: the file must parse in dcmdump without a warning, dciodvfy must find no error the
// input did not have, and once DCMTK has decompressed both to explicit VR little endian, the
// converted data set must hold the same elements and the same pixels as the original.
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/DcmtkCompare.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using testsupport::RunCommand;

namespace {

const char* const kTargets[] = {"implicit", "explicit", "big", "jpeg-lossless"};

std::set<std::string> DciodvfyErrors(const fs::path& file) {
    auto result = RunCommand({"dciodvfy", file.string()});
    std::set<std::string> errors;
    std::istringstream in(result.output + result.errors);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("Error", 0) == 0) errors.insert(line);
    }
    return errors;
}

class ConversionInterop : public testing::Test {
  protected:
    void SetUp() override {
        for (const char* tool : {"dcmdump", "dcmdjpeg", "dcmcjpeg", "dcmconv", "dciodvfy"}) {
            if (!testsupport::ToolAvailable(tool)) GTEST_SKIP() << "needs " << tool;
        }
        if (testsupport::PydicomTestFiles().empty()) GTEST_SKIP() << "needs pydicom's files";
    }

    // Converts source to target with tessaly-cli and judges the result.
    void Check(const fs::path& source, const std::string& target, bool expectRefusal = false) {
        SCOPED_TRACE(source.filename().string() + " -> " + target);
        const fs::path out = dir_ / (source.stem().string() + "." + target + ".dcm");
        auto convert = RunCommand(
            {testsupport::CliPath(), "convert", source.string(), out.string(), "--ts", target});
        if (expectRefusal) {
            EXPECT_EQ(convert.exitCode, 1);
            EXPECT_FALSE(convert.errors.empty());
            EXPECT_FALSE(fs::exists(out));
            return;
        }
        ASSERT_EQ(convert.exitCode, 0) << convert.errors;
        auto dump = RunCommand({"dcmdump", out.string()});
        EXPECT_EQ(dump.exitCode, 0);
        EXPECT_EQ(dump.errors, "");  // no warnings

        const std::set<std::string> before = DciodvfyErrors(source);
        for (const auto& error : DciodvfyErrors(out)) {
            EXPECT_TRUE(before.count(error)) << "new dciodvfy error: " << error;
        }

        testsupport::ExpectSameDataSet(source, out, dir_.Path(),
                                       {.pixelsUpToFrames = target == "jpeg-lossless"});
    }

    // The file in another syntax, written by DCMTK.
    fs::path Dcmtk(const fs::path& source, const std::string& syntax) {
        const fs::path out = dir_ / (source.stem().string() + ".dcmtk-" + syntax + ".dcm");
        std::vector<std::string> argv;
        if (syntax == "jpeg-lossless") {
            argv = {"dcmcjpeg", "+e1", source.string(), out.string()};
        } else if (syntax == "baseline") {
            argv = {"dcmcjpeg", "+eb", source.string(), out.string()};
        } else {
            const std::map<std::string, std::string> option = {
                {"implicit", "+ti"}, {"explicit", "+te"}, {"big", "+tb"}};
            argv = {"dcmconv", option.at(syntax), source.string(), out.string()};
        }
        auto r = RunCommand(argv);
        EXPECT_EQ(r.exitCode, 0) << r.errors;
        return out;
    }

    fs::path Generated(uint16_t bits, uint16_t rows, uint16_t columns, const std::string& name) {
        return testsupport::WriteGeneratedImage(
            dir_ / name, bits, rows, columns,
            "1.2.826.0.1.3680043.2.7251.1." + std::to_string(bits));
    }

    testsupport::TempDir dir_;
};

}  // namespace

TEST_F(ConversionInterop, EveryPairOfWrittenSyntaxesOnRealAndGeneratedImages) {
    const fs::path pydicom = testsupport::PydicomTestFiles();
    std::vector<fs::path> images = {pydicom / "CT_small.dcm", Generated(16, 96, 80, "gen16.dcm"),
                                    Generated(8, 64, 70, "gen8.dcm")};
    for (const fs::path& image : images) {
        for (const char* from : kTargets) {
            const fs::path source = Dcmtk(image, from);
            for (const char* to : kTargets)
                Check(source, to);
        }
    }
}

TEST_F(ConversionInterop, RealFilesOfEveryKind) {
    const fs::path p = testsupport::PydicomTestFiles();
    for (const char* name :
         {"MR_small.dcm", "MR_small_implicit.dcm", "MR_small_bigendian.dcm", "MR_small_padded.dcm",
          "rtplan.dcm", "test-SR.dcm", "waveform_ecg.dcm"}) {
        for (const char* to : kTargets)
            Check(p / name, to);
    }
    // Images the lossless codec is not for: 32-bit doses and 1-bit masks.
    for (const char* name : {"rtdose.dcm", "liver_1frame.dcm"}) {
        for (const char* to : {"implicit", "explicit", "big"})
            Check(p / name, to);
        Check(p / name, "jpeg-lossless", true);
    }
}

TEST_F(ConversionInterop, BaselineJpegSourcesDecodeAsDcmtkDecodesThem) {
    const fs::path p = testsupport::PydicomTestFiles();
    // Colour: YCbCr as the data set says, RGB without a transform, and chroma subsampled;
    // lossless JPEG keeps the decoded RGB in one three-component stream.
    for (const char* name : {"SC_rgb_jpeg_dcmtk.dcm", "SC_jpeg_no_color_transform.dcm",
                             "SC_rgb_dcmtk_+eb+cy+np.dcm", "SC_rgb_dcmtk_+eb+cr.dcm"}) {
        for (const char* to : kTargets)
            Check(p / name, to);
    }
    // Grayscale baseline goes to every syntax, lossless JPEG included.
    const fs::path gray = Dcmtk(Generated(8, 64, 70, "gray8.dcm"), "baseline");
    for (const char* to : kTargets)
        Check(gray, to);
}

TEST_F(ConversionInterop, ConvertingToTheFilesOwnSyntaxCopiesItByteForByte) {
    const fs::path source = testsupport::PydicomTestFiles() / "MR_small_bigendian.dcm";
    const fs::path out = dir_ / "copy.dcm";
    auto r = RunCommand({testsupport::CliPath(), "convert", source.string(), out.string(), "--ts",
                         "1.2.840.10008.1.2.2"});
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_EQ(testsupport::ReadFileBytes(out), testsupport::ReadFileBytes(source));
}
