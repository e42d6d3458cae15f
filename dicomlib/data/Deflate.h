// Raw deflate (no zlib or gzip wrapper) of the bytes that follow the file meta group of a
// deflated file, through zlib. Plain buffers in and out; nothing here knows of elements.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace dicomlib::data {

// The compressed bytes of `plain` at zlib's default level.
std::vector<uint8_t> DeflateBytes(std::span<const uint8_t> plain);

struct Inflated {
    std::vector<uint8_t> bytes;
    std::string error;  // empty when the stream was whole
};

// Inflates a raw deflate stream. Bytes after the end of the stream are ignored (files pad the
// stream to an even length). At most limit bytes are produced; a stream that would give more
// is refused rather than allowed to fill the memory.
Inflated InflateBytes(std::span<const uint8_t> compressed,
                      std::size_t limit = std::size_t{1} << 32);

}  // namespace dicomlib::data
