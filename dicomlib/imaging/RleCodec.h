// RLE Lossless: a frame split into byte planes (one segment per byte of each sample, most
// significant byte first, colour plane by colour plane), each segment run-length coded row by
// row with the PackBits scheme, behind a 64-byte header of segment count and offsets.
#pragma once

#include <span>

#include "imaging/FrameLayout.h"

namespace dicomlib::imaging {

// Compresses one native frame of layout.NativeSize() bytes. At most 15 segments: 3 samples of
// 4 bytes is the largest image the header can describe.
EncodedFrame EncodeRle(std::span<const uint8_t> frame, const FrameLayout& layout);

// Decodes one RLE frame into output (layout.NativeSize() bytes, in the layout's sample order).
// A segment that ends early, a header that does not match the image or offsets outside the
// stream are errors; bytes after a complete segment are ignored.
DecodedFrame DecodeRle(std::span<const uint8_t> stream, std::span<uint8_t> output,
                       const FrameLayout& layout);

// The codec of pixel data in RLE Lossless: 8, 16 and 32 bits allocated, one or three samples
// per pixel, both ways.
class RleCodec final : public FrameCodec {
  public:
    constexpr RleCodec() = default;
    bool Encodes() const override { return true; }
    bool EncodesColour() const override { return true; }
    FrameCodecResult Decode(std::span<const uint8_t> stream, const FrameLayout& layout,
                            std::span<uint8_t> output) const override {
        return ResultOfDecode(layout, DecodeRle(stream, output, layout));
    }
    FrameCodecResult Encode(std::span<const uint8_t> samples, const FrameLayout& layout,
                            std::vector<uint8_t>& stream) const override {
        return ResultOfEncode(EncodeRle(samples, layout), stream);
    }
};

extern const RleCodec RLE_CODEC;

}  // namespace dicomlib::imaging
