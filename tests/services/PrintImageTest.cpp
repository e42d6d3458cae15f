#include "services/PrintImage.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <optional>

#include <jpeglib.h>

#include "support/BitmapFiles.h"
#include "support/DataSetBuilder.h"
#include "support/TestSupport.h"

using namespace dicomlib;
using testsupport::DataSetBuilder;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr char EXPLICIT_LE[] = "1.2.840.10008.1.2.1";
constexpr char EXPLICIT_BE[] = "1.2.840.10008.1.2.2";

// A Part 10 image written field by field. texts: window and rescale values as stored.
struct Dicom {
    uint16_t rows = 2, columns = 2, bits = 8;
    uint16_t pixelRepresentation = 0;
    std::string photometric = "MONOCHROME2 ";
    uint16_t samples = 1;
    std::optional<uint16_t> planar{}, bitsStored{};
    std::vector<std::pair<uint16_t, std::string>> texts{};  // (0028,xxxx) DS values
    Bytes pixels{};
    bool bigEndian = false;
    bool withIcon = false;  // an icon image (1 x 1) in a sequence before the pixel data

    Bytes File() const {
        DataSetBuilder b(true, bigEndian);
        b.US(0x0028, 0x0002, samples).Text(0x0028, 0x0004, "CS", photometric);
        if (planar) b.US(0x0028, 0x0006, *planar);
        b.US(0x0028, 0x0010, rows).US(0x0028, 0x0011, columns).US(0x0028, 0x0100, bits);
        if (bitsStored) b.US(0x0028, 0x0101, *bitsStored).US(0x0028, 0x0102, *bitsStored - 1);
        b.US(0x0028, 0x0103, pixelRepresentation);
        for (const auto& [element, text] : texts)
            b.Text(0x0028, element, "DS", text);
        if (withIcon) {
            b.Undefined(0x0088, 0x0200, "SQ").Item();
            b.US(0x0028, 0x0010, 1).US(0x0028, 0x0011, 1).US(0x0028, 0x0100, 8);
            b.Element(0x7FE0, 0x0010, "OB", {0x42, 0x00}).ItemEnd().SequenceEnd();
        }
        b.Element(0x7FE0, 0x0010, bits == 16 ? "OW" : "OB", pixels);
        return testsupport::Part10File(bigEndian ? EXPLICIT_BE : EXPLICIT_LE, b.Bytes());
    }
};

// 16-bit samples in the file's byte order.
Bytes Words(std::initializer_list<int> values, bool bigEndian = false) {
    Bytes out;
    for (int v : values) {
        const auto w = static_cast<uint16_t>(v);
        out.push_back(static_cast<uint8_t>(bigEndian ? w >> 8 : w));
        out.push_back(static_cast<uint8_t>(bigEndian ? w : w >> 8));
    }
    return out;
}

// A bitmap file with a 40-byte header; rows exactly as stored, padding included.
Bytes BitmapFile(int bits, int32_t width, int32_t height, std::vector<uint32_t> palette,
                 Bytes rows) {
    return testsupport::BitmapFileBytes({.bits = bits,
                                         .width = width,
                                         .height = height,
                                         .palette = std::move(palette),
                                         .rows = std::move(rows)});
}

Bytes Jpeg(const Bytes& pixels, uint32_t width, uint32_t height, int components) {
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = width;
    info.image_height = height;
    info.input_components = components;
    info.in_color_space = components == 3 ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 100, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < height) {
        JSAMPROW row[1] = {const_cast<uint8_t*>(pixels.data()) +
                           std::size_t{info.next_scanline} * width * std::size_t(components)};
        jpeg_write_scanlines(&info, row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    Bytes out(buffer, buffer + size);
    std::free(buffer);
    return out;
}

Bytes Repeat(Bytes pattern, int times) {
    Bytes out;
    for (int i = 0; i < times; ++i)
        out.insert(out.end(), pattern.begin(), pattern.end());
    return out;
}

Bytes Prepared(const services::PrintImage& image) {
    Bytes gray(std::size_t{image.Width()} * image.Height());
    services::BitmapToGray8(image, gray);
    return gray;
}

}  // namespace

