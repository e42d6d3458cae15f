#include "imaging/LosslessJpeg.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>

#include "imaging/LosslessJpegStreams.h"

namespace {

using dicomlib::imaging::DecodeLosslessJpeg;
using dicomlib::imaging::EncodeLosslessJpeg;
using dicomlib::imaging::LosslessJpegDecoded;
using dicomlib::imaging::LosslessJpegDecodeResult;
using dicomlib::imaging::ReadLosslessJpegFrame;
using Bytes = std::vector<uint8_t>;

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Samples as the codec takes them: bytes, or 16-bit little-endian words.
Bytes Pack(const std::vector<int>& samples, int bits) {
    Bytes out;
    for (int s : samples) {
        out.push_back(static_cast<uint8_t>(s));
        if (bits != 8) out.push_back(static_cast<uint8_t>(s >> 8));
    }
    return out;
}

struct Decoded {
    Bytes pixels;
    LosslessJpegDecoded decoded;
    std::string errors;
};

Decoded Decode(const Bytes& stream, size_t outputSize, int bits, uint8_t fill = 0xAA) {
    Decoded d;
    d.pixels.assign(outputSize, fill);
    testing::internal::CaptureStderr();
    const LosslessJpegDecodeResult result = DecodeLosslessJpeg(stream, d.pixels, bits);
    d.decoded = result.decoded;
    d.errors = testing::internal::GetCapturedStderr();
    // The result repeats every diagnostic, word for word.
    EXPECT_EQ(result.diagnostics, d.errors);
    return d;
}

// Encodes and decodes; returns the size of the stream.
size_t ExpectRoundTrip(const std::vector<int>& samples, uint32_t width, uint32_t height, int bits) {
    SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height) + " at " +
                 std::to_string(bits) + " bits");
    const Bytes raw = Pack(samples, bits);
    const Bytes stream = EncodeLosslessJpeg(raw, width, height, bits);
    const auto frame = ReadLosslessJpegFrame(stream);
    EXPECT_TRUE(frame && frame->width == width && frame->height == height &&
                frame->precision == (bits == 8 ? 8 : 16));
    const Decoded d = Decode(stream, raw.size(), bits);
    EXPECT_EQ(d.decoded, LosslessJpegDecoded::Image);
    EXPECT_EQ(d.errors, "");
    EXPECT_EQ(d.pixels, raw);
    return stream.size();
}

// clang-format off
const Bytes HEADERS_8BIT_2X2 = {
    0xFF, 0xD8,                                      // SOI
    0xFF, 0xC3, 0x00, 0x0B,                          // SOF3, length 11
    0x08, 0x00, 0x02, 0x00, 0x02,                    // precision 8, 2 lines, 2 samples per line
    0x01, 0x00, 0x11, 0x00,                          // 1 component: id 0, 1x1, no table
    0xFF, 0xC4, 0x00, 0x24, 0x00,                    // DHT, length 36, DC table 0
    0x00, 0x01, 0x05, 0x01, 0x01, 0x01, 0x01, 0x01,  // code counts for lengths 1 to 8
    0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x00, 0x00,  // and 9 to 16
    0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,  // categories 0 to 16
    0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10,
    0xFF, 0xDA, 0x00, 0x08,                          // SOS, length 8
    0x01, 0x00, 0x00,                                // 1 component: id 0, table 0
    0x01, 0x00, 0x00,                                // predictor 1, Se 0, point transform 0
};
// clang-format on

TEST(LosslessJpegEncoder, ConstantImageByteExact) {
    Bytes expected = HEADERS_8BIT_2X2;
    // Four differences of 0, each the 2-bit code 00: exactly one byte, no fill.
    expected.insert(expected.end(), {0x00, 0xFF, 0xD9});
    EXPECT_EQ(EncodeLosslessJpeg(Bytes(4, 128), 2, 2, 8), expected);
}

