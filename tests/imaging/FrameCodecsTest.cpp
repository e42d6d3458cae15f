// The frame codecs behind the compressed syntaxes: every codec on every layout it takes,
// lossless ones exactly, lossy ones within their bound; damaged streams give an error, never
// a crash or a write past the frame.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <random>
#include <string>

#include "imaging/FrameLayout.h"
#include "imaging/HtJ2kCodec.h"
#include "imaging/Jpeg2000Codec.h"
#include "imaging/JpegLsCodec.h"
#include "imaging/JpegXlCodec.h"
#include "imaging/LosslessJpeg.h"
#include "imaging/RleCodec.h"
#include "support/TestSupport.h"

namespace {

using namespace dicomlib::imaging;
using Bytes = std::vector<uint8_t>;

struct Codec {
    std::string name;
    std::function<EncodedFrame(const Bytes&, const FrameLayout&)> encode;
    std::function<DecodedFrame(const Bytes&, Bytes&, const FrameLayout&)> decode;
    double tolerance;  // largest error allowed, as a share of the sample range; 0: lossless
    bool wideSamples;  // also takes 32-bit samples
    bool unsignedOnly = false;
};

// Lossless JPEG through the same shape as the others: it takes pixel-ordered samples only.
EncodedFrame EncodeJpegLosslessFrame(const Bytes& frame, const FrameLayout& layout) {
    Bytes pixels = frame;
    if (layout.planar) ToPixelOrder(frame, pixels, layout);
    return {EncodeLosslessJpeg(pixels, layout.columns, layout.rows, layout.bitsAllocated,
                               layout.samplesPerPixel),
            "", ""};
}
DecodedFrame DecodeJpegLosslessFrame(const Bytes& stream, Bytes& out, const FrameLayout& layout) {
    Bytes pixels(layout.NativeSize());
    const auto r = DecodeLosslessJpeg(stream, pixels, layout.bitsAllocated);
    if (r.decoded != LosslessJpegDecoded::Image) return {"not decoded", ""};
    if (layout.planar) {
        ToPlaneOrder(pixels, out, layout);
    } else {
        std::copy(pixels.begin(), pixels.end(), out.begin());
    }
    return {};
}

const std::vector<Codec>& Codecs() {
    static const std::vector<Codec> codecs = {
        {"rle", EncodeRle, DecodeRle, 0, true},
        {"jpeg-ls", [](auto& f, auto& l) { return EncodeJpegLs(f, l, 0); },
         [](auto& s, auto& o, auto& l) { return DecodeJpegLs(s, o, l); }, 0, false},
        {"jpeg-ls-near", [](auto& f, auto& l) { return EncodeJpegLs(f, l, 3); },
         [](auto& s, auto& o, auto& l) { return DecodeJpegLs(s, o, l); }, -3, false},
        {"j2k", [](auto& f, auto& l) { return EncodeJpeg2000(f, l, {}); },
         [](auto& s, auto& o, auto& l) { return DecodeJpeg2000(s, o, l); }, 0, false},
        {"j2k-lossy", [](auto& f, auto& l) { return EncodeJpeg2000(f, l, {.lossy = true}); },
         [](auto& s, auto& o, auto& l) { return DecodeJpeg2000(s, o, l); }, 0.03, false},
        {"jpeg-lossless", EncodeJpegLosslessFrame, DecodeJpegLosslessFrame, 0, false},
        {"htj2k", [](auto& f, auto& l) { return EncodeHtJ2k(f, l, {}); },
         [](auto& s, auto& o, auto& l) { return DecodeHtJ2k(s, o, l); }, 0, false},
        {"htj2k-rpcl", [](auto& f, auto& l) { return EncodeHtJ2k(f, l, {.rpcl = true}); },
         [](auto& s, auto& o, auto& l) { return DecodeHtJ2k(s, o, l); }, 0, false},
        {"htj2k-lossy", [](auto& f, auto& l) { return EncodeHtJ2k(f, l, {.lossy = true}); },
         [](auto& s, auto& o, auto& l) { return DecodeHtJ2k(s, o, l); }, 0.03, false},
        {"jpeg-xl", [](auto& f, auto& l) { return EncodeJpegXl(f, l, {}); },
         [](auto& s, auto& o, auto& l) { return DecodeJpegXl(s, o, l); }, 0, false},
        {"jpeg-xl-lossy", [](auto& f, auto& l) { return EncodeJpegXl(f, l, {.lossy = true}); },
         [](auto& s, auto& o, auto& l) { return DecodeJpegXl(s, o, l); }, 0.03, false, true},
    };
    return codecs;
}

int64_t SampleAt(const Bytes& frame, std::size_t i, const FrameLayout& l) {
    uint64_t v = 0;
    for (std::size_t b = l.SampleBytes(); b-- > 0;)
        v = v << 8 | frame[i * l.SampleBytes() + b];
    return StoredSample(static_cast<int64_t>(v), l);
}

// A smooth picture with noise and a sharp edge, in the layout's sample order, unused high bits
// as a peer writes them (sign-extended for signed images).
Bytes MakeFrame(const FrameLayout& l, unsigned seed) {
    std::mt19937 random(seed);
    Bytes frame(l.NativeSize());
    const double range = std::ldexp(1.0, l.bitsStored);
    const double low = l.isSigned ? -range / 2 : 0;
    for (std::size_t s = 0; s < l.samplesPerPixel; ++s) {
        for (std::size_t y = 0; y < l.rows; ++y) {
            for (std::size_t x = 0; x < l.columns; ++x) {
                double v =
                    (std::sin(double(x) / 9 + double(s)) + std::cos(double(y) / 13)) / 4 + 0.5;
                if (x > l.columns / 2) v = 1 - v;
                v = v * (range - 1) * 0.98 +
                    std::uniform_real_distribution<>(0, range / 64)(random);
                const auto value =
                    StoredSample(static_cast<int64_t>(std::min(low + v, low + range - 1)), l);
                const std::size_t p = y * l.columns + x;
                const std::size_t at = l.planar ? s * l.Pixels() + p : p * l.samplesPerPixel + s;
                for (std::size_t b = 0; b < l.SampleBytes(); ++b)
                    frame[at * l.SampleBytes() + b] = static_cast<uint8_t>(value >> (8 * b));
            }
        }
    }
    return frame;
}

std::vector<FrameLayout> Layouts() {
    std::vector<FrameLayout> layouts;
    for (uint16_t bits : {uint16_t{8}, uint16_t{16}, uint16_t{32}}) {
        for (uint16_t spp : {uint16_t{1}, uint16_t{3}}) {
            for (bool isSigned : {false, true}) {
                const uint16_t stored = bits == 16 && isSigned ? 12 : bits;
                layouts.push_back({.rows = 37,
                                   .columns = 53,
                                   .bitsAllocated = bits,
                                   .samplesPerPixel = spp,
                                   .rgb = spp == 3,
                                   .bitsStored = stored,
                                   .isSigned = isSigned,
                                   .planar = false});
                if (spp == 3) {
                    layouts.back().planar = true;
                    layouts.push_back(layouts.back());
                    layouts.back().planar = false;
                }
            }
        }
    }
    layouts.push_back(
        {.rows = 1, .columns = 300, .bitsAllocated = 8});  // runs longer than one PackBits run
    layouts.push_back({.rows = 129, .columns = 1, .bitsAllocated = 16, .bitsStored = 16});
    // Fewer samples a side than the wavelet has levels by default.
    layouts.push_back({.rows = 8, .columns = 8, .bitsAllocated = 16, .bitsStored = 16});
    layouts.push_back({.rows = 2, .columns = 3, .bitsAllocated = 8, .isSigned = true});
    return layouts;
}

std::string Describe(const FrameLayout& l) {
    return std::to_string(l.columns) + "x" + std::to_string(l.rows) + " spp " +
           std::to_string(l.samplesPerPixel) + (l.planar ? " planar" : "") + " bits " +
           std::to_string(l.bitsAllocated) + "/" + std::to_string(l.bitsStored) +
           (l.isSigned ? " signed" : "");
}

TEST(FrameCodecs, RoundTripEveryLayout) {
    unsigned seed = 1;
    for (const Codec& codec : Codecs()) {
        for (const FrameLayout& layout : Layouts()) {
            if (layout.bitsAllocated == 32 && !codec.wideSamples) continue;
            if (layout.isSigned && codec.unsignedOnly) continue;
            // A wavelet over a few rows or columns has little to spread the loss over.
            if (codec.tolerance > 0 && std::min(layout.rows, layout.columns) < 8) continue;
            SCOPED_TRACE(codec.name + " " + Describe(layout));
            const Bytes frame = MakeFrame(layout, seed++);
            const EncodedFrame encoded = codec.encode(frame, layout);
            ASSERT_EQ(encoded.error, "");
            ASSERT_FALSE(encoded.bytes.empty());
            Bytes decoded(layout.NativeSize() + 1, 0xEE);
            const DecodedFrame result = codec.decode(encoded.bytes, decoded, layout);
            ASSERT_TRUE(result.Ok()) << result.error;
            EXPECT_EQ(decoded.back(), 0xEE);  // nothing written past the frame
            decoded.pop_back();
            if (codec.tolerance == 0) {
                EXPECT_EQ(decoded, frame);
                continue;
            }
            // Near-lossless bounds every sample (tolerance < 0: the absolute bound) in the
            // unsigned numbers JPEG-LS codes, where signed samples wrap at the range's ends;
            // lossy bounds the root mean square error as a share of the range.
            const std::size_t n = layout.NativeSize() / layout.SampleBytes();
            FrameLayout bits = layout;
            bits.isSigned = codec.tolerance < 0 ? false : layout.isSigned;
            double worst = 0, squares = 0;
            for (std::size_t i = 0; i < n; ++i) {
                const double e = double(SampleAt(decoded, i, bits) - SampleAt(frame, i, bits));
                worst = std::max(worst, std::fabs(e));
                squares += e * e;
            }
            if (codec.tolerance < 0) {
                EXPECT_LE(worst, -codec.tolerance);
            } else {
                EXPECT_LE(std::sqrt(squares / double(n)),
                          codec.tolerance * std::ldexp(1.0, layout.bitsStored));
            }
            if (layout.samplesPerPixel == 3 && codec.name.find("j2k") != std::string::npos) {
                EXPECT_EQ(result.photometric, "RGB");
            }
        }
    }
}

// Every cut of a valid stream and a few corrupted copies: an error or an image, always inside
// the frame.
TEST(FrameCodecs, DamagedStreamsAreErrors) {
    const FrameLayout layout{
        .rows = 24, .columns = 20, .bitsAllocated = 16, .samplesPerPixel = 3, .bitsStored = 16};
    const Bytes frame = MakeFrame(layout, 99);
    for (const Codec& codec : Codecs()) {
        SCOPED_TRACE(codec.name);
        const Bytes stream = codec.encode(frame, layout).bytes;
        Bytes out(layout.NativeSize() + 1, 0xEE);
        std::size_t refused = 0;
        testing::internal::CaptureStderr();  // the lossless JPEG decoder's diagnostics
        for (std::size_t cut = 0; cut < stream.size(); cut += 1 + cut / 8) {
            const Bytes part(stream.begin(), stream.begin() + static_cast<long>(cut));
            if (!codec.decode(part, out, layout).Ok()) ++refused;
        }
        std::mt19937 random(5);
        for (int k = 0; k < 20; ++k) {
            Bytes broken = stream;
            for (int j = 0; j < 4; ++j)
                broken[random() % broken.size()] = static_cast<uint8_t>(random());
            codec.decode(broken, out, layout);
        }
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(out.back(), 0xEE);
        EXPECT_GT(refused, 0u);
        // A stream of another image is refused before any sample is written.
        FrameLayout other = layout;
        other.rows = 25;
        Bytes untouched(other.NativeSize(), 0x11);
        if (codec.name != "jpeg-lossless") {
            EXPECT_FALSE(codec.decode(stream, untouched, other).Ok());
        }
    }
    // The RLE header is checked against the image.
    Bytes rle = EncodeRle(frame, layout).bytes;
    rle[0] = 5;
    Bytes out(layout.NativeSize());
    EXPECT_EQ(DecodeRle(rle, out, layout).error,
              "the RLE header lists 5 segments where the image needs 6");
}

TEST(FrameCodecs, RleByteExact) {
    // One row: a run of 4, a literal of 3 (a pair inside a literal stays literal), a run of 3.
    const FrameLayout layout{.rows = 1, .columns = 10, .bitsAllocated = 8};
    Bytes expected = {1, 0, 0, 0, 64, 0, 0, 0};  // one segment, at offset 64
    expected.resize(64, 0);
    expected.insert(expected.end(), {0xFD, 7, 0x02, 1, 2, 2, 0xFE, 9});
    EXPECT_EQ(EncodeRle(Bytes{7, 7, 7, 7, 1, 2, 2, 9, 9, 9}, layout).bytes, expected);
    // 16-bit: the high bytes form the first segment; odd segments get a pad byte.
    const FrameLayout wide{.rows = 1, .columns = 2, .bitsAllocated = 16, .bitsStored = 16};
    const Bytes rle = EncodeRle(Bytes{0x34, 0x12, 0x78, 0x56}, wide).bytes;
    EXPECT_EQ(Bytes(rle.begin() + 4, rle.begin() + 12), (Bytes{64, 0, 0, 0, 68, 0, 0, 0}));
    EXPECT_EQ(Bytes(rle.begin() + 64, rle.end()),
              (Bytes{0x01, 0x12, 0x56, 0x00, 0x01, 0x34, 0x78, 0x00}));
}

}  // namespace

