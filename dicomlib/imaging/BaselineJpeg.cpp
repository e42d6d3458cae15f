// libjpeg behind a result: its error exit jumps back here instead of ending the process, its
// messages are kept for the result instead of going to standard error, and decoded rows go to a
// sink that checks them against the caller's buffer.
#include "imaging/BaselineJpeg.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <string>
#include <utility>

// After stdio.h, which it needs and does not include.
#include <jpeglib.h>
// After jpeglib.h, which defines what it needs.
#include <jerror.h>

namespace dicomlib::imaging {
namespace {

struct ErrorManager {
    jpeg_error_mgr library{};
    std::jmp_buf jump{};
    char error[JMSG_LENGTH_MAX] = {};
    char warning[JMSG_LENGTH_MAX] = {};
};

ErrorManager& ErrorsOf(j_common_ptr info) {
    return *static_cast<ErrorManager*>(info->client_data);
}

[[noreturn]] void ErrorExit(j_common_ptr info) {
    ErrorManager& errors = ErrorsOf(info);
    (*info->err->format_message)(info, errors.error);
    std::longjmp(errors.jump, 1);
}

// Called for warnings (corrupt data that libjpeg decodes around); the first one is kept.
void OutputMessage(j_common_ptr info) {
    ErrorManager& errors = ErrorsOf(info);
    if (errors.warning[0] == '\0') (*info->err->format_message)(info, errors.warning);
}

class RowSink {
  public:
    virtual ~RowSink() = default;
    // Checks the image size before any row is decoded; false (with Refusal() saying why) stops.
    virtual bool Begin(uint32_t width, uint32_t height) = 0;
    // Where libjpeg puts the next row, width x 3 bytes.
    virtual uint8_t* RowBuffer() = 0;
    virtual void Row(uint32_t y) = 0;
    const std::string& Refusal() const { return refusal_; }

  protected:
    std::string refusal_;
};

// Destroying twice is harmless in libjpeg, so the destructor also covers an exception thrown
// by a sink (allocation failure) between create and destroy.
struct Session {
    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() { jpeg_destroy_decompress(&info); }

