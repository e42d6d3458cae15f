// High-Throughput JPEG 2000 and JPEG XL against tools that are not ours: our streams decode in
// OpenJPEG's opj_decompress, OpenJPH's ojph_expand and libjxl's djxl to the original samples;
// streams written by ojph_compress, opj_compress and cjxl decode in ours to the samples of
// their source; a JPEG recompressed by either side comes back from the other as the very JPEG.
// Samples move between the tools as PGM and PPM files.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "imaging/HtJ2kCodec.h"
#include "imaging/JpegXlCodec.h"
#include "support/ImageFiles.h"
#include "support/TestSupport.h"

namespace {

using namespace dicomlib::imaging;
using testsupport::ReadFileBytes;
using testsupport::RunCommand;
using testsupport::WriteFileBytes;
using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

// A frame as a PNM file holds it: its layout and its samples as numbers.
struct Picture {
    FrameLayout layout;
    std::vector<uint32_t> samples;  // pixel by pixel

    Bytes Frame() const {
        Bytes frame(layout.NativeSize());
        for (std::size_t i = 0; i < samples.size(); ++i)
            for (std::size_t b = 0; b < layout.SampleBytes(); ++b)
                frame[i * layout.SampleBytes() + b] = uint8_t(samples[i] >> (8 * b));
        return frame;
    }
};

Picture Make(uint32_t rows, uint32_t columns, uint16_t bits, uint16_t spp) {
    Picture p;
    p.layout = {.rows = rows,
                .columns = columns,
                .bitsAllocated = uint16_t(bits > 8 ? 16 : 8),
                .samplesPerPixel = spp,
                .rgb = spp == 3,
                .bitsStored = bits};
    const double top = std::ldexp(1.0, bits) - 1;
    for (uint32_t y = 0; y < rows; ++y)
        for (uint32_t x = 0; x < columns; ++x)
            for (uint32_t s = 0; s < spp; ++s) {
                const double v = 0.5 + 0.4 * std::sin(x / 7.0 + s) * std::cos(y / 11.0) +
                                 ((x * 31 + y * 17 + s) % 13) / 200.0;
                p.samples.push_back(uint32_t(std::lround(std::clamp(v, 0.0, 1.0) * top)));
            }
    return p;
}

Picture FromFrame(const Bytes& frame, const FrameLayout& layout) {
    Picture p{layout, {}};
    for (std::size_t i = 0; i < frame.size() / layout.SampleBytes(); ++i) {
        uint32_t v = 0;
        for (std::size_t b = layout.SampleBytes(); b-- > 0;)
            v = v << 8 | frame[i * layout.SampleBytes() + b];
        p.samples.push_back(v);
    }
    return p;
}

void WritePnm(const fs::path& path, const Picture& p) {
    const std::string head = std::string(p.layout.samplesPerPixel == 3 ? "P6" : "P5") + "\n" +
                             std::to_string(p.layout.columns) + " " +
                             std::to_string(p.layout.rows) + "\n" +
                             std::to_string((1u << p.layout.Stored()) - 1) + "\n";
    Bytes bytes(head.begin(), head.end());
    for (uint32_t v : p.samples) {
        if (p.layout.Stored() > 8) bytes.push_back(uint8_t(v >> 8));
        bytes.push_back(uint8_t(v));
    }
    WriteFileBytes(path, bytes);
}

// The samples of a PNM file, and its maximum value.
std::vector<uint32_t> ReadPnm(const fs::path& path, uint32_t* maximum = nullptr) {
    const Bytes bytes = ReadFileBytes(path);
    std::size_t at = 2;
    uint32_t fields[3] = {};
    for (uint32_t& f : fields) {
        while (at < bytes.size() && (std::isspace(bytes[at]) || bytes[at] == '#')) {
            if (bytes[at] == '#') {  // a comment, to the end of its line
                while (at < bytes.size() && bytes[at] != '\n')
                    ++at;
            }
            ++at;
        }
        while (at < bytes.size() && std::isdigit(bytes[at]))
            f = f * 10 + uint32_t(bytes[at++] - '0');
    }
    ++at;
    if (maximum != nullptr) *maximum = fields[2];
    std::vector<uint32_t> samples;
    for (; at<bytes.size(); at += fields[2]> 255 ? 2 : 1)
        samples.push_back(fields[2] > 255 ? uint32_t(bytes[at]) << 8 | bytes[at + 1] : bytes[at]);
    return samples;
}

uint32_t LargestDifference(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
    uint32_t worst = a.size() == b.size() ? 0 : ~0u;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        worst = std::max(worst, uint32_t(std::abs(int64_t(a[i]) - int64_t(b[i]))));
    return worst;
}

class HtJ2kJpegXlInterop : public testing::Test {
  protected:
    void SetUp() override {
        for (const char* tool : {"opj_decompress", "opj_compress", "ojph_expand", "ojph_compress",
                                 "djxl", "cjxl", "jxlinfo"}) {
            if (!testsupport::ToolAvailable(tool)) GTEST_SKIP() << tool << " is not installed";
        }
    }