namespace {

using dicomlib::imaging::FrameLayout;

// libjxl takes samples scaled to their type's whole range: every value of every depth comes
// back, signed ones through their bits stored; lossy JPEG XL refuses signed samples.
TEST(FrameCodecs, JpegXlKeepsEveryValueOfEveryDepth) {
    for (uint16_t bits = 1; bits <= 16; ++bits) {
        SCOPED_TRACE(bits);
        const FrameLayout l{.rows = 64,
                            .columns = 64,
                            .bitsAllocated = uint16_t(bits > 8 ? 16 : 8),
                            .bitsStored = bits,
                            .isSigned = bits % 2 == 0};
        Bytes frame(l.NativeSize());
        // 4096 pixels: every value up to 12 bits, an odd stride through the others.
        for (std::size_t i = 0; i < l.Pixels(); ++i) {
            const auto v = static_cast<uint64_t>(StoredSample(int64_t(i * 16411), l));
            for (std::size_t b = 0; b < l.SampleBytes(); ++b)
                frame[i * l.SampleBytes() + b] = uint8_t(v >> (8 * b));
        }
        const EncodedFrame encoded = EncodeJpegXl(frame, l, {});
        ASSERT_EQ(encoded.error, "");
        Bytes decoded(l.NativeSize());
        ASSERT_TRUE(DecodeJpegXl(encoded.bytes, decoded, l).Ok());
        EXPECT_EQ(decoded, frame);
        if (l.isSigned) {
            EXPECT_EQ(EncodeJpegXl(frame, l, {.lossy = true}).error,
                      "JPEG XL lossy is written for unsigned samples only");
        }
    }
}

uint32_t Be16(const Bytes& s, std::size_t at) {
    return uint32_t{s[at]} << 8 | s[at + 1];
}

// What the RPCL syntax asks, read back from the codestream's main header: RPCL progression,
// wavelet levels enough for a base resolution of at most 64 across, and a TLM segment that
// gives the one tile-part's length as its SOT segment does.
TEST(FrameCodecs, HtJ2kRpclStreamsCarryTheirProgressionAndTileLengths) {
    const FrameLayout l{.rows = 20, .columns = 5000, .bitsAllocated = 8};
    const Bytes frame = MakeFrame(l, 7);
    for (bool rpcl : {false, true}) {
        const Bytes s = EncodeHtJ2k(frame, l, {.rpcl = rpcl}).bytes;
        ASSERT_GT(s.size(), 100u);
        EXPECT_EQ(Be16(s, 6) & 0x4000, 0x4000u);  // Rsiz: the High-Throughput block coder
        int progression = -1, levels = -1;
        uint32_t listed = 0;
        std::size_t at = 2;
        while (at + 4 <= s.size() && Be16(s, at) != 0xFF90) {
            if (Be16(s, at) == 0xFF52) {
                progression = s[at + 5];
                levels = s[at + 9];
            } else if (Be16(s, at) == 0xFF55) {
                EXPECT_EQ(Be16(s, at + 2), 10u);  // one entry
                EXPECT_EQ(s[at + 5], 0x60);       // 16-bit tiles, 32-bit lengths
                EXPECT_EQ(Be16(s, at + 6), 0u);   // tile 0
                listed = Be16(s, at + 8) << 16 | Be16(s, at + 10);
            }
            at += 2 + Be16(s, at + 2);
        }
        ASSERT_LT(at + 10, s.size());
        const uint32_t psot = Be16(s, at + 6) << 16 | Be16(s, at + 8);
        EXPECT_EQ(psot, s.size() - 2 - at);  // the tile-part runs to EOC
        if (rpcl) {
            EXPECT_EQ(progression, 2);  // RPCL
            EXPECT_EQ(levels, 7);       // 5000 / 2^7 = 39
            EXPECT_EQ(listed, psot);
        } else {
            EXPECT_EQ(listed, 0u);  // no TLM segment
        }
        Bytes decoded(l.NativeSize());
        ASSERT_TRUE(DecodeHtJ2k(s, decoded, l).Ok());
        EXPECT_EQ(decoded, frame);
    }
}

// OpenJPH takes a quantisation step, not a size: the lossy encoder finds one near 10:1.
TEST(FrameCodecs, HtJ2kLossyComesNearItsRatio) {
    for (uint16_t bits : {uint16_t{8}, uint16_t{16}}) {
        const FrameLayout l{.rows = 256,
                            .columns = 256,
                            .bitsAllocated = bits,
                            .bitsStored = uint16_t(bits == 8 ? 8 : 12)};
        const EncodedFrame e = EncodeHtJ2k(MakeFrame(l, bits), l, {.lossy = true});
        ASSERT_EQ(e.error, "");
        const double ratio = double(l.NativeSize()) / double(e.bytes.size());
        EXPECT_GT(ratio, 9.0) << bits;
        EXPECT_LT(ratio, 11.0) << bits;
    }
}

// OpenJPEG's block decoder asserts on some damaged High-Throughput code blocks: such a stream is
// a failed decode, never the end of the process, and the frame around it is left alone. The
// stream kept from the fuzzer trips the assertion; the others are a good stream with bytes of
// its code blocks overwritten.
TEST(FrameCodecs, DamagedHtJ2kCodeBlocksFailWithoutEndingTheProcess) {
    std::ifstream kept(testsupport::SourceDir() / "tests/fuzz/corpus/FuzzHtJ2k/damaged-mel-12x16",
                       std::ios::binary);
    Bytes input((std::istreambuf_iterator<char>(kept)), std::istreambuf_iterator<char>());
    ASSERT_GT(input.size(), 4u);
    const FrameLayout small{.rows = 12, .columns = 16, .bitsAllocated = 8};
    Bytes decoded(small.NativeSize() + 1, 0xA5);
    const DecodedFrame d = DecodeHtJ2k(Bytes(input.begin() + 4, input.end()),
                                       std::span(decoded).first(small.NativeSize()), small);
    EXPECT_EQ(d.error,
              "JPEG 2000: the High-Throughput block decoder stopped on damaged code blocks");
    EXPECT_EQ(decoded.back(), 0xA5);

    const FrameLayout l{.rows = 64, .columns = 64, .bitsAllocated = 8};
    const Bytes good = EncodeHtJ2k(MakeFrame(l, 3), l, {}).bytes;
    std::size_t body = good.size();
    for (std::size_t i = 0; i + 1 < good.size(); ++i)
        if (good[i] == 0xFF && good[i + 1] == 0x93) body = i + 2;  // after SOD
    ASSERT_LT(body + 16, good.size());
    std::mt19937 random(7);
    for (int round = 0; round < 24; ++round) {
        Bytes damaged = good;
        for (int n = 0; n < 4; ++n)
            damaged[body + random() % (good.size() - 2 - body)] = uint8_t(random());
        Bytes frame(l.NativeSize() + 1, 0xA5);
        DecodeHtJ2k(damaged, std::span(frame).first(l.NativeSize()), l);
        EXPECT_EQ(frame.back(), 0xA5) << round;
    }
    Bytes frame(l.NativeSize());
    EXPECT_TRUE(DecodeHtJ2k(good, frame, l).Ok());
    EXPECT_EQ(frame, MakeFrame(l, 3));
}

}  // namespace