TEST(PrintImage, PreparesEveryKindOfImageAsItsExpectedGrayBytes) {
    const auto window = [](const char* center, const char* width) {
        return std::vector<std::pair<uint16_t, std::string>>{{0x1050, center}, {0x1051, width}};
    };
    const auto hounsfield = [&](const char* center, const char* width) {
        auto texts = window(center, width);
        texts.push_back({0x1052, "-1024 "});
        texts.push_back({0x1053, "1 "});
        return texts;
    };
    Dicom rgbPlanes{.rows = 1, .columns = 2, .photometric = "RGB ", .samples = 3, .planar = 1};
    rgbPlanes.pixels = {10, 255, 20, 0, 30, 0};
    struct Case {
        const char* name;
        const char* file;
        Bytes bytes;
        uint32_t width, height;
        Bytes gray;
        int tolerance = 0;
    };
    const Case cases[] = {
        // An 8-bit image prints its stored values: the fixed window 127/255 is the identity.
        {"8-bit, window in the file ignored",
         "a.dcm",
         Dicom{.texts = window("10", "20"), .pixels = {0, 100, 200, 255}}.File(),
         2,
         2,
         {0, 100, 200, 255}},
        {"8-bit signed",
         "a.dcm",
         Dicom{.pixelRepresentation = 1, .pixels = {0x80, 0xFF, 0x00, 0x7F}}.File(),
         2,
         2,
         {0, 0, 0, 127}},
        {"8-bit MONOCHROME1 is inverted",
         "a.dcm",
         Dicom{.rows = 1, .photometric = "MONOCHROME1 ", .pixels = {0, 255}}.File(),
         2,
         1,
         {255, 0}},
        // Center 40, width 400 after the rescale: -160 -> 0, 40 -> 127, 240 -> 254; 40000 stays
        // far above the window instead of wrapping to a negative value.
        {"16-bit unsigned, rescaled and windowed",
         "a.dcm",
         Dicom{.bits = 16,
               .texts = hounsfield("40", "400"),
               .pixels = Words({864, 1064, 1264, 40000})}
             .File(),
         2,
         2,
         {0, 127, 254, 255}},
        {"16-bit signed, first window value, whole part",
         "a.dcm",
         Dicom{.bits = 16,
               .pixelRepresentation = 1,
               .texts = window("40.7\\100", "400.9"),
               .pixels = Words({-160, 40, 240, -32768})}
             .File(),
         2,
         2,
         {0, 127, 254, 0}},
        {"16-bit big endian",
         "a.dcm",
         Dicom{.bits = 16,
               .pixelRepresentation = 1,
               .texts = window("40", "400"),
               .pixels = Words({-160, 40, 240, -32768}, true),
               .bigEndian = true}
             .File(),
         2,
         2,
         {0, 127, 254, 0}},
        {"16-bit window width 0 means 100",
         "a.dcm",
         Dicom{.bits = 16,
               .pixelRepresentation = 1,
               .texts = window("0", "0"),
               .pixels = Words({-50, 0, 50, 10})}
             .File(),
         2,
         2,
         {0, 127, 254, 152}},
        {"16-bit without a window spans its values",
         "a.dcm",
         Dicom{.bits = 16, .pixels = Words({0, 1000, 500, 250})}.File(),
         2,
         2,
         {0, 254, 127, 64}},
        {"12 bits stored, signed, with bits above them set",
         "a.dcm",
         Dicom{.bits = 16,
               .pixelRepresentation = 1,
               .bitsStored = 12,
               .texts = window("0", "2"),
               .pixels = Words({0xFFFF, 0xF000, 0x0001, 0x7000})}
             .File(),
         2,
         2,
         {0, 127, 254, 127}},
        {"RGB interleaved: the mean of the samples",
         "a.dcm",
         Dicom{.rows = 1, .photometric = "RGB ", .samples = 3, .pixels = {10, 20, 30, 255, 0, 0}}
             .File(),
         2,
         1,
         {20, 85}},
        {"RGB in planes", "a.dcm", rgbPlanes.File(), 2, 1, {20, 85}},
        {"an icon image does not replace the image; a second frame is left",
         "image",
         Dicom{.rows = 1, .pixels = {7, 9, 1, 1}, .withIcon = true}.File(),
         2,
         1,
         {7, 9}},
        // Bitmaps: rows padded to 4 bytes, bottom row first unless the height is negative; a
        // palette of two entries leaves index 2 black.
        {"8-bit bitmap, odd width, short palette",
         "b.bmp",
         BitmapFile(8, 3, 2, {0x0000FF, 0xFFFFFF}, {2, 1, 0, 0xEE, 0, 1, 1, 0xEE}),
         3,
         2,
         {85, 255, 255, 0, 255, 85}},
        {"8-bit bitmap, top-down",
         "b.BMP",
         BitmapFile(8, 3, -2, {0x0000FF, 0xFFFFFF}, {2, 1, 0, 0xEE, 0, 1, 1, 0xEE}),
         3,
         2,
         {0, 255, 85, 85, 255, 255}},
        {"24-bit bitmap, odd width",
         "b.bmp",
         BitmapFile(24, 3, 1, {}, {10, 20, 30, 0, 0, 255, 3, 3, 3, 0xEE, 0xEE, 0xEE}),
         3,
         1,
         {20, 85, 3}},
        {"32-bit bitmap: the fourth byte is ignored",
         "b.bmp",
         BitmapFile(32, 1, -2, {}, {10, 20, 30, 0xFF, 90, 90, 90, 0}),
         1,
         2,
         {20, 90}},
        {"gray JPEG", "c.jpg", Jpeg(Repeat({77}, 64), 8, 8, 1), 8, 8, Repeat({77}, 64)},
        {"colour JPEG", "c.JPG", Jpeg(Repeat({10, 20, 30}, 64), 8, 8, 3), 8, 8, Repeat({20}, 64),
         1},
    };
    testsupport::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto path = dir / c.file;
        testsupport::WriteFileBytes(path, c.bytes);
        services::PrintImage image;
        ASSERT_EQ(services::LoadPrintImage(path, image), std::vector<std::string>{});
        ASSERT_EQ(image.Width(), c.width);
        ASSERT_EQ(image.Height(), c.height);
        const Bytes gray = Prepared(image);
        ASSERT_EQ(gray.size(), c.gray.size());
        for (std::size_t i = 0; i < gray.size(); ++i)
            EXPECT_NEAR(gray[i], c.gray[i], c.tolerance) << "pixel " << i;
    }
}

