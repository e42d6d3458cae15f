// Baseline (and any other libjpeg-readable) JPEG decoding from memory, for pixel data in the
// baseline transfer syntax and for JPEG files, and baseline encoding into memory for
// thumbnails. libjpeg's failures come back as results: nothing here ends the process, and
// nothing is written past the caller's buffer.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "imaging/FrameCodec.h"

namespace dicomlib::imaging {

enum class BaselineJpegDecoded {
    Image,    // every row was decoded
    Damaged,  // every row was written, but libjpeg warned that the data was corrupt or short
    Nothing,  // not decoded; the output is untouched or partly written
};

struct BaselineJpegResult {
    BaselineJpegDecoded decoded = BaselineJpegDecoded::Nothing;
    std::string detail;  // why nothing was decoded, or libjpeg's first warning
};

// Decodes a JPEG stream whose size the data set gives into output, top row first: colour images
// as 3 bytes per pixel (red, green, blue), monochrome ones as 1 byte per pixel, the mean of the
// red, green and blue values (integer division by 3), which for a one-component JPEG is its gray
// value. The image must be exactly columns x rows and output must hold
// rows x columns x (colour ? 3 : 1) bytes; otherwise nothing is decoded. rgbComponents: the
// data set says its three components are RGB, so no YCbCr conversion is applied.
BaselineJpegResult DecodeBaselineJpeg(std::span<const uint8_t> stream, std::span<uint8_t> output,
                                      uint32_t rows, uint32_t columns, bool colour,
                                      bool rgbComponents = false);

struct RgbImage {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> pixels;  // width x height x 3 bytes: red, green, blue, top row first
};

// Decodes a JPEG stream of any size into a 24-bit image.
BaselineJpegResult DecodeJpegToRgb(std::span<const uint8_t> stream, RgbImage& image);

// The codec of pixel data in JPEG baseline: frames of 8 bits allocated, one or three samples
// per pixel, read only.
class BaselineJpegCodec final : public FrameCodec {
  public:
    constexpr BaselineJpegCodec() = default;
    bool Encodes() const override { return false; }
    bool EncodesColour() const override { return false; }
    FrameCodecResult Decode(std::span<const uint8_t> stream, const FrameLayout& layout,
                            std::span<uint8_t> output) const override;
    FrameCodecResult Encode(std::span<const uint8_t> samples, const FrameLayout& layout,
                            std::vector<uint8_t>& stream) const override;
};

extern const BaselineJpegCodec BASELINE_JPEG_CODEC;

// The codec of pixel data in JPEG extended (processes 2 and 4), read only: streams of 8-bit
// precision are decoded as baseline ones; 12-bit ones are refused with the reason, since the
// system's libjpeg reads 8-bit samples only.
class ExtendedJpegCodec final : public FrameCodec {
  public:
    constexpr ExtendedJpegCodec() = default;
    bool Encodes() const override { return false; }
    bool EncodesColour() const override { return false; }
    FrameCodecResult Decode(std::span<const uint8_t> stream, const FrameLayout& layout,
                            std::span<uint8_t> output) const override;
    FrameCodecResult Encode(std::span<const uint8_t> samples, const FrameLayout& layout,
                            std::vector<uint8_t>& stream) const override;
};

extern const ExtendedJpegCodec EXTENDED_JPEG_CODEC;

// The sample precision of a JPEG stream's frame header, 0 when there is none.
int JpegPrecision(std::span<const uint8_t> stream);

// Encodes width x height samples, top row first, as a baseline JPEG stream: components 1 is
// grayscale (one byte per pixel), 3 is red, green, blue. pixels must hold them all. False with
// libjpeg's reason in detail when nothing was encoded.
bool EncodeBaselineJpeg(std::span<const uint8_t> pixels, uint32_t width, uint32_t height,
                        int components, int quality, std::vector<uint8_t>& stream,
                        std::string& detail);

}  // namespace dicomlib::imaging