TEST(LosslessJpegEncoder, FirstSampleZeroAt16BitsIsWrittenAsEveryDecoderReadsIt) {
    Bytes headers = HEADERS_8BIT_2X2;
    headers[6] = 16;               // precision
    headers[8] = headers[10] = 1;  // 1 x 1
    // Older table-0 streams follow category 16 with 16 extra bits:
    // 11111111111110 (category 16, 14 bits), 0111111111111111 (low 16 bits of -32769), 11
    // fill: FF F9 FF FF, each FF followed by a stuffed 00. They still decode to 0.
    Bytes legacy = headers;
    legacy.insert(legacy.end(), {0xFF, 0x00, 0xF9, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0xD9});
    const Decoded old = Decode(legacy, 2, 16);
    EXPECT_EQ(old.pixels, (Bytes{0, 0}));
    EXPECT_EQ(old.decoded, LosslessJpegDecoded::Image);

    // We write category 16 with no extra bits, in table 0 with categories 15 and 16 trading
    // codes: 1111111111110 (13 bits) and 111 fill, FF F7 with FF stuffed.
    Bytes expected = headers;
    std::swap(expected[51], expected[52]);
    ASSERT_EQ(expected[51], 16);
    expected.insert(expected.end(), {0xFF, 0x00, 0xF7, 0xFF, 0xD9});
    const Bytes stream = EncodeLosslessJpeg(Bytes{0, 0}, 1, 1, 16);
    EXPECT_EQ(stream, expected);
    const Decoded d = Decode(stream, 2, 16);
    EXPECT_EQ(d.pixels, (Bytes{0, 0}));
    EXPECT_EQ(d.decoded, LosslessJpegDecoded::Image);
    // Any bits value other than 8 means 16.
    EXPECT_EQ(EncodeLosslessJpeg(Bytes{0, 0}, 1, 1, 12), expected);
    // Images without such a step keep table 0 itself.
    EXPECT_EQ(EncodeLosslessJpeg(Bytes{1, 0}, 1, 1, 16)[52], 16);
}

TEST(LosslessJpegEncoder, StepsBeyond32768AreCodedModulo65536) {
    // 65535 then 0: differences 32767 (category 15: 13-bit code, 15 bits) and -65535, sent
    // as +1 (category 1: 010, 1): FF F7 FF F5, stuffed.
    Bytes expected = HEADERS_8BIT_2X2;
    expected[6] = 16;
    expected[8] = 1;
    expected.insert(expected.end(), {0xFF, 0x00, 0xF7, 0xFF, 0x00, 0xF5, 0xFF, 0xD9});
    const Bytes raw = {0xFF, 0xFF, 0x00, 0x00};
    const Bytes stream = EncodeLosslessJpeg(raw, 2, 1, 16);
    EXPECT_EQ(stream, expected);
    EXPECT_EQ(Decode(stream, 4, 16).pixels, raw);
}

TEST(LosslessJpegEncoder, RefusesWhatCannotBeEncoded) {
    const Bytes samples(2 * 65536, 0);
    EXPECT_TRUE(EncodeLosslessJpeg(samples, 65536, 1, 8).empty());
    EXPECT_TRUE(EncodeLosslessJpeg(samples, 1, 65536, 8).empty());
    EXPECT_TRUE(EncodeLosslessJpeg(samples, 0, 1, 8).empty());
    EXPECT_TRUE(EncodeLosslessJpeg(samples, 1, 0, 16).empty());
    EXPECT_TRUE(EncodeLosslessJpeg(Bytes(5, 0), 3, 2, 8).empty());  // one sample short
    EXPECT_FALSE(EncodeLosslessJpeg(samples, 65535, 1, 8).empty());
    EXPECT_FALSE(EncodeLosslessJpeg(samples, 1, 65535, 16).empty());
}

