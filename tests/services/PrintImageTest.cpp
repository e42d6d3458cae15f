#include "services/PrintImage.h"

#include <gtest/gtest.h>

#include <optional>

#include "data/Part10File.h"
#include "support/DataSetBuilder.h"
#include "support/ImageFiles.h"
#include "support/TestSupport.h"

using namespace dicomlib;
using testsupport::DataSetBuilder;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr char EXPLICIT_LE[] = "1.2.840.10008.1.2.1";
constexpr char EXPLICIT_BE[] = "1.2.840.10008.1.2.2";

// A Part 10 image written field by field, its settings chained.
struct Dicom {
    uint16_t rows = 2, columns = 2, bits = 8, pixelRepresentation = 0, samples = 1;
    std::string photometric = "MONOCHROME2 ";
    std::optional<uint16_t> planar, bitsStored;
    std::vector<std::pair<uint16_t, std::string>> texts;  // (0028,xxxx) DS values
    Bytes pixels;
    bool bigEndian = false, withIcon = false;

    Dicom& Size(uint16_t c, uint16_t r) { return columns = c, rows = r, *this; }
    Dicom& Sixteen(bool isSigned) { return bits = 16, pixelRepresentation = isSigned, *this; }
    Dicom& Signed() { return pixelRepresentation = 1, *this; }
    Dicom& Photometric(std::string p, uint16_t n) { return photometric = p, samples = n, *this; }
    Dicom& Window(const char* center, const char* width) {
        texts.push_back({0x1050, center});
        texts.push_back({0x1051, width});
        return *this;
    }
    Dicom& Rescale(const char* intercept) {
        texts.push_back({0x1052, intercept});
        texts.push_back({0x1053, "1 "});
        return *this;
    }
    Dicom& Pixels(Bytes p) { return pixels = std::move(p), *this; }

    // An icon image (1 x 1) in a sequence before the pixel data, when withIcon.
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

Bytes Repeat(Bytes pattern, int times) {
    Bytes out;
    for (int i = 0; i < times; ++i)
        out.insert(out.end(), pattern.begin(), pattern.end());
    return out;
}

}  // namespace

TEST(PrintImage, PreparesEveryKindOfImageAsItsExpectedGrayBytes) {
    testsupport::TempDir dir;
    const auto expect = [&](const char* name, const char* file, const Bytes& bytes, uint32_t width,
                            uint32_t height, const Bytes& gray, int tolerance = 0) {
        SCOPED_TRACE(name);
        testsupport::WriteFileBytes(dir / file, bytes);
        services::PrintImage image;
        ASSERT_EQ(services::LoadPrintImage(dir / file, image), std::vector<std::string>{});
        ASSERT_EQ(image.Width(), width);
        ASSERT_EQ(image.Height(), height);
        Bytes got(gray.size());
        services::BitmapToGray8(image, got);
        for (std::size_t i = 0; i < gray.size(); ++i)
            EXPECT_NEAR(got[i], gray[i], tolerance) << "pixel " << i;
    };
    // 8 bits: the stored values, as the fixed window 127/255 is the identity.
    expect("8-bit, window in the file ignored", "a.dcm",
           Dicom().Window("10", "20").Pixels({0, 100, 200, 255}).File(), 2, 2, {0, 100, 200, 255});
    expect("8-bit signed", "a.dcm", Dicom().Signed().Pixels({0x80, 0xFF, 0x00, 0x7F}).File(), 2, 2,
           {0, 0, 0, 127});
    expect("8-bit MONOCHROME1 is inverted", "a.dcm",
           Dicom().Size(2, 1).Photometric("MONOCHROME1 ", 1).Pixels({0, 255}).File(), 2, 1,
           {255, 0});
    // Center 40, width 400 after the rescale: -160 -> 0, 40 -> 127, 240 -> 254; 40000 stays far
    // above the window instead of wrapping to a negative value.
    expect("16-bit unsigned, rescaled and windowed", "a.dcm",
           Dicom()
               .Sixteen(false)
               .Window("40", "400")
               .Rescale("-1024 ")
               .Pixels(Words({864, 1064, 1264, 40000}))
               .File(),
           2, 2, {0, 127, 254, 255});
    Dicom signedImage = Dicom().Sixteen(true).Window("40.7\\100", "400.9");
    expect("16-bit signed, first window value, whole part", "a.dcm",
           signedImage.Pixels(Words({-160, 40, 240, -32768})).File(), 2, 2, {0, 127, 254, 0});
    // Compressed pixel data is decoded first.
    for (const char* syntax : {"1.2.840.10008.1.2.4.80", "1.2.840.10008.1.2.4.110",
                               "1.2.840.10008.1.2.4.201", "1.2.840.10008.1.2.4.202"}) {
        ASSERT_EQ(data::ConvertFile(dir / "c.dcm", dir / "a.dcm", syntax),
                  data::FileConvertStatus::Converted);
        expect(syntax, "c.dcm", testsupport::ReadFileBytes(dir / "c.dcm"), 2, 2, {0, 127, 254, 0});
    }
    signedImage.bigEndian = true;
    expect("16-bit big endian", "a.dcm",
           signedImage.Pixels(Words({-160, 40, 240, -32768}, true)).File(), 2, 2, {0, 127, 254, 0});
    expect("16-bit window width 0 means 100", "a.dcm",
           Dicom().Sixteen(true).Window("0", "0").Pixels(Words({-50, 0, 50, 10})).File(), 2, 2,
           {0, 127, 254, 152});
    expect("16-bit without a window spans its values", "a.dcm",
           Dicom().Sixteen(false).Pixels(Words({0, 1000, 500, 250})).File(), 2, 2,
           {0, 254, 127, 64});
    Dicom twelve = Dicom().Sixteen(true).Window("0", "2");
    twelve.bitsStored = 12;
    expect("12 bits stored, signed, with bits above them set", "a.dcm",
           twelve.Pixels(Words({0xFFFF, 0xF000, 0x0001, 0x7000})).File(), 2, 2, {0, 127, 254, 127});
    Dicom rgb = Dicom().Size(2, 1).Photometric("RGB ", 3);
    expect("RGB: the mean of the samples", "a.dcm", rgb.Pixels({10, 20, 30, 255, 0, 0}).File(), 2,
           1, {20, 85});
    rgb.planar = 1;
    expect("RGB in planes", "a.dcm", rgb.Pixels({10, 255, 20, 0, 30, 0}).File(), 2, 1, {20, 85});
    Dicom withIcon = Dicom().Size(2, 1).Pixels({7, 9, 1, 1});
    withIcon.withIcon = true;
    expect("an icon image does not replace the image; a second frame is left", "image",
           withIcon.File(), 2, 1, {7, 9});
    // Bitmaps: rows padded to 4 bytes, bottom row first unless the height is negative; a palette
    // of two entries leaves index 2 black.
    const Bytes rows = {2, 1, 0, 0xEE, 0, 1, 1, 0xEE};
    expect("8-bit bitmap, odd width, short palette", "b.bmp",
           BitmapFile(8, 3, 2, {0x0000FF, 0xFFFFFF}, rows), 3, 2, {85, 255, 255, 0, 255, 85});
    expect("8-bit bitmap, top-down", "b.BMP", BitmapFile(8, 3, -2, {0x0000FF, 0xFFFFFF}, rows), 3,
           2, {0, 255, 85, 85, 255, 255});
    expect("24-bit bitmap, odd width", "b.bmp",
           BitmapFile(24, 3, 1, {}, {10, 20, 30, 0, 0, 255, 3, 3, 3, 0xEE, 0xEE, 0xEE}), 3, 1,
           {20, 85, 3});
    expect("32-bit bitmap: the fourth byte is ignored", "b.bmp",
           BitmapFile(32, 1, -2, {}, {10, 20, 30, 0xFF, 90, 90, 90, 0}), 1, 2, {20, 90});
    expect("gray JPEG", "c.jpg", testsupport::JpegBytes(Bytes(64, 77), 8, 8, 1), 8, 8,
           Bytes(64, 77));
    expect("colour JPEG", "c.JPG", testsupport::JpegBytes(Repeat({10, 20, 30}, 64), 8, 8, 3), 8, 8,
           Bytes(64, 20), 1);
}

