// Windows bitmap files written field by field for tests, independently of the library's writer.
#pragma once

#include <cstdint>
#include <vector>

namespace testsupport {

struct BitmapSpec {
    int bits = 8;
    int32_t width = 1;
    int32_t height = 1;               // negative: top row first
    std::vector<uint32_t> palette{};  // 0xRRGGBB entries
    std::vector<uint8_t> rows{};      // exactly as stored, padding included
    uint32_t compression = 0;         // 3: bit-field masks follow the header
    std::vector<uint32_t> masks{};    // red, green, blue
    bool core = false;                // the 12-byte header with 3-byte palette entries
};

inline void PutLe(std::vector<uint8_t>& out, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline std::vector<uint8_t> BitmapFileBytes(const BitmapSpec& s) {
    const uint32_t header = s.core ? 12 : 40;
    const uint32_t entry = s.core ? 3 : 4;
    const auto offset =
        static_cast<uint32_t>(14 + header + 4 * s.masks.size() + entry * s.palette.size());
    std::vector<uint8_t> f = {'B', 'M'};
    PutLe(f, offset + static_cast<uint32_t>(s.rows.size()), 4);  // file size
    PutLe(f, 0, 4);                                              // reserved
    PutLe(f, offset, 4);                                         // where the pixels start
    PutLe(f, header, 4);
    if (s.core) {
        PutLe(f, static_cast<uint32_t>(s.width), 2);
        PutLe(f, static_cast<uint32_t>(s.height), 2);
        PutLe(f, 1, 2);  // planes
        PutLe(f, static_cast<uint32_t>(s.bits), 2);
    } else {
        PutLe(f, static_cast<uint32_t>(s.width), 4);
        PutLe(f, static_cast<uint32_t>(s.height), 4);
        PutLe(f, 1, 2);  // planes
        PutLe(f, static_cast<uint32_t>(s.bits), 2);
        PutLe(f, s.compression, 4);
        PutLe(f, static_cast<uint32_t>(s.rows.size()), 4);
        PutLe(f, 0, 8);  // resolution
        PutLe(f, static_cast<uint32_t>(s.palette.size()), 4);
        PutLe(f, 0, 4);  // important colours
    }
    for (uint32_t mask : s.masks)
        PutLe(f, mask, 4);
    for (uint32_t rgb : s.palette)
        PutLe(f, rgb, entry);  // blue, green, red (, 0)
    f.insert(f.end(), s.rows.begin(), s.rows.end());
    return f;
}

}  // namespace testsupport