TEST(LosslessJpegCodec, RoundTripsAtBothSampleSizes) {
    std::mt19937 random(7);
    for (int bits : {8, 16}) {
        const int max = bits == 8 ? 255 : 65535;
        auto image = [&](uint32_t w, uint32_t h, auto sample) {
            std::vector<int> s;
            for (uint32_t y = 0; y < h; ++y)
                for (uint32_t x = 0; x < w; ++x)
                    s.push_back(sample(x, y));
            return ExpectRoundTrip(s, w, h, bits);
        };
        // Random samples make every category appear, 16 included at 16 bits; the encoder's
        // output then outgrows the raw size.
        EXPECT_GT(image(61, 47,
                        [&](uint32_t, uint32_t) { return static_cast<int>(random() % (max + 1)); }),
                  61u * 47u * static_cast<unsigned>(bits / 8));
        image(512, 3, [&](uint32_t x, uint32_t y) {
            return static_cast<int>((x * 7 + y * 3) % (max + 1));
        });
        image(33, 17, [&](uint32_t, uint32_t) { return 0; });
        image(17, 33, [&](uint32_t, uint32_t) { return max; });
        image(1, 1, [&](uint32_t, uint32_t) { return max; });
        image(1, 101, [&](uint32_t, uint32_t y) { return static_cast<int>(y * 997) % (max + 1); });
        image(101, 1, [&](uint32_t x, uint32_t) { return static_cast<int>(x * 997) % (max + 1); });
        // Alternating extremes: the largest steps in both directions.
        image(9, 7, [&](uint32_t x, uint32_t y) { return (x + y) % 2 ? max : 0; });
    }
}

TEST(LosslessJpegDecoder, SkipsQuantisationTableAndFindsLaterFrame) {
    const Bytes raw = {10, 20, 30, 40, 50, 60};
    const Bytes encoded = EncodeLosslessJpeg(raw, 3, 2, 8);
    // FF D8, then a DQT whose values include FF bytes, then the rest of the stream.
    Bytes stream = {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43, 0x00};
    for (int i = 0; i < 64; ++i)
        stream.push_back(static_cast<uint8_t>(i % 2 ? 0xFF : 0xD9));
    stream.insert(stream.end(), encoded.begin() + 2, encoded.end());
    const Decoded d = Decode(stream, raw.size(), 8);
    EXPECT_EQ(d.errors, "Not a lossless JPEG file.\n");
    EXPECT_EQ(d.pixels, raw);
}

TEST(LosslessJpegDecoder, DecodesEveryPredictorWithRestarts) {
    const uint32_t w = 37, h = 23;
    for (int precision : {8, 12, 16}) {
        const int max = (1 << precision) - 1;
        std::vector<int> samples;
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x)
                samples.push_back(
                    static_cast<int>(x * x * 5 + y * 311 + (x ^ y) * 13) % (max + 1) / 2 + 1);
        for (int predictor = 1; predictor <= 7; ++predictor) {
            for (uint32_t interval : {0u, w, 3 * w, 40 * w}) {
                SCOPED_TRACE("precision " + std::to_string(precision) + " predictor " +
                             std::to_string(predictor) + " restart " + std::to_string(interval));
                const Bytes stream = testjpeg::Encode({.precision = precision,
                                                       .width = w,
                                                       .height = h,
                                                       .predictor = predictor,
                                                       .restartInterval = interval},
                                                      samples);
                const int bits = precision == 8 ? 8 : 16;
                const Decoded d = Decode(stream, samples.size() * (bits / 8), bits);
                EXPECT_EQ(d.errors, "");
                EXPECT_EQ(d.decoded, LosslessJpegDecoded::Image);
                EXPECT_EQ(d.pixels, Pack(samples, bits));
            }
        }
    }
}

TEST(LosslessJpegDecoder, InterleavesComponentsAndAppliesPointTransform) {
    const uint32_t w = 13, h = 9;
    std::vector<int> samples;
    std::mt19937 random(3);
    for (uint32_t i = 0; i < w * h * 3; ++i)
        samples.push_back(static_cast<int>(random() % 4096));
    // The long table gives codes up to 16 bits, beyond the look-ahead.
    const Bytes stream = testjpeg::Encode({.width = w,
                                           .height = h,
                                           .components = 3,
                                           .predictor = 4,
                                           .pointTransform = 2,
                                           .restartInterval = 2 * w,
                                           .longTableForOthers = true},
                                          samples);
    std::vector<int> shifted;
    for (int s : samples)
        shifted.push_back(s << 2);
    const Decoded d = Decode(stream, shifted.size() * 2 + 5, 16);
    EXPECT_EQ(d.errors, "");
    EXPECT_EQ(Bytes(d.pixels.begin(), d.pixels.end() - 5), Pack(shifted, 16));
    EXPECT_EQ(Bytes(d.pixels.end() - 5, d.pixels.end()), Bytes(5, 0xAA));  // beyond: untouched

    // At 8 bits each sample keeps its low byte.
    const Decoded low = Decode(stream, shifted.size(), 8);
    EXPECT_EQ(low.pixels, Pack(shifted, 8));
}

