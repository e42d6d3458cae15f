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

// Decodes one JPEG-LS stream into output (layout.FrameBytes() bytes, in the layout's sample
// order). The stream's size, component count and precision must match the layout.
DecodedFrame DecodeJpegLs(std::span<const uint8_t> stream, std::span<uint8_t> output,
                          const FrameLayout& layout);

}  // namespace dicomlib::imaging
