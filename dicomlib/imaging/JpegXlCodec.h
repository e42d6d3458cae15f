// JPEG XL through libjxl: lossless and lossy frames of up to 16 bits stored, one or three samples
// per pixel, and the recompression of baseline JPEG streams that gives back the JPEG's own bytes.
#pragma once

#include <span>

#include "imaging/FrameLayout.h"

namespace dicomlib::imaging {

struct JpegXlOptions {
    bool lossy = false;
    float distance = 1.0f;  // lossy only: libjxl's visual distance (1 is visually lossless)
};

// Compresses one native frame into a bare codestream, the samples' bits as they are: signed
// samples go in as the unsigned number of their bits stored, as JPEG XL holds no sign. Lossy
// frames must be unsigned, since a signed image's samples jump from the top of that range to
// the bottom at zero.
EncodedFrame EncodeJpegXl(std::span<const uint8_t> frame, const FrameLayout& layout,
                          const JpegXlOptions& options);

// Decodes a codestream or container into output (layout.NativeSize() bytes, in the layout's
// sample order), 8- or 16-bit samples. The image's size and channel count are checked against
// the layout before any pixel is decoded. A JPEG recompression's colour comes out as RGB, and
// says so in photometric when rgbFromJpeg is set.
DecodedFrame DecodeJpegXl(std::span<const uint8_t> stream, std::span<uint8_t> output,
                          const FrameLayout& layout, bool rgbFromJpeg = false);

// A baseline JPEG stream recompressed, its coefficients kept and the data to rebuild its bytes
// stored beside them; and those bytes given back from such a stream.
EncodedFrame RecompressJpeg(std::span<const uint8_t> jpeg, const FrameLayout& layout);
EncodedFrame ReconstructJpeg(std::span<const uint8_t> stream, const FrameLayout& layout);

// The codecs of the three JPEG XL syntaxes. The lossless and lossy ones write frames; the JPEG
// recompression one writes only by rewriting baseline JPEG streams and gives those back.
class JpegXlCodec final : public FrameCodec {
  public:
    enum class Kind { Lossless, Lossy, JpegRecompression };
    explicit constexpr JpegXlCodec(Kind kind) : kind_(kind) {}
    bool Encodes() const override { return kind_ != Kind::JpegRecompression; }
    bool EncodesColour() const override { return Encodes(); }
    const char* LossyMethod() const override {
        return kind_ == Kind::Lossy ? "ISO_18181_1" : nullptr;
    }
    // A JPEG recompression is decoded through the JPEG it gives back, so its pixels are those
    // of the baseline JPEG it came from; without the data to rebuild it, libjxl decodes it.
    FrameCodecResult Decode(std::span<const uint8_t> stream, const FrameLayout& layout,
                            std::span<uint8_t> output) const override;
    FrameCodecResult Encode(std::span<const uint8_t> samples, const FrameLayout& layout,
                            std::vector<uint8_t>& stream) const override;
    bool Rewrites(const FrameCodec& from, const FrameCodec& to) const override;
    FrameCodecResult Rewrite(const FrameCodec& from, const FrameCodec& to,
                             std::span<const uint8_t> stream, const FrameLayout& layout,
                             std::vector<uint8_t>& rewritten) const override;

  private:
    Kind kind_;
};

extern const JpegXlCodec JPEG_XL_CODEC;
extern const JpegXlCodec JPEG_XL_LOSSY_CODEC;
extern const JpegXlCodec JPEG_XL_JPEG_CODEC;

}  // namespace dicomlib::imaging
