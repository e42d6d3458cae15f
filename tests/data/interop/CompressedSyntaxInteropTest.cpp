// RLE, deflate, JPEG-LS, JPEG 2000 and colour lossless JPEG against tools that are not ours:
// every pydicom test file in those syntaxes is decompressed by tessaly-cli and by DCMTK or gdcm
// and the pixels must agree; every image we compress must decompress in DCMTK or gdcm to the
// original pixels (within the codec's bound when it is lossy).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "data/Datadec.h"
#include "data/Tags.h"
#include "support/DcmtkCompare.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using namespace dicomlib;
using testsupport::RunCommand;

namespace {

// The native pixels of an uncompressed file, colour pixel by pixel whatever the file's planar
// configuration, with the attributes that say what they are.
struct Pixels {
    std::vector<uint8_t> bytes;
    std::string photometric;
    uint16_t bitsAllocated = 0;
};

Pixels PixelsOf(const fs::path& file) {
    Pixels p;
    data::DecoderState state;
    ElementList meta, body;
    EXPECT_TRUE(data::ReadPart10File(state, file, meta, body)) << file;
    const bool big = state.bigEndian != 0;
    DicomElement* pixels = data::FindTag(body, tag::PixelData);
    if (pixels == nullptr || !data::HasValue(*pixels) || !data::LoadValue(*pixels)) {
        ADD_FAILURE() << file << " has no native pixel data";
        return p;
    }
    p.bytes.assign(pixels->value, pixels->value + pixels->length);
    p.photometric = data::GetTagString(body, tag::PhotometricInterpretation);
    auto us = [&](Tag t) {
        const DicomElement* e = data::FindTag(body, t);
        if (e == nullptr || e->length < 2) return 0;
        return big ? e->value[0] << 8 | e->value[1] : e->value[1] << 8 | e->value[0];
    };
    p.bitsAllocated = static_cast<uint16_t>(us(tag::BitsAllocated));
    if (big && p.bitsAllocated > 8) {
        const std::size_t unit = p.bitsAllocated / 8u;
        for (std::size_t i = 0; i + unit <= p.bytes.size(); i += unit)
            std::reverse(p.bytes.begin() + static_cast<long>(i),
                         p.bytes.begin() + static_cast<long>(i + unit));
    }
    const std::size_t spp = static_cast<std::size_t>(us(tag::SamplesPerPixel));
    if (spp == 3 && us(tag::PlanarConfiguration) == 1) {
        const std::size_t unit = p.bitsAllocated / 8u;
        const std::size_t frame = static_cast<std::size_t>(us(tag::Rows)) *
                                  static_cast<std::size_t>(us(tag::Columns)) * 3 * unit;
        std::vector<uint8_t> byPixel(p.bytes.size());
        for (std::size_t f = 0; f + frame <= p.bytes.size(); f += frame) {
            const std::size_t pixelsPerPlane = frame / 3 / unit;
            for (std::size_t s = 0; s < 3; ++s)
                for (std::size_t i = 0; i < pixelsPerPlane; ++i)
                    std::memcpy(&byPixel[f + (i * 3 + s) * unit],
                                &p.bytes[f + (s * pixelsPerPlane + i) * unit], unit);
        }
        p.bytes = byPixel;
    }
    return p;
}

// The largest difference between samples of the two (unsigned little-endian samples of
// bitsAllocated bits, compared as stored).
double LargestDifference(const Pixels& a, const Pixels& b) {
    const std::size_t unit = a.bitsAllocated / 8u;
    double worst = 0;
    for (std::size_t i = 0; i + unit <= std::min(a.bytes.size(), b.bytes.size()); i += unit) {
        int64_t x = 0, y = 0;
        for (std::size_t k = unit; k-- > 0;) {
            x = x << 8 | a.bytes[i + k];
            y = y << 8 | b.bytes[i + k];
        }
        worst = std::max(worst, std::fabs(double(x - y)));
    }
    return worst;
}

class CompressedInterop : public testing::Test {
  protected:
    void SetUp() override {
        for (const char* tool : {"dcmdrle", "dcmcrle", "dcmdjpls", "dcmdjpeg", "gdcmconv"}) {
            if (!testsupport::ToolAvailable(tool)) GTEST_SKIP() << "needs " << tool;
        }
        if (testsupport::PydicomTestFiles().empty()) GTEST_SKIP() << "needs pydicom's files";
    }

    // tessaly-cli convert; the exit code and standard error.
    testsupport::CommandResult Convert(const fs::path& in, const fs::path& out,
                                       const std::string& ts) {
        return RunCommand(
            {testsupport::CliPath(), "convert", in.string(), out.string(), "--ts", ts});
    }

