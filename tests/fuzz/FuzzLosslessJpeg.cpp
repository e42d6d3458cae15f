// Lossless JPEG decoder on arbitrary bytes, with an output buffer sized from the stream's own
// frame header (capped, so large frames exercise the refusal). Inputs that are not JPEG streams
// are encoded as images instead and must decode back to the same samples.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "imaging/LosslessJpeg.h"

namespace {

using namespace dicomlib::imaging;

constexpr std::size_t OUTPUT_CAP = 1 << 22;

void DecodeStream(std::span<const uint8_t> stream) {
    const auto frame = ReadLosslessJpegFrame(stream);
    std::size_t size = 64;
    int bits = 16;
    if (frame) {
        bits = frame->precision <= 8 ? 8 : 16;
        // Room for four interleaved components, the most a scan can have.
        const std::size_t needed = std::size_t{frame->width} * frame->height * 4 * (bits / 8);
        size = needed < OUTPUT_CAP ? needed : OUTPUT_CAP;
    }
    std::vector<uint8_t> output(size);
    DecodeLosslessJpeg(stream, output, bits);
}

// First byte: width and sample size; the rest: the samples of as many whole rows as there are.
void RoundTrip(std::span<const uint8_t> input) {
    const int bits = input[0] & 0x80 ? 16 : 8;
    const uint32_t width = (input[0] & 0x7F) + 1u;
    const std::span<const uint8_t> samples = input.subspan(1);
    const std::size_t rowBytes = width * static_cast<std::size_t>(bits / 8);
    const auto height = static_cast<uint32_t>(samples.size() / rowBytes);
    if (height == 0) return;
    const std::span<const uint8_t> image = samples.first(rowBytes * height);
    const std::vector<uint8_t> stream = EncodeLosslessJpeg(image, width, height, bits);
    std::vector<uint8_t> decoded(image.size());
    const auto result = DecodeLosslessJpeg(stream, decoded, bits);
    if (result.decoded != LosslessJpegDecoded::Image ||
        !std::equal(decoded.begin(), decoded.end(), image.begin())) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> input(data, size);
    if (size >= 2 && data[0] == 0xFF && data[1] == 0xD8) {
        DecodeStream(input);
    } else if (size >= 1) {
        RoundTrip(input);
    } else {
        DecodeStream(input);
    }
    return 0;
}
