#include "imaging/Bitmap.h"

#include <limits>

namespace dicomlib::imaging {

bool Bitmap::Reset(uint32_t width, uint32_t height, PixelFormat format) {
    width_ = 0;
    height_ = 0;
    format_ = format;
    pixels_.clear();
    const std::size_t bytesPerPixel = static_cast<std::size_t>(format) / 8;
    const std::size_t limit = std::numeric_limits<std::ptrdiff_t>::max();
    if (height != 0 && std::size_t{width} > limit / bytesPerPixel / height) return false;
    pixels_.assign(std::size_t{width} * height * bytesPerPixel, 0);
    width_ = width;
    height_ = height;
    return true;
}

void Bitmap::SetGrayPalette() {
    for (std::size_t i = 0; i < palette_.size(); ++i) {
        const auto level = static_cast<uint8_t>(i);
        palette_[i] = {level, level, level};
    }
}

Rgb Bitmap::PixelColor(uint32_t x, uint32_t y) const {
    const uint8_t* p = Row(y).data() + x * BytesPerPixel();
    if (format_ == PixelFormat::Indexed8) return palette_[p[0]];
    return {p[2], p[1], p[0]};
}

void Bitmap::SetPixelColor(uint32_t x, uint32_t y, Rgb color) {
    uint8_t* p = Row(y).data() + x * BytesPerPixel();
    if (format_ == PixelFormat::Indexed8) {
        p[0] = color.red;
        return;
    }
    p[0] = color.blue;
    p[1] = color.green;
    p[2] = color.red;
}

}  // namespace dicomlib::imaging
