// JPEG 2000 through OpenJPEG: the part 1 codestream, lossless (5-3 wavelet) and lossy (9-7
// wavelet), written and read; High-Throughput codestreams read as far as OpenJPEG reads them.
#pragma once

#include <span>

#include "imaging/FrameLayout.h"

namespace dicomlib::imaging {

struct Jpeg2000Options {
    bool lossy = false;
    float ratio = 10.0f;  // lossy only: the size of the native frame over the stream's
};

// Compresses one native frame into a bare codestream. Colour frames get the colour transform
// of their mode, so the stream's photometric interpretation is YBR_RCT (lossless) or YBR_ICT
// (lossy).
EncodedFrame EncodeJpeg2000(std::span<const uint8_t> frame, const FrameLayout& layout,
                            const Jpeg2000Options& options);

// Decodes a codestream (or a JP2 file) into output (layout.FrameBytes() bytes, in the layout's
// sample order). Its size and component count must match the layout; a stream whose colour
// transform was undone gives photometric "RGB".
DecodedFrame DecodeJpeg2000(std::span<const uint8_t> stream, std::span<uint8_t> output,
                            const FrameLayout& layout);

}  // namespace dicomlib::imaging
