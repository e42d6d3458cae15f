// High-Throughput JPEG 2000: lossless (5-3 wavelet, the reversible colour transform for RGB)
// and lossy (9-7 wavelet, the irreversible one) up to 16 bits stored, signed or not, one or
// three samples per pixel, written through OpenJPH and read through OpenJPEG, which also reads
// the classic codestreams and JP2 files some writers put under these syntaxes.
#pragma once

#include <span>

#include "imaging/FrameLayout.h"

namespace dicomlib::imaging {

struct HtJ2kOptions {
    bool lossy = false;
    // Resolution-first progression, enough wavelet levels for a base resolution of at most 64
    // samples across, and tile-part lengths (TLM) in the main header: what the lossless RPCL
    // syntax asks of a stream, so that a viewer can fetch a thumbnail from its first bytes.
    bool rpcl = false;
    float ratio = 10.0f;  // lossy only: the size of the native frame over the stream's, roughly
};

// Compresses one native frame into a bare codestream. RGB frames (layout.rgb) get the colour
// transform of their mode, so the stream's photometric interpretation is YBR_RCT (lossless) or
// YBR_ICT (lossy); other colour frames keep theirs.
EncodedFrame EncodeHtJ2k(std::span<const uint8_t> frame, const FrameLayout& layout,
                         const HtJ2kOptions& options);

// Decodes a codestream into output (layout.NativeSize() bytes, in the layout's sample order) as
// DecodeJpeg2000 does, once its tile-parts are found whole.
DecodedFrame DecodeHtJ2k(std::span<const uint8_t> stream, std::span<uint8_t> output,
                         const FrameLayout& layout);

// The codec of the three High-Throughput syntaxes; each decodes every High-Throughput stream.
class HtJ2kCodec final : public FrameCodec {
  public:
    explicit constexpr HtJ2kCodec(HtJ2kOptions options) : options_(options) {}
    bool Encodes() const override { return true; }
    bool EncodesColour() const override { return true; }
    const char* LossyMethod() const override { return options_.lossy ? "ISO_15444_15" : nullptr; }
    FrameCodecResult Decode(std::span<const uint8_t> stream, const FrameLayout& layout,
                            std::span<uint8_t> output) const override {
        return ResultOfDecode(layout, DecodeHtJ2k(stream, output, layout));
    }
    FrameCodecResult Encode(std::span<const uint8_t> samples, const FrameLayout& layout,
                            std::vector<uint8_t>& stream) const override {
        return ResultOfEncode(EncodeHtJ2k(samples, layout, options_), stream);
    }

  private:
    HtJ2kOptions options_;
};

extern const HtJ2kCodec HTJ2K_CODEC;
extern const HtJ2kCodec HTJ2K_RPCL_CODEC;
extern const HtJ2kCodec HTJ2K_LOSSY_CODEC;

}  // namespace dicomlib::imaging
