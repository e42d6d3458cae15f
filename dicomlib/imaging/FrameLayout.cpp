#include "imaging/FrameLayout.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace dicomlib::imaging {

std::string CheckLayout(const FrameLayout& layout) {
    if (layout.rows == 0 || layout.columns == 0) return "the image has no rows or no columns";
    if (layout.bitsAllocated != 8 && layout.bitsAllocated != 16 && layout.bitsAllocated != 32) {
        return "bits allocated " + std::to_string(layout.bitsAllocated) + " is not supported";
    }
    if (layout.Stored() > layout.bitsAllocated) {
        return "bits stored " + std::to_string(layout.Stored()) + " does not fit bits allocated " +
               std::to_string(layout.bitsAllocated);
    }
    if (layout.samplesPerPixel != 1 && layout.samplesPerPixel != 3) {
        return "samples per pixel " + std::to_string(layout.samplesPerPixel) + " is not supported";
    }
    return {};
}

std::string CheckDecodeTarget(const FrameLayout& layout, std::size_t outputSize) {
    std::string error = CheckLayout(layout);
    if (error.empty() && outputSize < layout.NativeSize())
        error = "the output buffer is smaller than the frame";
    return error;
}

namespace {

// Moves sample s of pixel p between the two orders; toPlanes chooses the direction.
void Reorder(std::span<const uint8_t> in, std::span<uint8_t> out, const FrameLayout& layout,
             bool toPlanes) {
    const std::size_t n = layout.samplesPerPixel;
    const std::size_t bytes = layout.SampleBytes();
    const std::size_t pixels = layout.Pixels();
    if (n == 1) {
        std::copy_n(in.begin(), std::min(in.size(), out.size()), out.begin());
        return;
    }
    for (std::size_t s = 0; s < n; ++s) {
        for (std::size_t p = 0; p < pixels; ++p) {
            const std::size_t byPixel = (p * n + s) * bytes;
            const std::size_t byPlane = (s * pixels + p) * bytes;
            std::memcpy(out.data() + (toPlanes ? byPlane : byPixel),
                        in.data() + (toPlanes ? byPixel : byPlane), bytes);
        }
    }
}

}  // namespace

void ToPixelOrder(std::span<const uint8_t> in, std::span<uint8_t> out, const FrameLayout& layout) {
    Reorder(in, out, layout, false);
}

void ToPlaneOrder(std::span<const uint8_t> in, std::span<uint8_t> out, const FrameLayout& layout) {
    Reorder(in, out, layout, true);
}

FrameCodecResult ResultOfDecode(const FrameLayout& layout, DecodedFrame&& decoded) {
    if (decoded.Ok()) return {FrameCodecOutcome::Done, {}, std::move(decoded.photometric)};
    const bool layoutRefused = !CheckLayout(layout).empty();
    return {layoutRefused ? FrameCodecOutcome::UnsupportedLayout : FrameCodecOutcome::Malformed,
            std::move(decoded.error),
            {}};
}

FrameCodecResult ResultOfEncode(EncodedFrame&& encoded, std::vector<uint8_t>& stream) {
    if (!encoded.error.empty()) {
        return {FrameCodecOutcome::UnsupportedLayout, std::move(encoded.error), {}};
    }
    stream = std::move(encoded.bytes);
    return {FrameCodecOutcome::Done, {}, std::move(encoded.photometric)};
}

}  // namespace dicomlib::imaging
