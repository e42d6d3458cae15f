// Baseline JPEG pixel data from pydicom's test files (encoded by DCMTK, with and without chroma
// subsampling): our decoding against dcmdjpeg's.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "imaging/BaselineJpeg.h"
#include "support/TestSupport.h"

namespace {

using dicomlib::imaging::BaselineJpegDecoded;
using dicomlib::imaging::DecodeBaselineJpeg;
using testsupport::ReadFileBytes;
using testsupport::RunCommand;
using Bytes = std::vector<uint8_t>;

constexpr const char* PYTHON = "/usr/bin/python3";

TEST(BaselineJpegInterop, PydicomFilesDecodeAsDcmdjpegDoes) {
    if (!testsupport::ToolAvailable("dcmdjpeg")) GTEST_SKIP() << "dcmdjpeg is not installed";
    const auto files = testsupport::PydicomTestFiles();
    if (files.empty() || RunCommand({PYTHON, "-c", "import pydicom"}).exitCode != 0)
        GTEST_SKIP() << "pydicom is not installed for " << PYTHON;
    const std::string script =
        (testsupport::SourceDir() / "tests/imaging/interop/dicom_pixels.py").string();
    testsupport::TempDir dir;

    for (const char* name :
         {"SC_rgb_jpeg_dcmtk.dcm", "SC_rgb_dcmtk_+eb+cy+s2.dcm", "SC_rgb_small_odd_jpeg.dcm"}) {
        SCOPED_TRACE(name);
        const auto file = files / name;
        const auto size = RunCommand(
            {PYTHON, "-c",
             "import sys, pydicom; d = pydicom.dcmread(sys.argv[1]); print(d.Rows, d.Columns)",
             file.string()});
        ASSERT_EQ(size.exitCode, 0) << size.errors;
        uint32_t rows = 0, columns = 0;
        std::istringstream(size.output) >> rows >> columns;

        ASSERT_EQ(RunCommand({PYTHON, script, "fragment", file.string(), (dir / "f.jpg").string()})
                      .exitCode,
                  0);
        ASSERT_EQ(RunCommand({"dcmdjpeg", file.string(), (dir / "plain.dcm").string()}).exitCode,
                  0);
        ASSERT_EQ(RunCommand({PYTHON, script, "pixels", (dir / "plain.dcm").string(),
                              (dir / "plain.raw").string()})
                      .exitCode,
                  0);
        const Bytes stream = ReadFileBytes(dir / "f.jpg");
        Bytes expected = ReadFileBytes(dir / "plain.raw");
        expected.resize(std::size_t{rows} * columns * 3);  // without the pad byte

        Bytes rgb(expected.size());
        const auto result = DecodeBaselineJpeg(stream, rgb, rows, columns, true);
        EXPECT_EQ(result.decoded, BaselineJpegDecoded::Image) << result.detail;
        int worst = 0;
        for (std::size_t i = 0; i < rgb.size(); ++i)
            worst = std::max(worst, std::abs(rgb[i] - expected[i]));
        EXPECT_LE(worst, 2);  // two libjpeg builds may round a colour conversion differently

        // Read as monochrome: the mean of our own red, green and blue.
        Bytes gray(std::size_t{rows} * columns);
        DecodeBaselineJpeg(stream, gray, rows, columns, false);
        for (std::size_t i = 0; i < gray.size(); ++i)
            ASSERT_EQ(gray[i], (rgb[3 * i] + rgb[3 * i + 1] + rgb[3 * i + 2]) / 3) << i;
    }
}

}  // namespace