    // The other tool's decompression of file.
    fs::path Reference(const std::string& tool, const fs::path& file) {
        const fs::path out = dir_ / (file.stem().string() + "." + tool + ".dcm");
        const auto r = tool == "gdcmconv"
                           ? RunCommand({"gdcmconv", "--raw", file.string(), out.string()})
                           : RunCommand({tool, file.string(), out.string()});
        EXPECT_EQ(r.exitCode, 0) << tool << " " << file << ": " << r.errors;
        return out;
    }

    testsupport::TempDir dir_;
};

TEST_F(CompressedInterop, PydicomFilesDecodeAsDcmtkAndGdcmDecodeThem) {
    const fs::path p = testsupport::PydicomTestFiles();
    const std::vector<std::pair<const char*, const char*>> files = {
        {"MR_small_RLE.dcm", "dcmdrle"},
        {"SC_rgb_rle.dcm", "dcmdrle"},
        {"SC_rgb_rle_2frame.dcm", "dcmdrle"},
        {"SC_rgb_rle_16bit.dcm", "dcmdrle"},
        {"SC_rgb_rle_16bit_2frame.dcm", "dcmdrle"},
        {"SC_rgb_rle_32bit_2frame.dcm", "dcmdrle"},
        {"rtdose_rle.dcm", "dcmdrle"},
        {"MR_small_jpeg_ls_lossless.dcm", "dcmdjpls"},
        {"MR_small_jp2klossless.dcm", "gdcmconv"},
        {"693_J2KI.dcm", "gdcmconv"},
        {"GDCMJ2K_TextGBR.dcm", "gdcmconv"},
        {"JPEG2000.dcm", "gdcmconv"},
        {"SC_rgb_gdcm_KY.dcm", "gdcmconv"},
        {"SC_rgb_jpeg_gdcm.dcm", "dcmdjpeg"},
        {"image_dfl.dcm", "gdcmconv"},
    };
    for (const auto& [name, tool] : files) {
        SCOPED_TRACE(name);
        const fs::path ours = dir_ / (std::string(name) + ".ours.dcm");
        const auto r = Convert(p / name, ours, "explicit");
        ASSERT_EQ(r.exitCode, 0) << r.errors;
        const Pixels got = PixelsOf(ours);
        const Pixels want = PixelsOf(Reference(tool, p / name));
        EXPECT_EQ(got.bytes.size(), want.bytes.size());
        EXPECT_TRUE(got.bytes == want.bytes)
            << "largest difference " << LargestDifference(got, want);
        EXPECT_EQ(got.photometric, want.photometric);
    }
    // 12-bit JPEG: no library here decodes it, and the refusal says so.
    for (const char* name : {"JPEG-lossy.dcm", "JPGExtended.dcm"}) {
        const auto r = Convert(p / name, dir_ / "refused.dcm", "explicit");
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.errors.find("12-bit"), std::string::npos) << r.errors;
        EXPECT_FALSE(fs::exists(dir_ / "refused.dcm"));
    }
}

TEST_F(CompressedInterop, OurEncodingsDecodeInDcmtkAndGdcm) {
    const fs::path p = testsupport::PydicomTestFiles();
    // Uncompressed sources of every kind: 16-bit signed, 8-bit RGB of odd size, RGB in two
    // frames, 16-bit unsigned generated.
    std::vector<fs::path> sources = {
        p / "CT_small.dcm", p / "SC_rgb_small_odd.dcm",
        Reference("dcmdrle", p / "SC_rgb_rle_2frame.dcm"),
        Reference("dcmdrle", p / "SC_rgb_rle_16bit.dcm"),
        testsupport::WriteGeneratedImage(dir_ / "gen16.dcm", 16, 96, 80,
                                         "1.2.826.0.1.3680043.2.7251.9.160")};
    struct Target {
        const char* ts;
        const char* tool;
        double bound;  // largest sample difference allowed, as a share of 2^bits allocated
    };
    const Target targets[] = {
        {"rle", "dcmdrle", 0},
        {"jpeg-ls", "dcmdjpls", 0},
        {"jpeg-ls-near", "dcmdjpls", -2},
        {"j2k", "gdcmconv", 0},
        {"j2k-lossy", "gdcmconv", 0.1},
        {"jpeg-lossless", "dcmdjpeg", 0},
        {"deflate", "gdcmconv", 0},
    };
    for (const fs::path& source : sources) {
        const Pixels original = PixelsOf(source);
        for (const Target& t : targets) {
            SCOPED_TRACE(source.filename().string() + " -> " + t.ts);
            const fs::path encoded = dir_ / (source.stem().string() + "." + t.ts + ".dcm");
            const auto r = Convert(source, encoded, t.ts);
            ASSERT_EQ(r.exitCode, 0) << r.errors;
            EXPECT_NE(r.output.find(":1"), std::string::npos) << r.output;  // the ratio shown
            const Pixels theirs = PixelsOf(Reference(t.tool, encoded));
            const fs::path back = dir_ / (source.stem().string() + "." + t.ts + ".back.dcm");
            ASSERT_EQ(Convert(encoded, back, "explicit").exitCode, 0);
            const Pixels ours = PixelsOf(back);
            ASSERT_EQ(theirs.bytes.size(), original.bytes.size());
            const double bound =
                t.bound < 0 ? -t.bound : t.bound * std::ldexp(1.0, original.bitsAllocated);
            EXPECT_LE(LargestDifference(theirs, original), bound);
            EXPECT_LE(LargestDifference(ours, original), bound);
            EXPECT_TRUE(t.bound != 0 || theirs.bytes == original.bytes);
        }
    }
}

