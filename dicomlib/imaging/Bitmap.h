// Device-independent bitmaps: 8 bits per pixel through a 256-entry palette, 24 bits per pixel
// (blue, green, red) and 32 bits per pixel (blue, green, red, unused), the byte orders of a
// Windows bitmap. Rows are held top row first without padding; files and the canvas convert
// on their way in and out. Nothing here knows of DICOM.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace dicomlib::imaging {

enum class PixelFormat : uint8_t {
    Indexed8 = 8,
    Bgr24 = 24,
    Bgrx32 = 32,
};

struct Rgb {
    uint8_t red = 0;
    uint8_t green = 0;
    uint8_t blue = 0;
    friend constexpr bool operator==(Rgb, Rgb) = default;
};

// A colour written as 0xRRGGBB.
constexpr Rgb RgbOf(uint32_t rrggbb) {
    return {static_cast<uint8_t>(rrggbb >> 16), static_cast<uint8_t>(rrggbb >> 8),
            static_cast<uint8_t>(rrggbb)};
}

using Palette = std::array<Rgb, 256>;

class Bitmap {
  public:
    Bitmap() = default;

    // Makes the bitmap width x height pixels in the format with every pixel byte 0 (black in
    // the colour formats, entry 0 in the indexed one); the palette stays as it is. False, and
    // an empty bitmap, when the size does not fit in memory addresses.
    bool Reset(uint32_t width, uint32_t height, PixelFormat format);

    uint32_t Width() const { return width_; }
    uint32_t Height() const { return height_; }
    PixelFormat Format() const { return format_; }
    bool Empty() const { return width_ == 0 || height_ == 0; }
    std::size_t BytesPerPixel() const { return static_cast<std::size_t>(format_) / 8; }
    std::size_t RowBytes() const { return std::size_t{width_} * BytesPerPixel(); }

    // Row y, counted from the top.
    std::span<uint8_t> Row(uint32_t y) { return {pixels_.data() + y * RowBytes(), RowBytes()}; }
    std::span<const uint8_t> Row(uint32_t y) const {
        return {pixels_.data() + y * RowBytes(), RowBytes()};
    }
    std::span<uint8_t> Pixels() { return pixels_; }
    std::span<const uint8_t> Pixels() const { return pixels_; }

    // Entries that nobody set are black.
    Palette& Colors() { return palette_; }
    const Palette& Colors() const { return palette_; }
    // Entry i becomes red = green = blue = i: a linear ramp from black to white.
    void SetGrayPalette();

    // The colour of a pixel, through the palette for an indexed bitmap.
    Rgb PixelColor(uint32_t x, uint32_t y) const;
    // Sets a pixel of a 24- or 32-bit bitmap; an indexed one takes the colour's red value as
    // the index.
    void SetPixelColor(uint32_t x, uint32_t y, Rgb color);

  private:
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    PixelFormat format_ = PixelFormat::Bgr24;
    std::vector<uint8_t> pixels_;
    Palette palette_{};
};

}  // namespace dicomlib::imaging
