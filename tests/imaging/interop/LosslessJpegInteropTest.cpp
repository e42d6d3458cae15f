// The lossless codec against DCMTK: DCMTK's streams (every predictor) decode to the original
// samples, and DCMTK decodes ours to the original samples. Pixel data moves between raw files
// and DICOM files through pydicom.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "imaging/LosslessJpeg.h"
#include "support/TestSupport.h"

namespace {

using dicomlib::imaging::DecodeLosslessJpeg;
using dicomlib::imaging::EncodeLosslessJpeg;
using dicomlib::imaging::LosslessJpegDecoded;
using testsupport::ReadFileBytes;
using testsupport::RunCommand;
using testsupport::WriteFileBytes;
using Bytes = std::vector<uint8_t>;

constexpr const char* PYTHON = "/usr/bin/python3";

class LosslessJpegInterop : public testing::Test {
  protected:
    void SetUp() override {
        for (const char* tool : {"dcmcjpeg", "dcmdjpeg"}) {
            if (!testsupport::ToolAvailable(tool)) GTEST_SKIP() << tool << " is not installed";
        }
        if (RunCommand({PYTHON, "-c", "import pydicom"}).exitCode != 0)
            GTEST_SKIP() << "pydicom is not installed for " << PYTHON;
    }

    void Pixels(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {PYTHON, script_};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto result = RunCommand(argv);
        ASSERT_EQ(result.exitCode, 0) << result.errors;
    }

    void Run(const std::vector<std::string>& argv) {
        const auto result = RunCommand(argv);
        ASSERT_EQ(result.exitCode, 0) << argv[0] << ": " << result.errors;
    }

    // DCMTK compresses raw, we decode its stream.
    void ExpectWeDecodeDcmtk(const Bytes& raw, int rows, int columns, int bits,
                             const std::vector<std::string>& options) {
        SCOPED_TRACE(options.back());
        WriteFileBytes(dir_ / "in.raw", raw);
        Pixels({"native", (dir_ / "in.raw").string(), std::to_string(rows), std::to_string(columns),
                std::to_string(bits), (dir_ / "in.dcm").string()});
        std::vector<std::string> argv = {"dcmcjpeg"};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.insert(argv.end(), {(dir_ / "in.dcm").string(), (dir_ / "jpeg.dcm").string()});
        Run(argv);
        Pixels({"fragment", (dir_ / "jpeg.dcm").string(), (dir_ / "dcmtk.jpg").string()});
        const Bytes stream = ReadFileBytes(dir_ / "dcmtk.jpg");
        Bytes out(raw.size());
        testing::internal::CaptureStderr();
        const auto result = DecodeLosslessJpeg(stream, out, bits);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(result.decoded, LosslessJpegDecoded::Image);
        EXPECT_TRUE(out == raw);
    }

    // We compress raw, DCMTK decodes our stream.
    Bytes DcmtkDecodesOurs(const Bytes& raw, int rows, int columns, int bits,
                           const std::vector<std::string>& options = {}) {
        const Bytes stream = EncodeLosslessJpeg(raw, static_cast<uint32_t>(columns),
                                                static_cast<uint32_t>(rows), bits);
        WriteFileBytes(dir_ / "ours.jpg", stream);
        Pixels({"lossless", (dir_ / "ours.jpg").string(), std::to_string(rows),
                std::to_string(columns), std::to_string(bits), (dir_ / "ours.dcm").string()});
        std::vector<std::string> argv = {"dcmdjpeg"};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.insert(argv.end(), {(dir_ / "ours.dcm").string(), (dir_ / "plain.dcm").string()});
        Run(argv);
        Pixels({"pixels", (dir_ / "plain.dcm").string(), (dir_ / "plain.raw").string()});
        Bytes pixels = ReadFileBytes(dir_ / "plain.raw");
        // An odd number of 8-bit samples comes back with its pad byte.
        if (pixels.size() == raw.size() + 1 && raw.size() % 2 == 1) pixels.pop_back();
        return pixels;
    }

    testsupport::TempDir dir_;
    std::string script_ =
        (testsupport::SourceDir() / "tests/imaging/interop/dicom_pixels.py").string();
};

// A 16-bit image with a body of slowly varying values and noise, signed-looking steps (-1000
// as 64536 beside small positive values) and, optionally, a first sample of 0.
Bytes TestImage16(int rows, int columns, bool firstSampleZero) {
    std::mt19937 random(42);
    Bytes raw;
    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < columns; ++x) {
            int value = 1000 + x * 13 + y * 7 + static_cast<int>(random() % 41) - 20;
            if ((x / 5 + y / 3) % 4 == 0) value = 64536 + static_cast<int>(random() % 50);
            if (x == 0 && y == 0) value = firstSampleZero ? 0 : 1234;
            raw.push_back(static_cast<uint8_t>(value));
            raw.push_back(static_cast<uint8_t>(value >> 8));
        }
    }
    return raw;
}

Bytes TestImage8(int rows, int columns) {
    std::mt19937 random(43);
    Bytes raw;
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < columns; ++x)
            raw.push_back(static_cast<uint8_t>(x * 3 + y + static_cast<int>(random() % 9)));
    return raw;
}

TEST_F(LosslessJpegInterop, WeDecodeEveryDcmtkPredictor) {
    const Bytes image16 = TestImage16(48, 67, true);
    const Bytes image8 = TestImage8(31, 45);
    ExpectWeDecodeDcmtk(image16, 48, 67, 16, {"+e1"});
    ExpectWeDecodeDcmtk(image8, 31, 45, 8, {"+e1"});
    for (int predictor = 1; predictor <= 7; ++predictor) {
        ExpectWeDecodeDcmtk(image16, 48, 67, 16, {"+el", "+sv", std::to_string(predictor)});
        ExpectWeDecodeDcmtk(image8, 31, 45, 8, {"+el", "+sv", std::to_string(predictor)});
    }
    // DCMTK's standard tables (8-bit only) rather than optimised ones.
    ExpectWeDecodeDcmtk(image8, 31, 45, 8, {"+e1", "-ho"});
}

TEST_F(LosslessJpegInterop, DcmtkDecodesOurStreams) {
    const Bytes image16 = TestImage16(50, 71, false);
    EXPECT_TRUE(DcmtkDecodesOurs(image16, 50, 71, 16) == image16);
    const Bytes image8 = TestImage8(33, 47);
    EXPECT_TRUE(DcmtkDecodesOurs(image8, 33, 47, 8) == image8);

    // A first 16-bit sample of 0 is a difference of 32768 (category 16), which any decoder
    // must read from our streams without a workaround.
    const Bytes zeroFirst = TestImage16(20, 30, true);
    EXPECT_TRUE(DcmtkDecodesOurs(zeroFirst, 20, 30, 16) == zeroFirst);
}

TEST_F(LosslessJpegInterop, RealCtSliceSurvivesBothWays) {
    const auto file = testsupport::PydicomTestFiles() / "CT_small.dcm";
    if (!std::filesystem::exists(file)) GTEST_SKIP() << "no pydicom test files";
    Pixels({"pixels", file.string(), (dir_ / "ct.raw").string()});
    const Bytes raw = ReadFileBytes(dir_ / "ct.raw");
    ASSERT_EQ(raw.size(), 128u * 128u * 2u);
    EXPECT_TRUE(DcmtkDecodesOurs(raw, 128, 128, 16) == raw);
    ExpectWeDecodeDcmtk(raw, 128, 128, 16, {"+e1"});
}

}  // namespace