// A 16-bit 1 x 2 stream (the 2 x 2 headers, patched) with its DHT replaced by `table`.
Bytes WithTable(const Bytes& table, const Bytes& data) {
    Bytes stream = HEADERS_8BIT_2X2;
    stream[6] = 16;
    stream[8] = 1;
    stream.erase(stream.begin() + 15, stream.begin() + 15 + 38);
    stream.insert(stream.begin() + 15, table.begin(), table.end());
    stream.insert(stream.end(), data.begin(), data.end());
    stream.insert(stream.end(), {0xFF, 0xD9});
    return stream;
}

TEST(LosslessJpegDecoder, Category16IsAlways32768OutsideTable0) {
    // 00 category 0, 01 category 16, 10 category 1: 32768 + 32768 wraps to 0, then +1.
    Bytes shortCode = {0xFF, 0xC4, 0x00, 0x16, 0x00, 0, 3};
    shortCode.resize(shortCode.size() + 14, 0);
    shortCode.insert(shortCode.end(), {0, 16, 1});
    Decoded d = Decode(WithTable(shortCode, {0x6F}), 4, 16);  // 01 10 1, fill 111
    EXPECT_EQ(d.errors, "");
    EXPECT_EQ(d.pixels, (Bytes{0, 0, 1, 0}));

    // The long table gives category 16 a 16-bit code; still no extra bits follow.
    Bytes longCode = {0xFF, 0xC4, 0x00, 0x24, 0x00, 0, 3};
    longCode.resize(longCode.size() + 14, 1);
    for (uint8_t category = 0; category <= 16; ++category)
        longCode.push_back(category);
    // 1111111111111110 (category 16), 00 (category 0), fill 111111.
    d = Decode(WithTable(longCode, {0xFF, 0x00, 0xFE, 0x3F}), 4, 16);
    EXPECT_EQ(d.errors, "");
    EXPECT_EQ(d.decoded, LosslessJpegDecoded::Image);
    EXPECT_EQ(d.pixels, (Bytes{0, 0, 0, 0}));
}

