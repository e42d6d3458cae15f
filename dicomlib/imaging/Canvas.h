// A drawing canvas over a 24- or 32-bit Bitmap: a pen for lines and outlines, a brush for
// filled areas and text backgrounds, and a font, drawn through Cairo. Coordinates are whole
// pixels from the top-left corner, as on a Windows canvas: a line from (x1, y1) to (x2, y2)
// covers those pixels' centres, a rectangle (x1, y1, x2, y2) covers x1..x2-1 and y1..y2-1.
// Lines are drawn without smoothing, text with it. The canvas draws on a copy: the bitmap holds
// the drawing after Flush() and when the canvas is destroyed.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "imaging/Bitmap.h"

namespace dicomlib::imaging {

class Canvas {
  public:
    // Null for an indexed or empty bitmap. The bitmap must outlive the canvas.
    static std::unique_ptr<Canvas> On(Bitmap& bitmap);
    ~Canvas();
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    void SetPenColor(Rgb color) { penColor_ = color; }
    void SetPenWidth(int width) { penWidth_ = width < 1 ? 1 : width; }
    void SetBrushColor(Rgb color) { brushColor_ = color; }
    // A clear brush leaves insides and text backgrounds as they are; a solid one (the default)
    // fills them.
    void SetBrushSolid(bool solid) { brushSolid_ = solid; }
    // A font family name (one the system lacks falls back to a sans-serif face), its size in
    // points at 96 pixels per inch, and its weight.
    void SetFont(std::string_view family, double points, bool bold);
    void SetFontColor(Rgb color) { fontColor_ = color; }

    void MoveTo(int x, int y);
    // A line with the pen from the current position to (x, y), which becomes the current one.
    void LineTo(int x, int y);
    void Rectangle(int x1, int y1, int x2, int y2);
    // Windows-1252 text whose top-left corner is at (x, y).
    void TextOut(int x, int y, std::string_view text);
    int TextWidth(std::string_view text);
    int TextHeight(std::string_view text);

    // Copies the drawing into the bitmap.
    void Flush();

  private:
    struct Surface;
    Canvas(Bitmap& bitmap, std::unique_ptr<Surface> surface);
    void UseFont();

    Bitmap& bitmap_;
    std::unique_ptr<Surface> surface_;
    Rgb penColor_{};
    int penWidth_ = 1;
    Rgb brushColor_ = RgbOf(0xFFFFFF);
    bool brushSolid_ = true;
    Rgb fontColor_{};
    std::string fontFamily_ = "DejaVu Sans";
    double fontPoints_ = 10;
    bool fontBold_ = false;
    int x_ = 0;
    int y_ = 0;
};

// Windows-1252 text as UTF-8.
std::string Utf8FromWindows1252(std::string_view text);

}  // namespace dicomlib::imaging
