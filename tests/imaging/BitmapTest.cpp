#include <gtest/gtest.h>

#include <random>

#include "imaging/Bitmap.h"
#include "imaging/Canvas.h"
#include "imaging/ImageFile.h"
#include "support/ImageFiles.h"

using namespace dicomlib::imaging;
using testsupport::BitmapFileBytes;
using Bytes = std::vector<uint8_t>;

TEST(BitmapFile, WrittenFilesReadBackWithTheirPixelsAndPalette) {
    std::mt19937 random(7);
    for (PixelFormat format : {PixelFormat::Indexed8, PixelFormat::Bgr24, PixelFormat::Bgrx32}) {
        SCOPED_TRACE(static_cast<int>(format));
        Bitmap b;
        ASSERT_TRUE(b.Reset(5, 3, format));  // rows of 5, 15 and 20 bytes: padded but the last
        for (uint8_t& byte : b.Pixels())
            byte = static_cast<uint8_t>(random());
        for (Rgb& c : b.Colors())
            c = {static_cast<uint8_t>(random()), static_cast<uint8_t>(random()), 1};
        const Bytes file = EncodeBitmapFile(b);
        const std::size_t stride = (5 * static_cast<std::size_t>(format) / 8 + 3) / 4 * 4;
        EXPECT_EQ(file.size(), 14 + 40 + (format == PixelFormat::Indexed8 ? 1024 : 0) + 3 * stride);
        Bitmap back;
        std::string error;
        ASSERT_TRUE(DecodeBitmapFile(file, back, error)) << error;
        EXPECT_EQ(back.Format(), format);
        EXPECT_TRUE(std::equal(back.Pixels().begin(), back.Pixels().end(), b.Pixels().begin(),
                               b.Pixels().end()));
        if (format == PixelFormat::Indexed8) {
            EXPECT_EQ(back.Colors(), b.Colors());
        }
    }
}

TEST(BitmapFile, ReadsTheOtherDepthsAndHeaders) {
    const Rgb red{255, 0, 0}, green{0, 255, 0}, blue{0, 0, 255}, white{255, 255, 255}, black{};
    const std::pair<testsupport::BitmapLayout, std::vector<Rgb>> cases[] = {
        {{.bits = 1, .width = 9, .palette = {0xFF0000, 0x00FF00}, .rows = {0xA0, 0x80, 0, 0}},
         {green, red, green, red, red, red, red, red, green}},
        {{.bits = 4, .width = 3, .palette = {0x0000FF}, .rows = {0x01, 0x00, 0, 0}},
         {blue, black, blue}},  // index 1 is past the palette
        {{.bits = 16, .width = 2, .rows = {0x00, 0x7C, 0xFF, 0x7F}}, {red, white}},  // 5-5-5
        {{.bits = 16,
          .width = 2,
          .rows = {0xE0, 0x07, 0x1F, 0x00},
          .compression = 3,
          .masks = {0xF800, 0x07E0, 0x001F}},
         {green, blue}},
        {{.bits = 8,
          .width = 2,
          .palette = {0x123456, 0xFFFFFF},
          .rows = {1, 0, 0, 0},
          .core = true},
         {white, {0x12, 0x34, 0x56}}},  // the old 12-byte header
    };
    for (const auto& [layout, topRow] : cases) {
        SCOPED_TRACE(layout.bits);
        Bitmap b;
        std::string error;
        ASSERT_TRUE(DecodeBitmapFile(BitmapFileBytes(layout), b, error)) << error;
        ASSERT_EQ(b.Width(), topRow.size());
        for (uint32_t x = 0; x < b.Width(); ++x)
            EXPECT_EQ(b.PixelColor(x, 0), topRow[x]) << x;
    }
}

TEST(BitmapFile, DamagedFilesAreRefusedWithAReason) {
    const Bytes good = BitmapFileBytes(
        {.bits = 8, .width = 3, .height = 2, .palette = {0, 0}, .rows = Bytes(8, 1)});
    Bitmap b;
    std::string error;
    // Every cut of the file is refused; the pixels are checked before anything is allocated.
    for (std::size_t size = 0; size < good.size(); ++size) {
        EXPECT_FALSE(DecodeBitmapFile({good.data(), size}, b, error)) << size;
        EXPECT_FALSE(error.empty());
    }
    const std::pair<testsupport::BitmapLayout, const char*> refused[] = {
        {{.bits = 8, .rows = {0, 0, 0, 0}, .compression = 1},
         "run-length compressed bitmaps are not supported"},
        {{.bits = 8, .width = 0, .rows = {}}, "bitmap size 0 x 1"},
        {{.bits = 2, .rows = {0, 0, 0, 0}}, "unsupported bitmap depth of 2 bits"},
        {{.bits = 24, .width = 1, .height = -2000000000, .rows = {0, 0, 0, 0}},
         "the bitmap file holds fewer pixels than its 1 x 2000000000 header says"},
    };
    for (const auto& [layout, reason] : refused) {
        EXPECT_FALSE(DecodeBitmapFile(BitmapFileBytes(layout), b, error));
        EXPECT_EQ(error, reason);
    }
    EXPECT_FALSE(DecodeBitmapFile(Bytes{'P', '5', 0, 0}, b, error));
}

TEST(Canvas, DrawsLinesRectanglesAndTextIntoTheBitmap) {
    Bitmap indexed;
    indexed.Reset(4, 4, PixelFormat::Indexed8);
    EXPECT_EQ(Canvas::On(indexed), nullptr);

    for (PixelFormat format : {PixelFormat::Bgr24, PixelFormat::Bgrx32}) {
        SCOPED_TRACE(static_cast<int>(format));
        Bitmap b;
        b.Reset(60, 30, format);
        const Rgb white = RgbOf(0xFFFFFF), grid = RgbOf(0xC0C0C0), black{};
        int wide = 0, narrow = 0;
        {
            auto canvas = Canvas::On(b);
            ASSERT_NE(canvas, nullptr);
            canvas->SetPenColor(black);
            canvas->Rectangle(0, 0, 60, 30);  // white inside, black border
            canvas->SetPenColor(grid);
            canvas->MoveTo(5, 10);
            canvas->LineTo(20, 10);
            canvas->LineTo(20, 25);
            canvas->SetBrushSolid(false);
            canvas->SetFont("Tahoma", 10, true);
            canvas->TextOut(30, 5, "Sex: M");
            wide = canvas->TextWidth("WWWW");
            narrow = canvas->TextWidth("W");
        }
        EXPECT_EQ(b.PixelColor(0, 0), black);
        EXPECT_EQ(b.PixelColor(59, 29), black);
        EXPECT_EQ(b.PixelColor(1, 1), white);
        for (int x = 5; x <= 20; ++x)
            EXPECT_EQ(b.PixelColor(x, 10), grid) << x;
        for (int y = 10; y <= 25; ++y)
            EXPECT_EQ(b.PixelColor(20, y), grid) << y;
        EXPECT_EQ(b.PixelColor(12, 9), white);
        EXPECT_EQ(b.PixelColor(12, 11), white);
        // Text: dark pixels right of (30, 5) and nowhere left of it.
        int dark = 0;
        for (uint32_t y = 1; y < 29; ++y)
            for (uint32_t x = 1; x < 59; ++x)
                if (b.PixelColor(x, y).red < 100) (x >= 30 && y >= 5 ? ++dark : dark -= 1000);
        EXPECT_GT(dark, 10);
        EXPECT_GT(narrow, 3);
        EXPECT_NEAR(wide, 4 * narrow, 2);
    }
}
