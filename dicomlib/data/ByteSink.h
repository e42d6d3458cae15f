// Where encoded bytes go, a piece at a time: a file, the PDVs of a message, a deflater, memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace dicomlib::data {

class ByteSink {
  public:
    virtual ~ByteSink() = default;
    // False when the bytes cannot be taken (the file or connection failed, a buffer is full).
    virtual bool Put(std::span<const uint8_t> bytes) = 0;
    // Room for up to wanted bytes that the caller fills in place (a read from a file) and then
    // hands over with Commit: the bytes of the first `used` of it count as put, the rest is
    // given back. Empty when the sink offers none (then Put is the way) or has failed. A sink
    // that keeps its bytes in a buffer offers it, which saves the copy through Put.
    virtual std::span<uint8_t> Space(std::size_t /*wanted*/) { return {}; }
    virtual void Commit(std::size_t /*used*/) {}
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