TEST(PrintImage, RefusesWhatItCannotPrintWithOneReason) {
    Dicom base{.pixels = {1, 2, 3, 4}};
    Dicom oneBit = base;
    oneBit.bits = 1;
    Dicom shortValue = base;
    shortValue.pixels = {1, 2, 3};
    Dicom noRows = base;
    noRows.rows = 0;
    DataSetBuilder encapsulated(true, false);
    encapsulated.US(0x0028, 0x0010, 1).US(0x0028, 0x0011, 1).US(0x0028, 0x0100, 8);
    encapsulated.Undefined(0x7FE0, 0x0010, "OB").Item(0).ItemWithValue({1, 2}).SequenceEnd();
    DataSetBuilder noPixels(true, false);
    noPixels.US(0x0028, 0x0010, 1).US(0x0028, 0x0011, 1).US(0x0028, 0x0100, 8);
    const Bytes bitmap = BitmapFile(8, 4, 4, {0}, Bytes(16, 0));
    const Bytes jpeg = Jpeg(Repeat({77}, 64), 8, 8, 1);
    struct Case {
        const char* name;
        const char* file;
        Bytes bytes;
        std::vector<std::string> lines;  // the file name stands for itself
    };
    const std::string dicom = "ERROR: opening DICOM File";
    const Case cases[] = {
        {"1 bit allocated",
         "x.dcm",
         oneBit.File(),
         {dicom, "@: Bits Allocated 1: only 8- and 16-bit images can be printed"}},
        {"pixel data one byte short",
         "x.dcm",
         shortValue.File(),
         {dicom, "@: pixel data of 3 bytes; the 2 x 2 image needs 4"}},
        {"no rows", "x.dcm", noRows.File(), {dicom, "@: image size 2 x 0 (Columns x Rows)"}},
        {"compressed",
         "x.dcm",
         testsupport::Part10File("1.2.840.10008.1.2.4.70", encapsulated.Bytes()),
         {dicom, "@: compressed pixel data (transfer syntax 1.2.840.10008.1.2.4.70)"}},
        {"no pixel data",
         "x.dcm",
         testsupport::Part10File(EXPLICIT_LE, noPixels.Bytes()),
         {dicom, "@: no pixel data"}},
        {"a JPEG named in mixed case is read as DICOM",
         "x.Jpg",
         jpeg,
         {dicom, "@: not a readable DICOM Part 10 file"}},
        {"a bitmap cut short",
         "x.bmp",
         Bytes(bitmap.begin(), bitmap.end() - 1),
         {"ERROR: opening Bitmap File: @: the bitmap file holds fewer pixels than its 4 x 4 "
          "header says"}},
        {"a JPEG cut short",
         "x.jpg",
         Bytes(jpeg.begin(), jpeg.end() - 6),
         {"ERROR: opening JPEG File: @: Premature end of JPEG file"}},
        {"not a JPEG at all",
         "x.jpg",
         Bytes{'n', 'o'},
         {"ERROR: opening JPEG File: @: Not a JPEG file: starts with 0x6e 0x6f"}},
    };
    testsupport::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto path = dir / c.file;
        testsupport::WriteFileBytes(path, c.bytes);
        std::vector<std::string> expected = c.lines;
        for (std::string& line : expected)
            if (const auto at = line.find('@'); at != std::string::npos)
                line.replace(at, 1, path.string());
        services::PrintImage image;
        EXPECT_EQ(services::LoadPrintImage(path, image), expected);
    }
}

