// Picture files written for tests, independently of the library's writers: Windows bitmaps
// field by field, JPEG streams by libjpeg.
#pragma once

#include <cstdint>
#include <vector>

namespace testsupport {

struct BitmapLayout {
    int bits = 8;
    int32_t width = 1;
    int32_t height = 1;               // negative: top row first
    std::vector<uint32_t> palette{};  // 0xRRGGBB entries
    std::vector<uint8_t> rows{};      // exactly as stored, padding included
    uint32_t compression = 0;         // 3: bit-field masks follow the header
    std::vector<uint32_t> masks{};    // red, green, blue
    bool core = false;                // the 12-byte header with 3-byte palette entries
};

// A Windows bitmap file with the layout's header, palette and rows.
std::vector<uint8_t> BitmapFileBytes(const BitmapLayout& layout);

// A JPEG stream compressed by libjpeg at quality 100; colour (3 components) without subsampling.
std::vector<uint8_t> JpegBytes(const std::vector<uint8_t>& pixels, uint32_t width, uint32_t height,
                               int components);

}  // namespace testsupport
