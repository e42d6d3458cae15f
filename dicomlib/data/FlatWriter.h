// Numbers laid into header and value bytes in either byte order, for the writers and the
// converter.
#pragma once

#include <cstdint>

namespace dicomlib::data {

inline void PutU16Bytes(uint8_t* p, uint16_t v, bool big) {
    p[big ? 1 : 0] = static_cast<uint8_t>(v);
    p[big ? 0 : 1] = static_cast<uint8_t>(v >> 8);
}

inline void PutU32Bytes(uint8_t* p, uint32_t v, bool big) {
    for (int i = 0; i < 4; ++i)
        p[big ? 3 - i : i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace dicomlib::data
