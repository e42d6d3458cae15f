// Marker codes and the fixed Huffman table 0 that the lossless encoder writes and the decoder
// recognises.
#pragma once

#include <array>
#include <cstdint>

namespace dicomlib::imaging::lossless {

constexpr int SOF0 = 0xC0;
constexpr int SOF1 = 0xC1;
constexpr int SOF3 = 0xC3;
constexpr int DHT = 0xC4;
constexpr int RST0 = 0xD0;
constexpr int SOI = 0xD8;
constexpr int EOI = 0xD9;
constexpr int SOS = 0xDA;
constexpr int DQT = 0xDB;
constexpr int DRI = 0xDD;
constexpr int TEM = 0x01;

// Table 0: code-length counts for lengths 1 to 16, then the 17 difference categories in code
// order. Category 16 gets a 14-bit code.
constexpr std::array<uint8_t, 16> TABLE0_COUNTS = {0, 1, 5, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0};
constexpr std::array<uint8_t, 17> TABLE0_SYMBOLS = {0, 1,  2,  3,  4,  5,  6,  7, 8,
                                                    9, 10, 11, 12, 13, 14, 15, 16};

}  // namespace dicomlib::imaging::lossless
