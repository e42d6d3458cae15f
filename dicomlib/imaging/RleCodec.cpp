// RLE Lossless. Each row of a segment is coded on its own, so no run crosses a row boundary;
// a segment of odd length gets one 0x00 pad byte, which decoders never reach.
#include "imaging/RleCodec.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace dicomlib::imaging {
namespace {

constexpr std::size_t HEADER_SIZE = 64;
constexpr std::size_t MAX_SEGMENTS = 15;
constexpr std::size_t MAX_RUN = 128;

void PutU32(uint8_t* at, std::size_t value) {
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetU32(std::span<const uint8_t> in, std::size_t at) {
    return static_cast<uint32_t>(in[at] | in[at + 1] << 8 | in[at + 2] << 16) |
           static_cast<uint32_t>(in[at + 3]) << 24;
}

// PackBits of one row: a run of two or more equal bytes becomes a repeat (count byte 1 - n,
// then the byte); anything else a literal (count byte n - 1, then n bytes). A literal is cut
// only where a run of three begins, since a run of two inside it costs more as a repeat.
std::size_t PackRow(const uint8_t* row, std::size_t n, uint8_t* out) {
    uint8_t* const start = out;
    std::size_t i = 0;
    while (i < n) {
        std::size_t run = 1;
        while (i + run < n && run < MAX_RUN && row[i + run] == row[i])
            ++run;
        if (run >= 2) {
            *out++ = static_cast<uint8_t>(257 - run);
            *out++ = row[i];
            i += run;
            continue;
        }
        const std::size_t first = i;
        ++i;
        while (i < n && i - first < MAX_RUN) {
            if (i + 2 < n && row[i] == row[i + 1] && row[i] == row[i + 2]) break;
            ++i;
        }
        const std::size_t length = i - first;
        *out++ = static_cast<uint8_t>(length - 1);
        std::memcpy(out, row + first, length);
        out += length;
    }
    return static_cast<std::size_t>(out - start);
}

// Unpacks a segment into `size` bytes laid `stride` apart. Returns the bytes written.
std::size_t UnpackSegment(std::span<const uint8_t> in, uint8_t* out, std::size_t size,
                          std::size_t stride) {
    std::size_t pos = 0;
    std::size_t written = 0;
    while (written < size && pos < in.size()) {
        const uint8_t control = in[pos++];
        if (control < 128) {
            std::size_t length = std::size_t{control} + 1;
            length = std::min({length, in.size() - pos, size - written});
            if (stride == 1) {
                std::memcpy(out + written, in.data() + pos, length);
            } else {
                for (std::size_t k = 0; k < length; ++k)
                    out[(written + k) * stride] = in[pos + k];
            }
            pos += length;
            written += length;
        } else if (control > 128) {
            if (pos >= in.size()) break;
            const uint8_t value = in[pos++];
            const std::size_t length = std::min<std::size_t>(257 - control, size - written);
            if (stride == 1) {
                std::memset(out + written, value, length);
            } else {
                for (std::size_t k = 0; k < length; ++k)
                    out[(written + k) * stride] = value;
            }
            written += length;
        }
        // 128 is a no-op.
    }
    return written;
}

// Where segment `segment` finds its bytes in a native frame: the first byte and the distance
// between one pixel's byte and the next.
struct SegmentPlace {
    std::size_t first;
    std::size_t stride;
};

SegmentPlace PlaceOf(std::size_t segment, const FrameLayout& layout) {
    const std::size_t bytes = layout.SampleBytes();
    const std::size_t sample = segment / bytes;
    const std::size_t byteInSample = bytes - 1 - segment % bytes;  // most significant first
    if (layout.planar) return {sample * layout.Pixels() * bytes + byteInSample, bytes};
    return {sample * bytes + byteInSample, bytes * layout.samplesPerPixel};
}

}  // namespace

const RleCodec RLE_CODEC;

EncodedFrame EncodeRle(std::span<const uint8_t> frame, const FrameLayout& layout) {
    EncodedFrame result;
    result.error = CheckLayout(layout);
    if (!result.error.empty()) return result;
    if (frame.size() < layout.NativeSize()) {
        result.error = "the frame is shorter than its rows and columns";
        return result;
    }
    const std::size_t segments = layout.samplesPerPixel * layout.SampleBytes();
    const std::size_t columns = layout.columns;
    // Worst case per row: a count byte per 128 literal bytes; one pad byte per segment.
    const std::size_t rowBound = columns + (columns + MAX_RUN - 1) / MAX_RUN;
    std::vector<uint8_t>& out = result.bytes;
    out.resize(HEADER_SIZE + segments * (rowBound * layout.rows + 1));
    PutU32(out.data(), segments);
    std::vector<uint8_t> row(columns);
    std::size_t pos = HEADER_SIZE;
    for (std::size_t s = 0; s < segments; ++s) {
        PutU32(out.data() + 4 + 4 * s, pos);
        const SegmentPlace place = PlaceOf(s, layout);
        for (std::size_t y = 0; y < layout.rows; ++y) {
            const uint8_t* source = frame.data() + place.first + y * columns * place.stride;
            if (place.stride != 1) {
                for (std::size_t x = 0; x < columns; ++x)
                    row[x] = source[x * place.stride];
                source = row.data();
            }
            pos += PackRow(source, columns, out.data() + pos);
        }
        if (pos % 2 != 0) out[pos++] = 0x00;
    }
    out.resize(pos);
    return result;
}

DecodedFrame DecodeRle(std::span<const uint8_t> stream, std::span<uint8_t> output,
                       const FrameLayout& layout) {
    DecodedFrame result;
    result.error = CheckDecodeTarget(layout, output.size());
    if (!result.error.empty()) return result;
    if (stream.size() < HEADER_SIZE) {
        result.error = "the RLE header is cut short";
        return result;
    }
    const std::size_t expected = layout.samplesPerPixel * layout.SampleBytes();
    const uint32_t segments = GetU32(stream, 0);
    if (segments != expected) {
        result.error = "the RLE header lists " + std::to_string(segments) +
                       " segments where the image needs " + std::to_string(expected);
        return result;
    }
    std::array<std::size_t, MAX_SEGMENTS + 1> offsets{};
    for (std::size_t s = 0; s < segments; ++s) {
        offsets[s] = GetU32(stream, 4 + 4 * s);
        if (offsets[s] < HEADER_SIZE || offsets[s] > stream.size() ||
            (s > 0 && offsets[s] < offsets[s - 1])) {
            result.error = "RLE segment " + std::to_string(s + 1) + " has a bad offset";
            return result;
        }
    }
    offsets[segments] = stream.size();
    for (std::size_t s = 0; s < segments; ++s) {
        const SegmentPlace place = PlaceOf(s, layout);
        const std::size_t written =
            UnpackSegment(stream.subspan(offsets[s], offsets[s + 1] - offsets[s]),
                          output.data() + place.first, layout.Pixels(), place.stride);
        if (written < layout.Pixels()) {
            result.error = "RLE segment " + std::to_string(s + 1) + " ends after " +
                           std::to_string(written) + " of " + std::to_string(layout.Pixels()) +
                           " bytes";
            return result;
        }
    }
    return result;
}

}  // namespace dicomlib::imaging
