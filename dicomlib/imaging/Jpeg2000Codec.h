// JPEG 2000 through OpenJPEG: the part 1 codestream, lossless (5-3 wavelet) and lossy (9-7
// wavelet), written and read; also the reader of last resort for High-Throughput syntaxes'
// streams that OpenJPH does not take.
#pragma once

#include <span>

#include "imaging/FrameLayout.h"

namespace dicomlib::imaging {

struct Jpeg2000Options {
    bool lossy = false;
    float ratio = 10.0f;  // lossy only: the size of the native frame over the stream's
};

// Compresses one native frame into a bare codestream. RGB frames (layout.rgb) get the colour
// transform of their mode, so the stream's photometric interpretation is YBR_RCT (lossless) or
// YBR_ICT (lossy); other colour frames keep theirs.
EncodedFrame EncodeJpeg2000(std::span<const uint8_t> frame, const FrameLayout& layout,
                            const Jpeg2000Options& options);

// Decodes a codestream (or a JP2 file) into output (layout.NativeSize() bytes, in the layout's
// sample order). Its size and component count must match the layout; a stream whose colour
// transform was undone gives photometric "RGB".
DecodedFrame DecodeJpeg2000(std::span<const uint8_t> stream, std::span<uint8_t> output,
                            const FrameLayout& layout);

// The codec of pixel data in JPEG 2000: lossless or lossy, up to 16 bits stored, one or three
// samples per pixel.
class Jpeg2000Codec final : public FrameCodec {
  public:
    explicit constexpr Jpeg2000Codec(bool lossy) : lossy_(lossy) {}
    bool Encodes() const override { return true; }
    bool EncodesColour() const override { return true; }
    const char* LossyMethod() const override { return lossy_ ? "ISO_15444_1" : nullptr; }
    FrameCodecResult Decode(std::span<const uint8_t> stream, const FrameLayout& layout,
                            std::span<uint8_t> output) const override {
        return ResultOfDecode(layout, DecodeJpeg2000(stream, output, layout));
    }
    FrameCodecResult Encode(std::span<const uint8_t> samples, const FrameLayout& layout,
                            std::vector<uint8_t>& stream) const override {
        return ResultOfEncode(EncodeJpeg2000(samples, layout, {.lossy = lossy_}), stream);
    }

  private:
    bool lossy_;
};

extern const Jpeg2000Codec JPEG_2000_CODEC;
extern const Jpeg2000Codec JPEG_2000_LOSSY_CODEC;

}  // namespace dicomlib::imaging