TEST(LosslessJpegDecoder, ReportsHeaderErrorsAndLeavesOutputAlone) {
    const Bytes good = EncodeLosslessJpeg(Bytes{1, 2, 3, 4}, 2, 2, 8);
    struct Case {
        std::string name;
        Bytes stream;
        std::string message;
    };
    auto patched = [&](size_t at, std::initializer_list<uint8_t> bytes) {
        Bytes s = good;
        std::copy(bytes.begin(), bytes.end(), s.begin() + static_cast<long>(at));
        return s;
    };
    auto cut = [&](size_t size) {
        return Bytes(good.begin(), good.begin() + static_cast<long>(size));
    };
    const std::vector<Case> cases = {
        {"no SOI", Bytes{0x12, 0x34, 0xFF, 0xD8}, "Not a JPEG file. Found 12 34\n"},
        {"empty", Bytes{}, "Not a JPEG file. Found FF FF\n"},
        {"baseline frame", patched(3, {0xC2}), "Unsupported SOF marker type 0xc2\n"},
        {"no lines", patched(7, {0x00, 0x00}), "Empty JPEG image (DNL not supported)\n"},
        {"no components", patched(11, {0x00}), "Empty JPEG image (DNL not supported)\n"},
        {"precision 17", patched(6, {17}), "Unsupported JPEG data precision\n"},
        {"precision 1", patched(6, {1}), "Unsupported JPEG data precision\n"},
        {"SOF length", patched(5, {12}), "Bogus SOF length\n"},
        {"SOS length", patched(56, {9}), "Bogus SOS length\n"},
        {"five components", patched(56, {16, 5}), "Bogus SOS length\n"},
        {"SOS component", patched(58, {7}), "Invalid component number in SOS\n"},
        {"SOS table", patched(59, {0x20}), "Error: Use of undefined Huffman table\n"},
        {"sampling", patched(13, {0x21}), "Error: Downsampling is not supported.\n"},
        {"second frame", patched(54, {0xC3}), "Unexpected marker 0xc3\n"},
        {"predictor 0", patched(60, {0}), "Unsupported predictor selection value 0\n"},
        {"predictor 8", patched(60, {8}), "Unsupported predictor selection value 8\n"},
        {"point transform", patched(62, {8}), "Unsupported point transform 8\n"},
        {"cut in frame", cut(9), "Premature end of JPEG data\n"},
        {"cut before scan", cut(40), "Premature end of JPEG data\n"},
        {"no scan", patched(54, {0xD9}), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Decoded d = Decode(c.stream, 4, 8);
        EXPECT_EQ(d.errors, c.message);
        EXPECT_EQ(d.decoded, LosslessJpegDecoded::Nothing);
        EXPECT_EQ(d.pixels, Bytes(4, 0xAA));
    }

    // An image larger than the output is not decoded at all.
    const Decoded small = Decode(good, 3, 8);
    EXPECT_EQ(small.errors,
              "JPEG image of 2 x 2 x 1 samples does not fit the output buffer of 3 bytes\n");
    EXPECT_EQ(small.pixels, Bytes(3, 0xAA));
    const Decoded wide = Decode(good, 7, 16);
    EXPECT_EQ(wide.decoded, LosslessJpegDecoded::Nothing);
}

TEST(LosslessJpegDecoder, ReportsTableAndRestartErrors) {
    const Bytes raw = {1, 2, 3, 4};
    const Bytes good = EncodeLosslessJpeg(raw, 2, 2, 8);
    auto withSegment = [&](const Bytes& segment) {
        Bytes s(good.begin(), good.begin() + 2);
        s.insert(s.end(), segment.begin(), segment.end());
        s.insert(s.end(), good.begin() + 2, good.end());
        return s;
    };
    // DHT segments: 16 counts of 17 (272 codes); three 1-bit codes; an AC table; index 4.
    const Bytes tooMany = Cat({{0xFF, 0xC4, 0x00, 0x13, 0x00}, Bytes(16, 17)});
    const Bytes overfull = Cat({{0xFF, 0xC4, 0x00, 0x16, 0x00, 3}, Bytes(15, 0), {5, 6, 7}});
    const Bytes acTable = Cat({{0xFF, 0xC4, 0x00, 0x14, 0x10, 1}, Bytes(15, 0), {5}});
    const Bytes badIndex = Cat({{0xFF, 0xC4, 0x00, 0x14, 0x04, 1}, Bytes(15, 0), {5}});

    struct Case {
        Bytes segment;
        std::string message;
    };
    const std::vector<Case> cases = {
        {tooMany, "Bogus DHT counts\n"},
        {overfull, "Bogus DHT counts\n"},
        {acTable, "Huffman table for lossless JPEG is not defined.\n"},
        {badIndex, "Bogus DHT index 4\n"},
        {{0xFF, 0x01}, "Warning: unexpected marker 0x01\n"},
        {{0xFF, 0xD3}, "Warning: unexpected marker 0xd3\n"},
        {{0xFF, 0xE0, 0x00, 0x04, 0xFF, 0xC3}, ""},  // APP0 skipped by its length
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const Decoded d = Decode(withSegment(c.segment), 4, 8);
        EXPECT_EQ(d.errors, c.message);
        EXPECT_EQ(d.pixels, raw);
    }

    const Decoded dri = Decode(withSegment({0xFF, 0xDD, 0x00, 0x05, 0x00, 0x02, 0x00}), 4, 8);
    EXPECT_EQ(dri.errors, "Bogus length in DRI\n");
    EXPECT_EQ(dri.decoded, LosslessJpegDecoded::Nothing);

    const Decoded partRow = Decode(withSegment({0xFF, 0xDD, 0x00, 0x04, 0x00, 0x03}), 4, 8);
    EXPECT_EQ(partRow.errors, "Unsupported restart interval 3: not a whole number of lines\n");

    // A restart interval of one line whose RST markers are all numbered wrong: reported once,
    // and every line is still decoded.
    Bytes stream = testjpeg::Encode({.precision = 8, .width = 4, .height = 6, .restartInterval = 4},
                                    std::vector<int>(24, 100));
    for (size_t i = 2; i + 1 < stream.size(); ++i) {
        if (stream[i] == 0xFF && stream[i + 1] >= 0xD0 && stream[i + 1] <= 0xD7)
            stream[i + 1] = 0xD5;
    }
    const Decoded wrong = Decode(stream, 24, 8);
    EXPECT_EQ(wrong.errors, "Error: Corrupt JPEG data.  Exiting...\n");
    EXPECT_EQ(wrong.decoded, LosslessJpegDecoded::DataErrors);
    EXPECT_EQ(wrong.pixels, Bytes(24, 100));
}

TEST(LosslessJpegDecoder, DamagedDataIsReportedNotOverrun) {
    std::vector<int> samples;
    for (int i = 0; i < 64 * 64; ++i)
        samples.push_back((i * 37) & 0xFFFF);
    const Bytes raw = Pack(samples, 16);
    const Bytes good = EncodeLosslessJpeg(raw, 64, 64, 16);

    // Sixteen 1-bits are no code of table 0.
    Bytes bad = good;
    const size_t data = 63;  // first entropy-coded byte
    bad.insert(bad.begin() + static_cast<long>(data), {0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00});
    const Decoded d = Decode(bad, raw.size(), 16);
    EXPECT_EQ(d.errors.find("Corrupt JPEG data: bad Huffman code\n"), 0u);
    EXPECT_EQ(d.decoded, LosslessJpegDecoded::DataErrors);

    // Every truncation decodes what is there and never reads or writes beyond the buffers.
    for (size_t size = 0; size < good.size(); size += 7) {
        Bytes part(good.begin(), good.begin() + static_cast<long>(size));
        part.shrink_to_fit();
        const Decoded p = Decode(part, raw.size(), 16);
        if (size + 2 >= good.size()) continue;  // only EOI missing
        if (size >= data) {
            EXPECT_EQ(p.decoded, LosslessJpegDecoded::DataErrors) << size;
            EXPECT_EQ(p.errors, "Warning: JPEG data ends before the image is complete\n") << size;
        } else {
            EXPECT_EQ(p.decoded, LosslessJpegDecoded::Nothing) << size;
        }
    }
    // Without its EOI the stream is complete all the same.
    const Decoded noEnd = Decode(Bytes(good.begin(), good.end() - 2), raw.size(), 16);
    EXPECT_EQ(noEnd.decoded, LosslessJpegDecoded::Image);
    EXPECT_EQ(noEnd.pixels, raw);
}

TEST(LosslessJpegCodec, ThreadsGetTheSameBytes) {
    // Four 96 x 80 16-bit images of random walks, each coded and decoded 30 times per thread.
    std::vector<Bytes> images(4, Bytes(2 * 96 * 80));
    std::vector<Bytes> expected;
    std::mt19937 random(5);
    for (std::size_t i = 0; i < images.size(); ++i) {
        int value = 1000 * static_cast<int>(i);
        for (size_t k = 0; k < images[i].size(); k += 2) {
            value = (value + static_cast<int>(random() % 61) - 30) & 0xFFFF;
            images[i][k] = static_cast<uint8_t>(value);
            images[i][k + 1] = static_cast<uint8_t>(value >> 8);
        }
        expected.push_back(EncodeLosslessJpeg(images[i], 96, 80, 16));
    }
    std::vector<int> failures(images.size(), 0);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < images.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 30; ++round) {
                const Bytes stream = EncodeLosslessJpeg(images[t], 96, 80, 16);
                Bytes out(images[t].size());
                DecodeLosslessJpeg(stream, out, 16);
                if (stream != expected[t] || out != images[t]) ++failures[t];
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures, std::vector<int>(images.size(), 0));
}

}  // namespace
