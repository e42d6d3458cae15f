// tessaly-cli's thumbnails of a folder of images against the thumbnails pydicom and numpy compute
// from the same files, by the PSNR of our decoded JPEG: a right window, sign and resampling at
// quality 60 scores well above 30 dB; a wrong one far below.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>

#include "imaging/BaselineJpeg.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using testsupport::RunCommand;

constexpr const char* PYTHON = "/usr/bin/python3";

double Psnr(const dicomlib::imaging::RgbImage& ours, const std::vector<uint8_t>& reference,
            int components) {
    double squares = 0;
    const std::size_t pixels = std::size_t{ours.width} * ours.height;
    for (std::size_t p = 0; p < pixels; ++p) {
        for (int c = 0; c < components; ++c) {
            const double d =
                double(ours.pixels[3 * p + static_cast<std::size_t>(c)]) -
                reference[p * static_cast<std::size_t>(components) + static_cast<std::size_t>(c)];
            squares += d * d;
        }
    }
    const double mse = squares / double(pixels * static_cast<std::size_t>(components));
    return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace

TEST(ThumbnailInterop, ThumbnailsMatchPydicomsRendering) {
    const fs::path files = testsupport::PydicomTestFiles();
    if (files.empty() || RunCommand({PYTHON, "-c", "import pydicom, numpy"}).exitCode != 0) {
        GTEST_SKIP() << "pydicom or numpy is not installed for " << PYTHON;
    }
    const std::string script =
        (testsupport::SourceDir() / "tests/imaging/interop/thumbnail_reference.py").string();
    testsupport::TempDir dir;
    const fs::path images = dir / "images";
    fs::create_directories(images);
    ASSERT_EQ(RunCommand({PYTHON, script, "make", images.string()}).exitCode, 0);
    for (const char* name : {"CT_small.dcm", "MR_small.dcm"})
        fs::copy_file(files / name, images / name);

    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(images))
        names.push_back(entry.path().string());
    for (const char* width : {"100", "160"}) {
        const fs::path out = dir / ("thumbs" + std::string(width));
        const auto made = RunCommand(
            {testsupport::CliPath(), "thumbnail", images.string(), out.string(), "--width", width});
        ASSERT_EQ(made.exitCode, 0) << made.errors;
        std::vector<std::string> render = {PYTHON, script, "render", width, out.string()};
        render.insert(render.end(), names.begin(), names.end());
        const auto rendered = RunCommand(render);
        ASSERT_EQ(rendered.exitCode, 0) << rendered.errors;
        std::istringstream lines(rendered.output);
        std::string name;
        uint32_t w = 0, h = 0;
        int components = 0;
        int judged = 0;
        while (lines >> name >> w >> h >> components) {
            SCOPED_TRACE(name + " at width " + width);
            ++judged;
            dicomlib::imaging::RgbImage ours;
            const auto decoded = dicomlib::imaging::DecodeJpegToRgb(
                testsupport::ReadFileBytes(out / (name + ".jpg")), ours);
            ASSERT_EQ(decoded.decoded, dicomlib::imaging::BaselineJpegDecoded::Image);
            ASSERT_EQ(ours.width, w);
            ASSERT_EQ(ours.height, h);
            const double psnr =
                Psnr(ours, testsupport::ReadFileBytes(out / (name + ".raw")), components);
            EXPECT_GT(psnr, 32.0);
            std::printf("%-16s width %s: %.1f dB\n", name.c_str(), width, psnr);
        }
        EXPECT_EQ(judged, static_cast<int>(names.size()));
    }
}