TEST(PrintImage, PreviewIsTheSentGrayImageAsAnEightBitBitmapOthersRead) {
    testsupport::TempDir dir;
    const Dicom image{.rows = 3, .columns = 3, .pixels = {0, 1, 2, 3, 4, 5, 6, 7, 8}};
    testsupport::WriteFileBytes(dir / "a.dcm", image.File());
    ASSERT_EQ(services::WritePrintPreview(dir / "a.dcm", dir / "p.bmp"),
              std::vector<std::string>{});
    const Bytes file = testsupport::ReadFileBytes(dir / "p.bmp");
    ASSERT_EQ(file.size(), 14u + 40 + 1024 + 3 * 4);
    EXPECT_EQ(file[28], 8);  // bits per pixel
    EXPECT_EQ(Bytes(file.begin() + 54 + 4 * 200, file.begin() + 54 + 4 * 201),
              (Bytes{200, 200, 200, 0}));                               // gray palette
    EXPECT_EQ(Bytes(file.end() - 4, file.end()), (Bytes{0, 1, 2, 0}));  // top row last
    if (!testsupport::ToolAvailable("convert")) GTEST_SKIP() << "ImageMagick is not installed";
    const auto raw = dir / "p.gray";
    ASSERT_EQ(testsupport::RunCommand(
                  {"convert", (dir / "p.bmp").string(), "-depth", "8", "gray:" + raw.string()})
                  .exitCode,
              0);
    EXPECT_EQ(testsupport::ReadFileBytes(raw), image.pixels);
}
