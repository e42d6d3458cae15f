// Raw deflate (no zlib or gzip wrapper) of the bytes that follow the file meta group of a
// deflated file, through zlib. Plain buffers in and out; nothing here knows of elements.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "data/ByteSink.h"

namespace dicomlib::data {

// The compressed bytes of `plain` at zlib's default level.
std::vector<uint8_t> DeflateBytes(std::span<const uint8_t> plain);

// Deflates what it is given and hands the compressed bytes on to out as they are made: the
// same bytes as DeflateBytes of everything given, in pieces. Finish ends the stream.
class DeflateSink : public ByteSink {
  public:
    explicit DeflateSink(ByteSink& out);
    ~DeflateSink() override;
    DeflateSink(const DeflateSink&) = delete;
    DeflateSink& operator=(const DeflateSink&) = delete;
    bool Put(std::span<const uint8_t> bytes) override;
    bool Finish();
    // The compressed bytes handed on so far.
    uint64_t Produced() const { return produced_; }

  private:
    bool Run(std::span<const uint8_t> bytes, bool finish);

    struct Stream;
    ByteSink& out_;
    std::unique_ptr<Stream> stream_;
    std::vector<uint8_t> buffer_;
    uint64_t produced_ = 0;
    bool ok_;
};

struct Inflated {
    std::vector<uint8_t> bytes;
    std::string error;  // empty when the stream was whole
};

// Inflates a raw deflate stream as it comes and hands the plain bytes on to out: the bytes
// InflateBytes gives, in pieces, under the same limit. Once the stream is damaged, ends or
// gives more than limit, further bytes are only counted. Finish tells whether it ended whole.
class InflateSink : public ByteSink {
  public:
    explicit InflateSink(ByteSink& out, uint64_t limit = uint64_t{1} << 32);
    ~InflateSink() override;
    InflateSink(const InflateSink&) = delete;
    InflateSink& operator=(const InflateSink&) = delete;
    // False once the stream is damaged, too long, or out refused bytes.
    bool Put(std::span<const uint8_t> bytes) override;
    // True when the stream reached its end and every byte was handed on.
    bool Finish() const { return ended_ && ok_; }

  private:
    struct Stream;
    ByteSink& out_;
    std::unique_ptr<Stream> stream_;
    std::vector<uint8_t> buffer_;
    uint64_t limit_;
    uint64_t produced_ = 0;
    bool ok_;
    bool ended_ = false;
};

// Inflates a raw deflate stream. Bytes after the end of the stream are ignored (files pad the
// stream to an even length). At most limit bytes are produced; a stream that would give more
// is refused rather than allowed to fill the memory.
Inflated InflateBytes(std::span<const uint8_t> compressed,
                      std::size_t limit = std::size_t{1} << 32);

}  // namespace dicomlib::data
