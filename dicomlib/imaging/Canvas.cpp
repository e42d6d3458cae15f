// The canvas keeps a Cairo image surface of the bitmap's size (32 bits per pixel, the byte
// order of the platform's words) and copies pixels in when it opens and out on Flush.
#include "imaging/Canvas.h"

#include <cairo.h>

#include <cmath>
#include <cstdint>
#include <cstring>

namespace dicomlib::imaging {

struct Canvas::Surface {
    cairo_surface_t* surface = nullptr;
    cairo_t* cr = nullptr;
    ~Surface() {
        if (cr != nullptr) cairo_destroy(cr);
        if (surface != nullptr) cairo_surface_destroy(surface);
    }
};

namespace {

void SetColor(cairo_t* cr, Rgb c) {
    cairo_set_source_rgb(cr, c.red / 255.0, c.green / 255.0, c.blue / 255.0);
}

// Windows-1252 0x80..0x9F; 0 where the code page has no character.
constexpr uint16_t HIGH_CONTROLS[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

// A pixel of the surface: one 32-bit word 0x00RRGGBB in the platform's byte order.
void StoreWord(unsigned char* at, uint32_t word) {
    std::memcpy(at, &word, sizeof word);
}
uint32_t LoadWord(const unsigned char* at) {
    uint32_t word = 0;
    std::memcpy(&word, at, sizeof word);
    return word;
}

}  // namespace

std::string Utf8FromWindows1252(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<uint8_t>(c);
        uint32_t code = byte;
        if (byte >= 0x80 && byte < 0xA0) code = HIGH_CONTROLS[byte - 0x80];
        if (code == 0 && byte != 0) code = '?';
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return out;
}

std::unique_ptr<Canvas> Canvas::On(Bitmap& bitmap) {
    if (bitmap.Empty() || bitmap.Format() == PixelFormat::Indexed8) return nullptr;
    if (bitmap.Width() > INT32_MAX || bitmap.Height() > INT32_MAX) return nullptr;
    auto surface = std::make_unique<Surface>();
    surface->surface = cairo_image_surface_create(
        CAIRO_FORMAT_RGB24, static_cast<int>(bitmap.Width()), static_cast<int>(bitmap.Height()));
    if (cairo_surface_status(surface->surface) != CAIRO_STATUS_SUCCESS) return nullptr;
    surface->cr = cairo_create(surface->surface);
    if (cairo_status(surface->cr) != CAIRO_STATUS_SUCCESS) return nullptr;

    cairo_surface_flush(surface->surface);
    unsigned char* data = cairo_image_surface_get_data(surface->surface);
    const int stride = cairo_image_surface_get_stride(surface->surface);
    const std::size_t step = bitmap.BytesPerPixel();
    for (uint32_t y = 0; y < bitmap.Height(); ++y) {
        const uint8_t* in = bitmap.Row(y).data();
        unsigned char* out = data + static_cast<std::size_t>(stride) * y;
        for (uint32_t x = 0; x < bitmap.Width(); ++x, in += step, out += 4)
            StoreWord(out, (uint32_t{in[2]} << 16) | (uint32_t{in[1]} << 8) | in[0]);
    }
    cairo_surface_mark_dirty(surface->surface);
    cairo_set_antialias(surface->cr, CAIRO_ANTIALIAS_NONE);
    cairo_set_line_cap(surface->cr, CAIRO_LINE_CAP_SQUARE);
    return std::unique_ptr<Canvas>(new Canvas(bitmap, std::move(surface)));
}

Canvas::Canvas(Bitmap& bitmap, std::unique_ptr<Surface> surface)
    : bitmap_(bitmap), surface_(std::move(surface)) {}

Canvas::~Canvas() {
    Flush();
}

void Canvas::Flush() {
    cairo_surface_flush(surface_->surface);
    const unsigned char* data = cairo_image_surface_get_data(surface_->surface);
    const int stride = cairo_image_surface_get_stride(surface_->surface);
    const std::size_t step = bitmap_.BytesPerPixel();
    for (uint32_t y = 0; y < bitmap_.Height(); ++y) {
        uint8_t* out = bitmap_.Row(y).data();
        const unsigned char* in = data + static_cast<std::size_t>(stride) * y;
        for (uint32_t x = 0; x < bitmap_.Width(); ++x, out += step, in += 4) {
            const uint32_t word = LoadWord(in);
            out[0] = static_cast<uint8_t>(word);
            out[1] = static_cast<uint8_t>(word >> 8);
            out[2] = static_cast<uint8_t>(word >> 16);
        }
    }
}

void Canvas::SetFont(std::string_view family, double points, bool bold) {
    fontFamily_ = std::string(family);
    fontPoints_ = points;
    fontBold_ = bold;
}

void Canvas::UseFont() {
    cairo_t* cr = surface_->cr;
    cairo_select_font_face(cr, fontFamily_.c_str(), CAIRO_FONT_SLANT_NORMAL,
                           fontBold_ ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, fontPoints_ * 96.0 / 72.0);
}

void Canvas::MoveTo(int x, int y) {
    x_ = x;
    y_ = y;
}

void Canvas::LineTo(int x, int y) {
    cairo_t* cr = surface_->cr;
    // Pixel centres, so that a one-pixel pen covers exactly one row or column of pixels.
    cairo_move_to(cr, x_ + 0.5, y_ + 0.5);
    cairo_line_to(cr, x + 0.5, y + 0.5);
    cairo_set_line_width(cr, penWidth_);
    SetColor(cr, penColor_);
    cairo_stroke(cr);
    x_ = x;
    y_ = y;
}

void Canvas::Rectangle(int x1, int y1, int x2, int y2) {
    if (x2 <= x1 || y2 <= y1) return;
    cairo_t* cr = surface_->cr;
    if (brushSolid_) {
        cairo_rectangle(cr, x1, y1, x2 - x1, y2 - y1);
        SetColor(cr, brushColor_);
        cairo_fill(cr);
    }
    cairo_rectangle(cr, x1 + 0.5, y1 + 0.5, x2 - x1 - 1, y2 - y1 - 1);
    cairo_set_line_width(cr, penWidth_);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_SQUARE);
    SetColor(cr, penColor_);
    cairo_stroke(cr);
}

void Canvas::TextOut(int x, int y, std::string_view text) {
    cairo_t* cr = surface_->cr;
    const std::string utf8 = Utf8FromWindows1252(text);
    UseFont();
    cairo_font_extents_t font;
    cairo_font_extents(cr, &font);
    if (brushSolid_) {
        cairo_rectangle(cr, x, y, TextWidth(text), TextHeight(text));
        SetColor(cr, brushColor_);
        cairo_fill(cr);
    }
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_GRAY);
    cairo_move_to(cr, x, y + font.ascent);
    SetColor(cr, fontColor_);
    cairo_show_text(cr, utf8.c_str());
    cairo_new_path(cr);
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
}

int Canvas::TextWidth(std::string_view text) {
    UseFont();
    cairo_text_extents_t extents;
    cairo_text_extents(surface_->cr, Utf8FromWindows1252(text).c_str(), &extents);
    return static_cast<int>(std::lround(extents.x_advance));
}

int Canvas::TextHeight(std::string_view) {
    UseFont();
    cairo_font_extents_t font;
    cairo_font_extents(surface_->cr, &font);
    return static_cast<int>(std::ceil(font.ascent + font.descent));
}

}  // namespace dicomlib::imaging
