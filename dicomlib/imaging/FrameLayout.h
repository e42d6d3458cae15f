// What the RLE, JPEG-LS and JPEG 2000 codecs share: their results over plain buffers, checks of
// a frame's layout, and moving colour samples between pixel and plane order. Knows nothing of
// data sets: the caller reads the layout from the image's attributes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "imaging/FrameCodec.h"

namespace dicomlib::imaging {

// A compressed frame, or why there is none. photometric: the Photometric Interpretation the
// stream's samples stand for when the codec changed it (a colour transform inside the stream),
// empty when it is the image's own.
struct EncodedFrame {
    std::vector<uint8_t> bytes;
    std::string error;
    std::string photometric;
};

// The outcome of decoding one frame into the caller's buffer: error empty when every sample was
// written; photometric as for EncodedFrame (a stream whose colour transform was undone gives
// "RGB").
struct DecodedFrame {
    std::string error;
    std::string photometric;

    bool Ok() const { return error.empty(); }
};

// Why the layout cannot hold an image at all (no rows, a sample size of neither 1, 2 nor 4
// bytes, more bits stored than allocated), or empty.
std::string CheckLayout(const FrameLayout& layout);
// CheckLayout, then whether an output buffer of outputSize bytes holds the decoded frame.
std::string CheckDecodeTarget(const FrameLayout& layout, std::size_t outputSize);

// Reorders a colour frame between plane-by-plane and pixel-by-pixel order; a frame of one
// sample per pixel is copied unchanged. in and out hold layout.FrameBytes() bytes each.
void ToPixelOrder(std::span<const uint8_t> in, std::span<uint8_t> out, const FrameLayout& layout);
void ToPlaneOrder(std::span<const uint8_t> in, std::span<uint8_t> out, const FrameLayout& layout);

// The sample value a decoder writes for `value`: its low bitsStored bits, sign-extended to the
// full sample for signed images, as peers expect the unused high bits.
inline int64_t StoredSample(int64_t value, const FrameLayout& layout) {
    const int shift = 64 - layout.Stored();
    if (layout.isSigned)
        return static_cast<int64_t>(static_cast<uint64_t>(value) << shift) >> shift;
    return static_cast<int64_t>(static_cast<uint64_t>(value) << shift >> shift);
}

// The frame codec results of a decode or an encode: a layout the codec does not take is
// UnsupportedLayout, anything else that fails Malformed (decoding) or UnsupportedLayout
// (encoding, where the samples are ours).
FrameCodecResult ResultOfDecode(const FrameLayout& layout, DecodedFrame&& decoded);
FrameCodecResult ResultOfEncode(EncodedFrame&& encoded, std::vector<uint8_t>& stream);

}  // namespace dicomlib::imaging
