// What the data set converter asks of a pixel data codec: one frame at a time, between the
// codec's stream and native samples in plain buffers. Each codec is one object without state,
// shared by every thread. A failure comes back with its detail in words, so that whoever
// reports it (the converter, the command line, the window) says the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace dicomlib::imaging {

// One frame as the data set describes it.
struct FrameLayout {
    uint32_t rows = 0;
    uint32_t columns = 0;
    uint16_t bitsAllocated = 0;
    uint16_t samplesPerPixel = 1;
    bool rgb = false;         // colour samples are red, green, blue already (no YCbCr conversion)
    uint16_t bitsStored = 0;  // 0: as many as allocated
    bool isSigned = false;    // two's complement samples
    bool planar = false;      // colour plane by plane (all red, all green, all blue)

    // Native bytes of the frame: words little endian, the samples of a pixel interleaved
    // unless the frame is planar.
    std::size_t NativeSize() const { return Pixels() * samplesPerPixel * SampleBytes(); }
    std::size_t SampleBytes() const { return (bitsAllocated + 7u) / 8u; }
    std::size_t Pixels() const { return std::size_t{rows} * columns; }
    uint16_t Stored() const { return bitsStored != 0 ? bitsStored : bitsAllocated; }
};

enum class FrameCodecOutcome {
    Done,
    UnsupportedLayout,  // the codec does not take frames of this layout
    Malformed,          // the stream cannot be decoded into the frame the data set describes
};

struct FrameCodecResult {
    FrameCodecResult() = default;
    FrameCodecResult(FrameCodecOutcome outcomeIn, std::string detailIn,
                     std::string photometricIn = {})
        : outcome(outcomeIn), detail(std::move(detailIn)), photometric(std::move(photometricIn)) {}

    FrameCodecOutcome outcome = FrameCodecOutcome::Done;
    std::string detail;  // why it failed, one line; empty after Done
    // After Done: the Photometric Interpretation the samples now stand for when the codec
    // changed it (a colour transform applied or undone inside the stream); empty otherwise.
    std::string photometric;

    bool Ok() const { return outcome == FrameCodecOutcome::Done; }
};

class FrameCodec {
  public:
    virtual ~FrameCodec() = default;

    // False for a codec that only reads: its Encode refuses every frame.
    virtual bool Encodes() const = 0;
    // Whether Encode takes frames of more than one sample per pixel.
    virtual bool EncodesColour() const = 0;
    // For a codec whose streams lose detail: the method's defined term for Lossy Image
    // Compression Method (0028,2114), e.g. "ISO_15444_1"; null for one that keeps every sample.
    virtual const char* LossyMethod() const { return nullptr; }

    // Decodes one frame's stream into output, which holds exactly layout.NativeSize() bytes.
    virtual FrameCodecResult Decode(std::span<const uint8_t> stream, const FrameLayout& layout,
                                    std::span<uint8_t> output) const = 0;
    // Encodes one frame of layout.NativeSize() native bytes; stream gets the whole stream, which
    // may have an odd length.
    virtual FrameCodecResult Encode(std::span<const uint8_t> samples, const FrameLayout& layout,
                                    std::vector<uint8_t>& stream) const = 0;

    // Some pairs of codecs share their coded data (JPEG XL keeps a baseline JPEG's own
    // coefficients and gives back the JPEG's very bytes): a stream of `from` becomes a stream
    // of `to` without going through samples, so nothing is lost on the way. A codec answers for
    // the pairs it is one of; every other pair is refused.
    virtual bool Rewrites(const FrameCodec& /*from*/, const FrameCodec& /*to*/) const {
        return false;
    }
    virtual FrameCodecResult Rewrite(const FrameCodec& /*from*/, const FrameCodec& /*to*/,
                                     std::span<const uint8_t> /*stream*/,
                                     const FrameLayout& /*layout*/,
                                     std::vector<uint8_t>& /*rewritten*/) const {
        return {FrameCodecOutcome::UnsupportedLayout, "the stream cannot be rewritten", {}};
    }
};

// The codec of the pair (either one) that rewrites streams of `from` into streams of `to`, or
// null when the pair goes through samples.
inline const FrameCodec* RewriterOf(const FrameCodec& from, const FrameCodec& to) {
    if (from.Rewrites(from, to)) return &from;
    if (to.Rewrites(from, to)) return &to;
    return nullptr;
}

}  // namespace dicomlib::imaging
