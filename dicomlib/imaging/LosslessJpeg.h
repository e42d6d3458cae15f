// Lossless JPEG (sequential, Huffman coded, predictive) for grayscale pixel data, over plain
// buffers. The data set converter calls the encoder when it writes pixel data as JPEG lossless
// first-order prediction and the decoder when it turns such pixel data back into native samples.
// Every call keeps its working state on its own stack and heap, so calls on several threads at
// once are safe. Diagnostics go to standard error as the decoder meets them; the results below
// tell the caller whether anything was decoded, and repeat the diagnostics.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "imaging/FrameCodec.h"

namespace dicomlib::imaging {

// Compresses width x height pixels, row by row without padding, each pixel `components` (1 or
// 3) samples in turn: single bytes when bits is 8, otherwise (any other value counts as 16)
// 16-bit little-endian words. The stream is always SOI, SOF3, one DHT with the default table 0,
// SOS over every component (interleaved) with predictor 1 and point transform 0, the
// entropy-coded data and EOI. Returns the complete stream, or an empty vector when the image
// cannot be encoded: width or height 0 or above 65535, or fewer sample bytes than the image
// needs. The stream may have an odd length; the vector has spare capacity for the one pad byte
// (0x00) that an encapsulated fragment then needs, which the caller appends.
std::vector<uint8_t> EncodeLosslessJpeg(std::span<const uint8_t> samples, uint32_t width,
                                        uint32_t height, int bits, int components = 1);

// The frame header of a stream, as its SOF segment gives it.
struct LosslessJpegFrame {
    uint32_t width = 0;   // samples per line
    uint32_t height = 0;  // number of lines
    int precision = 0;    // bits per sample, 2 to 16
    int components = 0;   // in the frame; a scan decodes at most four of them
};

// Reads the frame header without decoding and without writing diagnostics: nullopt when the
// stream has no SOI, no SOF0, SOF1 or SOF3 before its first scan, or an unusable frame header.
std::optional<LosslessJpegFrame> ReadLosslessJpegFrame(std::span<const uint8_t> stream);

enum class LosslessJpegDecoded {
    Image,       // every sample was decoded from the data
    DataErrors,  // every sample was written, but the entropy-coded data was damaged or short
    Nothing,     // a header error (or a stream without a scan): the output is untouched
};

struct LosslessJpegDecodeResult {
    LosslessJpegDecoded decoded = LosslessJpegDecoded::Nothing;
    LosslessJpegFrame frame;  // as read; zero until a usable frame header was met
    int scanComponents = 0;   // samples per pixel in the output
    std::string diagnostics;  // the lines written to standard error, each ending in '\n'
};

// Decodes the first scan of a lossless stream into output: height rows of width pixels, each
// pixel its scan components' samples in scan order (one sample for grayscale), as single bytes
// when bits is 8 (the low eight bits of each sample) and as 16-bit little-endian words
// otherwise. Samples are shifted left by the scan's point transform. SOF0 and SOF1 frames are
// decoded as lossless too. The input is read as if one 0xFF byte followed its last byte, so a
// stream cut short decodes up to where it ends and its missing data reads as zero bits.
// Nothing is written past output.size(): an image larger than the output is refused with a
// diagnostic.
LosslessJpegDecodeResult DecodeLosslessJpeg(std::span<const uint8_t> stream,
                                            std::span<uint8_t> output, int bits);

// The codec of pixel data in lossless JPEG: frames of 8 or 16 bits allocated, one or three
// samples per pixel, both ways (written with first-order prediction; read with any
// predictor). Decoding keeps writing its diagnostics to standard error.
class LosslessJpegCodec final : public FrameCodec {
  public:
    constexpr LosslessJpegCodec() = default;
    bool Encodes() const override { return true; }
    bool EncodesColour() const override { return true; }
    FrameCodecResult Decode(std::span<const uint8_t> stream, const FrameLayout& layout,
                            std::span<uint8_t> output) const override;
    FrameCodecResult Encode(std::span<const uint8_t> samples, const FrameLayout& layout,
                            std::vector<uint8_t>& stream) const override;
};

extern const LosslessJpegCodec LOSSLESS_JPEG_CODEC;

}  // namespace dicomlib::imaging
