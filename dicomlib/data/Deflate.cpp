#include "data/Deflate.h"

#include <zlib.h>

#include <algorithm>
#include <climits>

namespace dicomlib::data {
namespace {

constexpr int RAW_WINDOW_BITS = -15;  // negative: no zlib header or checksum
constexpr std::size_t CHUNK = 1 << 20;

uInt ChunkOf(std::size_t n) {
    return static_cast<uInt>(std::min<std::size_t>(n, UINT_MAX));
}

}  // namespace

std::vector<uint8_t> DeflateBytes(std::span<const uint8_t> plain) {
    z_stream z{};
    if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, RAW_WINDOW_BITS, 8,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
        return {};
    }
    std::vector<uint8_t> out(deflateBound(&z, static_cast<uLong>(plain.size())) + 16);
    z.next_in = const_cast<Bytef*>(plain.data());
    std::size_t inLeft = plain.size();
    std::size_t produced = 0;
    int status = Z_OK;
    while (status != Z_STREAM_END) {
        if (out.size() - produced < CHUNK) out.resize(out.size() + CHUNK);
        const uInt inChunk = ChunkOf(inLeft);
        z.avail_in = inChunk;
        z.next_out = out.data() + produced;
        z.avail_out = ChunkOf(out.size() - produced);
        const uInt outBefore = z.avail_out;
        status = deflate(&z, inLeft == inChunk ? Z_FINISH : Z_NO_FLUSH);
        inLeft -= inChunk - z.avail_in;
        produced += outBefore - z.avail_out;
        if (status == Z_STREAM_ERROR) break;
    }
    deflateEnd(&z);
    out.resize(status == Z_STREAM_END ? produced : 0);
    return out;
}

struct DeflateSink::Stream {
    z_stream z{};
};

DeflateSink::DeflateSink(ByteSink& out)
    : out_(out), stream_(std::make_unique<Stream>()), buffer_(CHUNK) {
    ok_ = deflateInit2(&stream_->z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, RAW_WINDOW_BITS, 8,
                       Z_DEFAULT_STRATEGY) == Z_OK;
}

DeflateSink::~DeflateSink() {
    if (ok_) deflateEnd(&stream_->z);
}

bool DeflateSink::Put(std::span<const uint8_t> bytes) {
    return Run(bytes, false);
}

bool DeflateSink::Finish() {
    return Run({}, true);
}

bool DeflateSink::Run(std::span<const uint8_t> bytes, bool finish) {
    if (!ok_) return false;
    z_stream& z = stream_->z;
    z.next_in = const_cast<Bytef*>(bytes.data());
    std::size_t inLeft = bytes.size();
    for (;;) {
        const uInt inChunk = ChunkOf(inLeft);
        z.avail_in = inChunk;
        z.next_out = buffer_.data();
        z.avail_out = ChunkOf(buffer_.size());
        const bool lastIn = inLeft == inChunk;
        const int status = deflate(&z, finish && lastIn ? Z_FINISH : Z_NO_FLUSH);
        inLeft -= inChunk - z.avail_in;
        const std::size_t made = buffer_.size() - z.avail_out;
        if (status == Z_STREAM_ERROR || (made > 0 && !out_.Put({buffer_.data(), made}))) {
            ok_ = false;
            deflateEnd(&z);
            return false;
        }
        produced_ += made;
        if (finish ? status == Z_STREAM_END : (inLeft == 0 && z.avail_out != 0)) return true;
    }
}

struct InflateSink::Stream {
    z_stream z{};
};

InflateSink::InflateSink(ByteSink& out, uint64_t limit)
    : out_(out), stream_(std::make_unique<Stream>()), buffer_(CHUNK), limit_(limit) {
    ok_ = inflateInit2(&stream_->z, RAW_WINDOW_BITS) == Z_OK;
}

InflateSink::~InflateSink() {
    inflateEnd(&stream_->z);
}

bool InflateSink::Put(std::span<const uint8_t> bytes) {
    // Bytes after the end of the stream are padding.
    if (!ok_ || ended_) return ok_;
    z_stream& z = stream_->z;
    z.next_in = const_cast<Bytef*>(bytes.data());
    std::size_t inLeft = bytes.size();
    for (;;) {
        const uInt inChunk = ChunkOf(inLeft);
        z.avail_in = inChunk;
        z.next_out = buffer_.data();
        z.avail_out = ChunkOf(buffer_.size());
        const int status = inflate(&z, Z_NO_FLUSH);
        inLeft -= inChunk - z.avail_in;
        const std::size_t made = buffer_.size() - z.avail_out;
        produced_ += made;
        if ((status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) ||
            produced_ > limit_ || (made > 0 && !out_.Put({buffer_.data(), made}))) {
            ok_ = false;
            return false;
        }
        ended_ = status == Z_STREAM_END;
        // Done with this piece once its input is taken and zlib has nothing more to give.
        if (ended_ || (inLeft == 0 && z.avail_out != 0) || (status == Z_BUF_ERROR && made == 0))
            break;
    }
    return true;
}

Inflated InflateBytes(std::span<const uint8_t> compressed, std::size_t limit) {
    Inflated result;
    z_stream z{};
    if (inflateInit2(&z, RAW_WINDOW_BITS) != Z_OK) {
        result.error = "zlib could not start";
        return result;
    }
    std::vector<uint8_t>& out = result.bytes;
    out.resize(std::min(limit, std::max<std::size_t>(compressed.size() * 4, 4096)));
    z.next_in = const_cast<Bytef*>(compressed.data());
    std::size_t inLeft = compressed.size();
    std::size_t produced = 0;
    int status = Z_OK;
    while (status == Z_OK) {
        if (produced == out.size()) {
            if (out.size() >= limit) {
                result.error =
                    "the inflated data set is larger than " + std::to_string(limit) + " bytes";
                break;
            }
            out.resize(std::min(limit, out.size() * 2));
        }
        const uInt inChunk = ChunkOf(inLeft);
        z.avail_in = inChunk;
        z.next_out = out.data() + produced;
        z.avail_out = ChunkOf(out.size() - produced);
        const uInt outBefore = z.avail_out;
        status = inflate(&z, Z_NO_FLUSH);
        inLeft -= inChunk - z.avail_in;
        produced += outBefore - z.avail_out;
        // Out of room with output still pending: grow and go on.
        if (status == Z_BUF_ERROR && produced == out.size()) status = Z_OK;
    }
    if (result.error.empty() && status != Z_STREAM_END) {
        result.error = status == Z_BUF_ERROR ? "the deflated data ends before its last block"
                                             : std::string("the deflated data is damaged: ") +
                                                   (z.msg != nullptr ? z.msg : "zlib error");
    }
    inflateEnd(&z);
    out.resize(produced);
    return result;
}

}  // namespace dicomlib::data