    jpeg_decompress_struct info{};
    ErrorManager errors;
};

enum class Outcome { Decoded, Failed, Refused };

// The only frame that libjpeg's error exit jumps back to. It holds nothing with a destructor,
// so the jump skips nothing that needs cleaning up; everything else happens in the caller.
[[gnu::noinline]] Outcome RunLibjpeg(Session& session, std::span<const uint8_t> stream,
                                     RowSink& sink, bool rgbComponents) {
    jpeg_decompress_struct& info = session.info;
    info.err = jpeg_std_error(&session.errors.library);
    session.errors.library.error_exit = ErrorExit;
    session.errors.library.output_message = OutputMessage;
    info.client_data = &session.errors;
    if (setjmp(session.errors.jump) != 0) {
        jpeg_destroy_decompress(&info);
        return Outcome::Failed;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, stream.data(), static_cast<unsigned long>(stream.size()));
    jpeg_read_header(&info, TRUE);
    // Three components that the data set calls RGB are taken as they are, never as YCbCr.
    if (rgbComponents && info.num_components == 3) info.jpeg_color_space = JCS_RGB;
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    if (!sink.Begin(info.output_width, info.output_height)) {
        jpeg_destroy_decompress(&info);
        return Outcome::Refused;
    }
    while (info.output_scanline < info.output_height) {
        JSAMPROW rows[1] = {sink.RowBuffer()};
        const uint32_t y = info.output_scanline;
        if (jpeg_read_scanlines(&info, rows, 1) != 1) break;
        sink.Row(y);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return Outcome::Decoded;
}

BaselineJpegResult Decode(std::span<const uint8_t> stream, RowSink& sink, bool rgbComponents) {
    BaselineJpegResult result;
    if (stream.empty()) {
        result.detail = "no JPEG data";
        return result;
    }
    Session session;
    switch (RunLibjpeg(session, stream, sink, rgbComponents)) {
        case Outcome::Failed:
            result.detail = session.errors.error;
            break;
        case Outcome::Refused:
            result.detail = sink.Refusal();
            break;
        case Outcome::Decoded:
            result.decoded = BaselineJpegDecoded::Image;
            if (session.errors.warning[0] != '\0') {
                result.decoded = BaselineJpegDecoded::Damaged;
                result.detail = session.errors.warning;
            }
            break;
    }
    return result;
}

class PixelDataSink : public RowSink {
  public:
    PixelDataSink(std::span<uint8_t> output, uint32_t rows, uint32_t columns, bool colour)
        : output_(output), rows_(rows), columns_(columns), colour_(colour) {}

    bool Begin(uint32_t width, uint32_t height) override {
        if (width != columns_ || height != rows_) {
            refusal_ = "JPEG image is " + std::to_string(width) + " x " + std::to_string(height) +
                       ", the pixel data " + std::to_string(columns_) + " x " +
                       std::to_string(rows_);
            return false;
        }
        const std::size_t needed = std::size_t{rows_} * columns_ * (colour_ ? 3 : 1);
        if (output_.size() < needed) {
            refusal_ = "output of " + std::to_string(output_.size()) + " bytes, image needs " +
                       std::to_string(needed);
            return false;
        }
        row_.resize(std::size_t{columns_} * 3);
        return true;
    }

    uint8_t* RowBuffer() override { return row_.data(); }

    void Row(uint32_t y) override {
        const uint8_t* rgb = row_.data();
        if (colour_) {
            uint8_t* out = output_.data() + std::size_t{y} * columns_ * 3;
            std::copy(rgb, rgb + std::size_t{columns_} * 3, out);
            return;
        }
        uint8_t* out = output_.data() + std::size_t{y} * columns_;
        for (uint32_t x = 0; x < columns_; ++x, rgb += 3)
            out[x] = static_cast<uint8_t>((rgb[0] + rgb[1] + rgb[2]) / 3);
    }

  private:
    std::span<uint8_t> output_;
    uint32_t rows_;
    uint32_t columns_;
    bool colour_;
    std::vector<uint8_t> row_;
};

class RgbSink : public RowSink {
  public:
    explicit RgbSink(RgbImage& image) : image_(image) {}

    bool Begin(uint32_t width, uint32_t height) override {
        image_.width = width;
        image_.height = height;
        image_.pixels.assign(std::size_t{width} * height * 3, 0);
        next_ = 0;
        return true;
    }

    // Rows are decoded straight into the image.
    uint8_t* RowBuffer() override { return image_.pixels.data() + next_ * image_.width * 3; }
    void Row(uint32_t y) override { next_ = std::size_t{y} + 1; }

  private:
    RgbImage& image_;
    std::size_t next_ = 0;
};

// Collects the compressed stream in a vector, a chunk at a time.
struct VectorDestination {
    jpeg_destination_mgr manager{};
    std::vector<uint8_t>* stream = nullptr;
    JOCTET chunk[16384] = {};
};

VectorDestination& DestinationOf(j_compress_ptr info) {
    return *reinterpret_cast<VectorDestination*>(info->dest);
}

void StartChunk(j_compress_ptr info) {
    VectorDestination& d = DestinationOf(info);
    d.manager.next_output_byte = d.chunk;
    d.manager.free_in_buffer = sizeof d.chunk;
}

// Called from inside libjpeg, where no exception may pass: running out of memory becomes
// libjpeg's own error, which jumps back to RunCompress.
void KeepChunk(j_compress_ptr info, std::size_t count) {
    VectorDestination& d = DestinationOf(info);
    try {
        d.stream->insert(d.stream->end(), d.chunk, d.chunk + count);
    } catch (...) {
        info->err->msg_code = JERR_OUT_OF_MEMORY;
        (*info->err->error_exit)(reinterpret_cast<j_common_ptr>(info));
    }
}

boolean FullChunk(j_compress_ptr info) {
    KeepChunk(info, sizeof DestinationOf(info).chunk);
    StartChunk(info);
    return TRUE;
}

void LastChunk(j_compress_ptr info) {
    KeepChunk(info, sizeof DestinationOf(info).chunk - DestinationOf(info).manager.free_in_buffer);
}

struct CompressSession {
    CompressSession() = default;
    CompressSession(const CompressSession&) = delete;
    CompressSession& operator=(const CompressSession&) = delete;
    ~CompressSession() { jpeg_destroy_compress(&info); }

    jpeg_compress_struct info{};
    ErrorManager errors;
    VectorDestination destination;
};

// Like RunLibjpeg: the only frame libjpeg's error exit jumps back to, holding nothing with a
// destructor.
[[gnu::noinline]] bool RunCompress(CompressSession& session, const uint8_t* pixels, uint32_t width,
                                   uint32_t height, int components, int quality) {
    jpeg_compress_struct& info = session.info;
    info.err = jpeg_std_error(&session.errors.library);
    session.errors.library.error_exit = ErrorExit;
    session.errors.library.output_message = OutputMessage;
    info.client_data = &session.errors;
    if (setjmp(session.errors.jump) != 0) {
        jpeg_destroy_compress(&info);
        return false;
    }
    jpeg_create_compress(&info);
    session.destination.manager.init_destination = StartChunk;
    session.destination.manager.empty_output_buffer = FullChunk;
    session.destination.manager.term_destination = LastChunk;
    info.dest = &session.destination.manager;
    info.image_width = width;
    info.image_height = height;
    info.input_components = components;
    info.in_color_space = components == 3 ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    const std::size_t stride = std::size_t{width} * static_cast<std::size_t>(components);
    while (info.next_scanline < info.image_height) {
        JSAMPROW rows[1] = {const_cast<JSAMPLE*>(pixels + info.next_scanline * stride)};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return true;
}

}  // namespace

bool EncodeBaselineJpeg(std::span<const uint8_t> pixels, uint32_t width, uint32_t height,
                        int components, int quality, std::vector<uint8_t>& stream,
                        std::string& detail) {
    if ((components != 1 && components != 3) ||
        uint64_t{width} * height * static_cast<uint64_t>(components) > pixels.size()) {
        detail = "pixels do not fill the image";
        return false;
    }
    stream.clear();
    CompressSession session;
    session.destination.stream = &stream;
    if (RunCompress(session, pixels.data(), width, height, components, quality)) return true;
    detail = session.errors.error;
    stream.clear();
    return false;
}

BaselineJpegResult DecodeBaselineJpeg(std::span<const uint8_t> stream, std::span<uint8_t> output,
                                      uint32_t rows, uint32_t columns, bool colour,
                                      bool rgbComponents) {
    PixelDataSink sink(output, rows, columns, colour);
    return Decode(stream, sink, rgbComponents);
}

BaselineJpegResult DecodeJpegToRgb(std::span<const uint8_t> stream, RgbImage& image) {
    RgbSink sink(image);
    return Decode(stream, sink, false);
}

const BaselineJpegCodec BASELINE_JPEG_CODEC;

FrameCodecResult BaselineJpegCodec::Decode(std::span<const uint8_t> stream,
                                           const FrameLayout& layout,
                                           std::span<uint8_t> output) const {
    if (layout.bitsAllocated != 8 || (layout.samplesPerPixel != 1 && layout.samplesPerPixel != 3)) {
        return {FrameCodecOutcome::UnsupportedLayout,
                "baseline JPEG is decoded for 8-bit images of one or three samples per pixel"};
    }
    BaselineJpegResult result = DecodeBaselineJpeg(stream, output, layout.rows, layout.columns,
                                                   layout.samplesPerPixel == 3, layout.rgb);
    if (result.decoded == BaselineJpegDecoded::Image) return {};
    if (result.detail.empty()) result.detail = "the JPEG data is damaged";
    return {FrameCodecOutcome::Malformed, std::move(result.detail)};
}

FrameCodecResult BaselineJpegCodec::Encode(std::span<const uint8_t>, const FrameLayout&,
                                           std::vector<uint8_t>&) const {
    return {FrameCodecOutcome::UnsupportedLayout,
            "baseline JPEG is read, and written only back from its JPEG XL recompression"};
}

const ExtendedJpegCodec EXTENDED_JPEG_CODEC;

int JpegPrecision(std::span<const uint8_t> stream) {
    // Marker segments from SOI on: each FF xx with a 16-bit length, up to the first frame
    // header (SOF0 to SOF15 but DHT, JPG and DAC).
    std::size_t pos = 2;
    while (pos + 4 < stream.size()) {
        if (stream[pos] != 0xFF) return 0;
        const int marker = stream[pos + 1];
        if (marker == 0xFF) {
            ++pos;
            continue;
        }
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
            marker != 0xCC) {
            return stream[pos + 4];
        }
        pos += 2 + static_cast<std::size_t>(stream[pos + 2] << 8 | stream[pos + 3]);
    }
    return 0;
}

FrameCodecResult ExtendedJpegCodec::Decode(std::span<const uint8_t> stream,
                                           const FrameLayout& layout,
                                           std::span<uint8_t> output) const {
    const int precision = JpegPrecision(stream);
    if (precision > 8) {
        return {FrameCodecOutcome::UnsupportedLayout,
                std::to_string(precision) +
                    "-bit JPEG cannot be decoded: the system's libjpeg reads 8-bit samples only",
                {}};
    }
    return BASELINE_JPEG_CODEC.Decode(stream, layout, output);
}

FrameCodecResult ExtendedJpegCodec::Encode(std::span<const uint8_t>, const FrameLayout&,
                                           std::vector<uint8_t>&) const {
    return {FrameCodecOutcome::UnsupportedLayout, "extended JPEG is read, never written", {}};
}

}  // namespace dicomlib::imaging