    void Run(const std::vector<std::string>& argv) {
        const auto r = RunCommand(argv);
        ASSERT_EQ(r.exitCode, 0) << argv[0] << ": " << r.errors << r.output;
    }

    fs::path Path(const std::string& name) { return dir_ / name; }

    // Our decoding of a stream of the picture's layout.
    std::vector<uint32_t> Ours(const Bytes& stream, const FrameLayout& layout, bool jxl) {
        Bytes frame(layout.NativeSize());
        const DecodedFrame d =
            jxl ? DecodeJpegXl(stream, frame, layout) : DecodeHtJ2k(stream, frame, layout);
        EXPECT_TRUE(d.Ok()) << d.error;
        return FromFrame(frame, layout).samples;
    }

    std::vector<Picture> Pictures() {
        return {Make(61, 97, 12, 1), Make(48, 64, 8, 3), Make(33, 40, 16, 1)};
    }

    testsupport::TempDir dir_;
};

TEST_F(HtJ2kJpegXlInterop, OurHtJ2kDecodesInOpenJpegAndOpenJph) {
    for (const Picture& p : Pictures()) {
        for (const HtJ2kOptions options :
             {HtJ2kOptions{}, HtJ2kOptions{.rpcl = true}, HtJ2kOptions{.lossy = true}}) {
            SCOPED_TRACE(std::to_string(p.layout.Stored()) + " bits, " +
                         std::to_string(p.layout.samplesPerPixel) + " samples" +
                         (options.rpcl ? ", RPCL" : "") + (options.lossy ? ", lossy" : ""));
            const EncodedFrame e = EncodeHtJ2k(p.Frame(), p.layout, options);
            ASSERT_EQ(e.error, "");
            const std::string pnm = p.layout.samplesPerPixel == 3 ? ".ppm" : ".pgm";
            WriteFileBytes(Path("ours.j2c"), e.bytes);
            Run({"ojph_expand", "-i", Path("ours.j2c").string(), "-o",
                 Path("ojph" + pnm).string()});
            fs::copy_file(Path("ours.j2c"), Path("ours.j2k"), fs::copy_options::overwrite_existing);
            Run({"opj_decompress", "-quiet", "-i", Path("ours.j2k").string(), "-o",
                 Path("opj" + pnm).string()});
            const auto openjph = ReadPnm(Path("ojph" + pnm));
            const auto openjpeg = ReadPnm(Path("opj" + pnm));
            if (!options.lossy) {
                EXPECT_EQ(openjph, p.samples);
                EXPECT_EQ(openjpeg, p.samples);
            } else {
                // Each irreversible wavelet rounds on its own.
                EXPECT_LE(LargestDifference(openjpeg, Ours(e.bytes, p.layout, false)), 1u);
                EXPECT_LE(LargestDifference(openjph, Ours(e.bytes, p.layout, false)), 2u);
            }
        }
    }
}

TEST_F(HtJ2kJpegXlInterop, StreamsOfOpenJphAndOpenJpegDecodeInOurs) {
    for (const Picture& p : Pictures()) {
        SCOPED_TRACE(std::to_string(p.layout.Stored()) + " bits");
        const std::string pnm = p.layout.samplesPerPixel == 3 ? ".ppm" : ".pgm";
        WritePnm(Path("in" + pnm), p);
        // Tiles, small code blocks, another progression: the decoder follows what it finds.
        Run({"ojph_compress", "-i", Path("in" + pnm).string(), "-o", Path("tiled.j2c").string(),
             "-reversible", "true", "-tile_size", "{32,24}", "-block_size", "{16,32}",
             "-prog_order", "CPRL", "-num_decomps", "3"});
        EXPECT_EQ(Ours(ReadFileBytes(Path("tiled.j2c")), p.layout, false), p.samples);
        Run({"ojph_compress", "-i", Path("in" + pnm).string(), "-o", Path("lossy.j2c").string(),
             "-qstep", "0.02"});
        Run({"ojph_expand", "-i", Path("lossy.j2c").string(), "-o", Path("lossy" + pnm).string()});
        EXPECT_LE(LargestDifference(Ours(ReadFileBytes(Path("lossy.j2c")), p.layout, false),
                                    ReadPnm(Path("lossy" + pnm))),
                  2u);
        // A classic codestream under an HTJ2K syntax is OpenJPEG's to read.
        Run({"opj_compress", "-i", Path("in" + pnm).string(), "-o", Path("classic.j2k").string()});
        EXPECT_EQ(Ours(ReadFileBytes(Path("classic.j2k")), p.layout, false), p.samples);
    }
}

// djxl writes PNM files of any depth but 8 from samples scaled to 16 bits whatever maximum it
// writes, and cjxl reads them so too: djxl is asked for 16 bits, and cjxl gets 8- and 16-bit
// files only.
TEST_F(HtJ2kJpegXlInterop, JpegXlBothWaysWithLibjxlsTools) {
    for (const Picture& p : Pictures()) {
        const uint32_t bits = p.layout.Stored();
        SCOPED_TRACE(std::to_string(bits) + " bits");
        const std::string pnm = p.layout.samplesPerPixel == 3 ? ".ppm" : ".pgm";
        const uint32_t top = (1u << bits) - 1;
        const auto djxl = [&](const fs::path& jxl) {  // back to the stream's depth
            Run({"djxl", jxl.string(), Path("djxl" + pnm).string(), "--bits_per_sample",
                 bits > 8 ? "16" : "8"});
            std::vector<uint32_t> samples = ReadPnm(Path("djxl" + pnm));
            if (bits > 8) {
                for (uint32_t& v : samples)
                    v = uint32_t((uint64_t{v} * top + 32767) / 65535);
            }
            return samples;
        };
        for (bool lossy : {false, true}) {
            const EncodedFrame e = EncodeJpegXl(p.Frame(), p.layout, {.lossy = lossy});
            ASSERT_EQ(e.error, "");
            WriteFileBytes(Path("ours.jxl"), e.bytes);
            const auto info = RunCommand({"jxlinfo", Path("ours.jxl").string()});
            EXPECT_NE(info.output.find(std::to_string(bits) + "-bit"), std::string::npos)
                << info.output;
            const auto theirs = djxl(Path("ours.jxl"));
            if (!lossy) {
                EXPECT_EQ(theirs, p.samples);
            } else {
                EXPECT_LE(LargestDifference(theirs, Ours(e.bytes, p.layout, true)), 1u);
            }
        }
        if (bits != 8 && bits != 16) continue;
        WritePnm(Path("in" + pnm), p);
        Run({"cjxl", Path("in" + pnm).string(), Path("theirs.jxl").string(), "-d", "0", "-e", "7"});
        EXPECT_EQ(Ours(ReadFileBytes(Path("theirs.jxl")), p.layout, true), p.samples);
        Run({"cjxl", Path("in" + pnm).string(), Path("lossy.jxl").string(), "-d", "2"});
        EXPECT_LE(LargestDifference(Ours(ReadFileBytes(Path("lossy.jxl")), p.layout, true),
                                    djxl(Path("lossy.jxl"))),
                  1u);
    }
}

TEST_F(HtJ2kJpegXlInterop, JpegRecompressionGivesTheJpegBackOnEitherSide) {
    for (int components : {1, 3}) {
        const Picture p = Make(120, 160, 8, uint16_t(components));
        const Bytes jpeg = testsupport::JpegBytes(p.Frame(), 160, 120, components);
        // Ours, rebuilt by djxl.
        const EncodedFrame ours = RecompressJpeg(jpeg, p.layout);
        ASSERT_EQ(ours.error, "");
        EXPECT_LT(ours.bytes.size(), jpeg.size());
        WriteFileBytes(Path("ours.jxl"), ours.bytes);
        Run({"djxl", Path("ours.jxl").string(), Path("back.jpg").string()});
        EXPECT_EQ(ReadFileBytes(Path("back.jpg")), jpeg);
        // cjxl's, rebuilt by us.
        WriteFileBytes(Path("in.jpg"), jpeg);
        Run({"cjxl", Path("in.jpg").string(), Path("theirs.jxl").string()});
        const EncodedFrame rebuilt = ReconstructJpeg(ReadFileBytes(Path("theirs.jxl")), p.layout);
        ASSERT_EQ(rebuilt.error, "");
        EXPECT_EQ(rebuilt.bytes, jpeg);
    }
}

}  // namespace
