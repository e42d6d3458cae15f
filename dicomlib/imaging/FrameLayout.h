// How one frame of native pixel data is laid out, for the codecs that turn it into a compressed
// stream and back: samples little endian, bitsAllocated / 8 bytes each, rows without padding,
// colour either pixel by pixel (R G B R G B ...) or plane by plane (all R, all G, all B).
// Knows nothing of data sets: the caller reads these values from the image's attributes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace dicomlib::imaging {

struct FrameLayout {
    uint32_t rows = 0;
    uint32_t columns = 0;
    uint16_t samplesPerPixel = 1;
    uint16_t bitsAllocated = 8;
    uint16_t bitsStored = 8;
    bool isSigned = false;  // two's complement samples
    bool planar = false;    // colour by plane rather than by pixel

    std::size_t SampleBytes() const { return bitsAllocated / 8u; }
    std::size_t Pixels() const { return std::size_t{rows} * columns; }
    std::size_t FrameBytes() const { return Pixels() * samplesPerPixel * SampleBytes(); }
};

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

// Reorders a colour frame between plane-by-plane and pixel-by-pixel order; a frame of one
// sample per pixel is copied unchanged. in and out hold layout.FrameBytes() bytes each.
void ToPixelOrder(std::span<const uint8_t> in, std::span<uint8_t> out, const FrameLayout& layout);
void ToPlaneOrder(std::span<const uint8_t> in, std::span<uint8_t> out, const FrameLayout& layout);

// The sample value a decoder writes for `value`: its low bitsStored bits, sign-extended to the
// full sample for signed images, as peers expect the unused high bits.
inline int64_t StoredSample(int64_t value, const FrameLayout& layout) {
    const int shift = 64 - layout.bitsStored;
    if (layout.isSigned)
        return static_cast<int64_t>(static_cast<uint64_t>(value) << shift) >> shift;
    return static_cast<int64_t>(static_cast<uint64_t>(value) << shift >> shift);
}

}  // namespace dicomlib::imaging
