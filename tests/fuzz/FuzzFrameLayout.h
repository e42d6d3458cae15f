// The frame a fuzz input describes in its first four bytes: rows, columns, a flag byte (bit 0
// colour, bit 1 16-bit samples, bit 2 signed, bit 3 plane by plane, bit 4 32-bit samples) and
// bits stored. The rest of the input is the stream to decode.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "imaging/FrameLayout.h"

namespace fuzzframe {

inline dicomlib::imaging::FrameLayout LayoutOf(std::span<const uint8_t> input) {
    dicomlib::imaging::FrameLayout layout;
    if (input.size() < 4) return layout;
    layout.rows = input[0];
    layout.columns = input[1];
    layout.samplesPerPixel = input[2] & 1 ? 3 : 1;
    layout.bitsAllocated = input[2] & 0x10 ? 32 : input[2] & 2 ? 16 : 8;
    layout.isSigned = (input[2] & 4) != 0;
    layout.planar = (input[2] & 8) != 0;
    layout.bitsStored = static_cast<uint16_t>(std::clamp<int>(input[3], 1, layout.bitsAllocated));
    return layout;
}

// Decodes the stream into a frame with a guard byte after it, which must stay untouched.
template <class Decode>
void DecodeGuarded(std::span<const uint8_t> input, Decode decode) {
    if (input.size() < 4) return;
    const auto layout = LayoutOf(input);
    std::vector<uint8_t> output(layout.NativeSize() + 1, 0xA5);
    decode(input.subspan(4), std::span<uint8_t>(output.data(), layout.NativeSize()), layout);
    if (output.back() != 0xA5) __builtin_trap();
}

}  // namespace fuzzframe
