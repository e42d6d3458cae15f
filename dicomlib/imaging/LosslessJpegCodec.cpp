// The lossless JPEG encoder and decoder behind the frame codec interface: grayscale and colour
// frames, each checked against the layout the data set gives. Colour streams interleave their
// components pixel by pixel; a planar frame is reordered on the way in and out.
#include <string>
#include <string_view>
#include <utility>

#include "imaging/FrameLayout.h"
#include "imaging/LosslessJpeg.h"

namespace dicomlib::imaging {
namespace {

bool TakesLayout(const FrameLayout& layout) {
    return (layout.samplesPerPixel == 1 || layout.samplesPerPixel == 3) &&
           (layout.bitsAllocated == 8 || layout.bitsAllocated == 16);
}

std::string Size(uint32_t columns, uint32_t rows) {
    return std::to_string(columns) + " x " + std::to_string(rows);
}

// The decoder's diagnostics as one line.
std::string OneLine(std::string_view diagnostics) {
    while (!diagnostics.empty() && diagnostics.back() == '\n')
        diagnostics.remove_suffix(1);
    std::string line;
    for (char c : diagnostics) {
        if (c == '\n') {
            line += "; ";
        } else {
            line += c;
        }
    }
    return line;
}

}  // namespace

const LosslessJpegCodec LOSSLESS_JPEG_CODEC;

FrameCodecResult LosslessJpegCodec::Decode(std::span<const uint8_t> stream,
                                           const FrameLayout& layout,
                                           std::span<uint8_t> output) const {
    if (!TakesLayout(layout)) {
        return {FrameCodecOutcome::UnsupportedLayout,
                "lossless JPEG is decoded for images of 8 or 16 bits allocated and one or three "
                "samples per pixel"};
    }
    const bool reorder = layout.planar && layout.samplesPerPixel > 1;
    std::vector<uint8_t> pixels(reorder ? output.size() : 0);
    const LosslessJpegDecodeResult result = DecodeLosslessJpeg(
        stream, reorder ? std::span<uint8_t>(pixels) : output, layout.bitsAllocated);
    if (result.decoded != LosslessJpegDecoded::Image) {
        std::string detail = OneLine(result.diagnostics);
        if (detail.empty()) detail = "the JPEG data is damaged";
        return {FrameCodecOutcome::Malformed, std::move(detail)};
    }
    if (result.frame.width != layout.columns || result.frame.height != layout.rows) {
        return {FrameCodecOutcome::Malformed,
                "the JPEG frame is " + Size(result.frame.width, result.frame.height) +
                    ", the image " + Size(layout.columns, layout.rows)};
    }
    if (result.scanComponents != layout.samplesPerPixel) {
        return {FrameCodecOutcome::Malformed,
                "the JPEG scan has " + std::to_string(result.scanComponents) +
                    " components, the image " + std::to_string(layout.samplesPerPixel) +
                    " samples per pixel"};
    }
    if (reorder) ToPlaneOrder(pixels, output, layout);
    return {};
}

FrameCodecResult LosslessJpegCodec::Encode(std::span<const uint8_t> samples,
                                           const FrameLayout& layout,
                                           std::vector<uint8_t>& stream) const {
    if (!TakesLayout(layout)) {
        return {FrameCodecOutcome::UnsupportedLayout,
                "lossless JPEG is written for images of 8 or 16 bits allocated and one or three "
                "samples per pixel"};
    }
    std::vector<uint8_t> pixels;
    if (layout.planar && layout.samplesPerPixel > 1 && samples.size() >= layout.NativeSize()) {
        pixels.resize(layout.NativeSize());
        ToPixelOrder(samples, pixels, layout);
        samples = pixels;
    }
    stream = EncodeLosslessJpeg(samples, layout.columns, layout.rows, layout.bitsAllocated,
                                layout.samplesPerPixel);
    if (stream.empty()) {
        return {FrameCodecOutcome::UnsupportedLayout, "an image of " +
                                                          Size(layout.columns, layout.rows) +
                                                          " cannot be written as lossless JPEG"};
    }
    return {};
}

}  // namespace dicomlib::imaging