// The fragments after the offset table of a file's encapsulated pixel data, as stored.
std::vector<std::vector<uint8_t>> FragmentsOf(const fs::path& file) {
    data::DecoderState state;
    ElementList meta, body;
    EXPECT_TRUE(data::ReadPart10File(state, file, meta, body)) << file;
    std::vector<std::vector<uint8_t>> fragments;
    bool inPixels = false, offsetTable = true;
    for (const DicomElement* e : body) {
        if (TagOf(*e) == tag::PixelData && e->length == UNDEFINED_LENGTH) inPixels = true;
        if (!inPixels || TagOf(*e) != tag::Item) continue;
        if (!std::exchange(offsetTable, false)) {
            const data::ValueView value(*e);  // fragments stay in the file until read
            fragments.emplace_back(value.Bytes().begin(), value.Bytes().end());
        }
    }
    return fragments;
}

// pydicom's baseline JPEG files recompressed as JPEG XL and converted back: the same JPEG bytes
// in every fragment; decoded, the pixels DCMTK decodes from the JPEG, as RGB.
TEST_F(CompressedInterop, BaselineJpegThroughJpegXlComesBackByteForByte) {
    const fs::path p = testsupport::PydicomTestFiles();
    for (const char* name :
         {"SC_rgb_jpeg_dcmtk.dcm", "SC_rgb_dcmtk_+eb+cy+s2.dcm", "SC_rgb_dcmtk_+eb+cy+np.dcm",
          "SC_rgb_small_odd_jpeg.dcm", "SC_jpeg_no_color_transform.dcm"}) {
        SCOPED_TRACE(name);
        const fs::path jxl = dir_ / (std::string(name) + ".jxl.dcm");
        const fs::path back = dir_ / (std::string(name) + ".back.dcm");
        const fs::path pixels = dir_ / (std::string(name) + ".pixels.dcm");
        auto r = Convert(p / name, jxl, "jpeg-xl-jpeg");
        ASSERT_EQ(r.exitCode, 0) << r.errors;
        ASSERT_EQ(Convert(jxl, back, "1.2.840.10008.1.2.4.50").exitCode, 0);
        const auto original = FragmentsOf(p / name);
        ASSERT_EQ(original.size(), 1u);
        const auto rebuilt = FragmentsOf(back);
        ASSERT_EQ(rebuilt.size(), 1u);
        // An odd JPEG stream keeps its pad byte, whatever it was.
        EXPECT_TRUE(std::equal(original[0].begin(), original[0].end() - 1, rebuilt[0].begin()));
        ASSERT_EQ(Convert(jxl, pixels, "explicit").exitCode, 0);
        const Pixels ours = PixelsOf(pixels);
        const Pixels theirs = PixelsOf(Reference("dcmdjpeg", p / name));
        EXPECT_EQ(ours.bytes.size(), theirs.bytes.size());
        EXPECT_LE(LargestDifference(ours, theirs), 2) << "two JPEG decoders' rounding";
        EXPECT_EQ(ours.photometric, "RGB");
        const auto dump = RunCommand({testsupport::CliPath(), "dump", jxl.string()});
        EXPECT_EQ(dump.exitCode, 0);
        EXPECT_NE(dump.output.find("\"1.2.840.10008.1.2.4.111\" - Transfer Syntax UID"),
                  std::string::npos)
            << dump.output;
    }
    // Pixels that never were JPEG cannot be recompressed so; the reason says what can.
    const auto r = Convert(p / "CT_small.dcm", dir_ / "refused.dcm", "jpeg-xl-jpeg");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.errors.find("JPEG XL JPEG recompression is made from JPEG baseline pixel data "
                            "only"),
              std::string::npos)
        << r.errors;
}

}  // namespace