TEST(PrintImage, RefusesWhatItCannotPrintWithOneReason) {
    testsupport::TempDir dir;
    // "@" in a line stands for the file's name.
    const auto expect = [&](const char* file, const Bytes& bytes, std::vector<std::string> lines) {
        SCOPED_TRACE(lines.back());
        testsupport::WriteFileBytes(dir / file, bytes);
        for (std::string& line : lines)
            if (const auto at = line.find('@'); at != std::string::npos)
                line.replace(at, 1, (dir / file).string());
        services::PrintImage image;
        EXPECT_EQ(services::LoadPrintImage(dir / file, image), lines);
    };
    const std::string dicom = "ERROR: opening DICOM File";
    Dicom oneBit = Dicom().Pixels({1, 2, 3, 4});
    oneBit.bits = 1;
    expect("x.dcm", oneBit.File(),
           {dicom, "@: Bits Allocated 1: only 8- and 16-bit images can be printed"});
    expect("x.dcm", Dicom().Pixels({1, 2, 3}).File(),
           {dicom, "@: pixel data of 3 bytes; the 2 x 2 image needs 4"});
    expect("x.dcm", Dicom().Size(2, 0).Pixels({1, 2}).File(),
           {dicom, "@: image size 2 x 0 (Columns x Rows)"});
    DataSetBuilder b(true, false);
    b.US(0x0028, 0x0010, 1).US(0x0028, 0x0011, 1).US(0x0028, 0x0100, 8);
    expect("x.dcm", testsupport::Part10File(EXPLICIT_LE, b.Bytes()), {dicom, "@: no pixel data"});
    b.Undefined(0x7FE0, 0x0010, "OB").Item(0).ItemWithValue({1, 2}).SequenceEnd();
    testing::internal::CaptureStderr();  // the lossless JPEG decoder's diagnostics
    expect("x.dcm", testsupport::Part10File("1.2.840.10008.1.2.4.70", b.Bytes()),
           {dicom,
            "@: pixel data that cannot be decoded (transfer syntax "
            "1.2.840.10008.1.2.4.70): Not a JPEG file. Found 01 02"});
    testing::internal::GetCapturedStderr();
    const Bytes jpeg = testsupport::JpegBytes(Bytes(64, 77), 8, 8, 1);
    expect("x.Jpg", jpeg, {dicom, "@: not a readable DICOM Part 10 file"});  // mixed case
    expect("x.jpg", Bytes(jpeg.begin(), jpeg.end() - 6),
           {"ERROR: opening JPEG File: @: Premature end of JPEG file"});
    expect("x.bmp", BitmapFile(8, 4, 4, {0}, Bytes(15, 0)),
           {"ERROR: opening Bitmap File: @: the bitmap file holds fewer pixels than its 4 x 4 "
            "header says"});
}
