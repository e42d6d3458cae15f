// libjpeg behind a result: its error exit jumps back here instead of ending the process, its
// messages are kept for the result instead of going to standard error, and decoded rows go to a
// sink that checks them against the caller's buffer.
#include "imaging/BaselineJpeg.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <string>

// After stdio.h, which it needs and does not include.
#include <jpeglib.h>

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
    // Checks the image size before any row is decoded; an empty text means go on.
    virtual std::string Begin(uint32_t width, uint32_t height) = 0;
    virtual void Row(uint32_t y, const uint8_t* rgb) = 0;
};

// Only objects without destructors, or created before setjmp, live in this frame, so the jump
// back from ErrorExit skips nothing that needs cleaning up.
BaselineJpegResult Decode(std::span<const uint8_t> stream, RowSink& sink) {
    BaselineJpegResult result;
    if (stream.empty()) {
        result.detail = "no JPEG data";
        return result;
    }
    jpeg_decompress_struct info{};
    ErrorManager errors;
    std::vector<uint8_t> row;
    info.err = jpeg_std_error(&errors.library);
    errors.library.error_exit = ErrorExit;
    errors.library.output_message = OutputMessage;
    info.client_data = &errors;
    if (setjmp(errors.jump) != 0) {
        jpeg_destroy_decompress(&info);
        result.detail = errors.error;
        return result;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, stream.data(), static_cast<unsigned long>(stream.size()));
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    result.detail = sink.Begin(info.output_width, info.output_height);
    if (!result.detail.empty()) {
        jpeg_destroy_decompress(&info);
        return result;
    }
    row.resize(std::size_t{info.output_width} * 3);
    while (info.output_scanline < info.output_height) {
        JSAMPROW rows[1] = {row.data()};
        const uint32_t y = info.output_scanline;
        if (jpeg_read_scanlines(&info, rows, 1) != 1) break;
        sink.Row(y, row.data());
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    result.decoded = BaselineJpegDecoded::Image;
    if (errors.warning[0] != '\0') {
        result.decoded = BaselineJpegDecoded::Damaged;
        result.detail = errors.warning;
    }
    return result;
}

class PixelDataSink : public RowSink {
  public:
    PixelDataSink(std::span<uint8_t> output, uint32_t rows, uint32_t columns, bool colour)
        : output_(output), rows_(rows), columns_(columns), colour_(colour) {}

    std::string Begin(uint32_t width, uint32_t height) override {
        if (width != columns_ || height != rows_) {
            return "JPEG image is " + std::to_string(width) + " x " + std::to_string(height) +
                   ", the pixel data " + std::to_string(columns_) + " x " + std::to_string(rows_);
        }
        const std::size_t needed = std::size_t{rows_} * columns_ * (colour_ ? 3 : 1);
        if (output_.size() < needed) {
            return "output of " + std::to_string(output_.size()) + " bytes, image needs " +
                   std::to_string(needed);
        }
        return {};
    }

    void Row(uint32_t y, const uint8_t* rgb) override {
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
};

class RgbSink : public RowSink {
  public:
    explicit RgbSink(RgbImage& image) : image_(image) {}

    std::string Begin(uint32_t width, uint32_t height) override {
        image_.width = width;
        image_.height = height;
        image_.pixels.assign(std::size_t{width} * height * 3, 0);
        return {};
    }

    void Row(uint32_t y, const uint8_t* rgb) override {
        const std::size_t length = std::size_t{image_.width} * 3;
        std::copy(rgb, rgb + length, image_.pixels.data() + y * length);
    }

  private:
    RgbImage& image_;
};

}  // namespace

BaselineJpegResult DecodeBaselineJpeg(std::span<const uint8_t> stream, std::span<uint8_t> output,
                                      uint32_t rows, uint32_t columns, bool colour) {
    PixelDataSink sink(output, rows, columns, colour);
    return Decode(stream, sink);
}

BaselineJpegResult DecodeJpegToRgb(std::span<const uint8_t> stream, RgbImage& image) {
    RgbSink sink(image);
    return Decode(stream, sink);
}

}  // namespace dicomlib::imaging
