// JPEG-LS, lossless and near-lossless, through CharLS. Up to 16 bits stored, one or three
// samples per pixel.
#pragma once

#include <span>

#include "imaging/FrameLayout.h"

namespace dicomlib::imaging {

// Compresses one native frame. nearLossless 0 is lossless; n lets every sample differ from
// the original by at most n. Colour frames keep their sample order: plane by plane becomes
// one scan per component, pixel by pixel one interleaved scan.
EncodedFrame EncodeJpegLs(std::span<const uint8_t> frame, const FrameLayout& layout,
                          int nearLossless);

// Decodes one JPEG-LS stream into output (layout.NativeSize() bytes, in the layout's sample
// order). The stream's size, component count and precision must match the layout.
DecodedFrame DecodeJpegLs(std::span<const uint8_t> stream, std::span<uint8_t> output,
                          const FrameLayout& layout);

// The codec of pixel data in JPEG-LS: lossless, or near-lossless with the given bound (2, as
// is usual for the near-lossless syntax); up to 16 bits stored, one or three samples per
// pixel, both ways. Either kind decodes every JPEG-LS stream.
class JpegLsCodec final : public FrameCodec {
  public:
    explicit constexpr JpegLsCodec(int nearLossless) : nearLossless_(nearLossless) {}
    bool Encodes() const override { return true; }
    bool EncodesColour() const override { return true; }
    const char* LossyMethod() const override { return nearLossless_ > 0 ? "ISO_14495_1" : nullptr; }
    FrameCodecResult Decode(std::span<const uint8_t> stream, const FrameLayout& layout,
                            std::span<uint8_t> output) const override {
        return ResultOfDecode(layout, DecodeJpegLs(stream, output, layout));
    }
    FrameCodecResult Encode(std::span<const uint8_t> samples, const FrameLayout& layout,
                            std::vector<uint8_t>& stream) const override {
        return ResultOfEncode(EncodeJpegLs(samples, layout, nearLossless_), stream);
    }

  private:
    int nearLossless_;
};

extern const JpegLsCodec JPEG_LS_CODEC;
extern const JpegLsCodec JPEG_LS_NEAR_CODEC;

}  // namespace dicomlib::imaging
