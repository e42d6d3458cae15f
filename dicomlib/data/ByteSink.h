// Where encoded bytes go, a piece at a time: a file, the PDVs of a message, a deflater, memory.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace dicomlib::data {

class ByteSink {
  public:
    virtual ~ByteSink() = default;
    // False when the bytes cannot be taken (the file or connection failed, a buffer is full).
    virtual bool Put(std::span<const uint8_t> bytes) = 0;
};

class MemorySink : public ByteSink {
  public:
    bool Put(std::span<const uint8_t> bytes) override {
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
        return true;
    }
    std::vector<uint8_t>& Bytes() { return bytes_; }

  private:
    std::vector<uint8_t> bytes_;
};

}  // namespace dicomlib::data
