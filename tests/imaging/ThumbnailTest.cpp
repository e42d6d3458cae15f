// Thumbnails drawn from small data sets whose every output pixel is known, the refusals, and
// the files CreateThumbnail and tessaly-cli leave (or do not leave) behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "data/Datadec.h"
#include "imaging/BaselineJpeg.h"
#include "imaging/Thumbnail.h"
#include "support/DataSetBuilder.h"
#include "support/TestSupport.h"

using dicomlib::imaging::DrawThumbnail;
using dicomlib::imaging::ThumbnailImage;
using dicomlib::imaging::ThumbnailStatus;
using testsupport::DataSetBuilder;
using Bytes = std::vector<uint8_t>;

namespace {

struct Source {
    uint16_t rows = 8, columns = 8, bits = 8;
    std::string photometric = "MONOCHROME2";
    Bytes pixels;  // as encoded
    Bytes extra;   // elements between the image attributes and the pixel data
};

// One frame whose rows are split evenly among the values, top to bottom.
Bytes Samples(const Source& s, std::initializer_list<int> values) {
    Bytes out;
    const std::size_t perValue = std::size_t{s.rows} * s.columns / values.size();
    for (int v : values) {
        for (std::size_t i = 0; i < perValue; ++i) {
            out.push_back(static_cast<uint8_t>(v));
            if (s.bits == 16) out.push_back(static_cast<uint8_t>(v >> 8));
        }
    }
    return out;
}

Bytes Encoded(const Source& s) {
    DataSetBuilder b(true, false);
    b.Element(0x0028, 0x0004, "CS", testsupport::PaddedText(s.photometric, ' '))
        .US(0x0028, 0x0010, s.rows)
        .US(0x0028, 0x0011, s.columns)
        .US(0x0028, 0x0100, s.bits)
        .Raw(s.extra)
        .Element(0x7FE0, 0x0010, s.bits == 16 ? "OW" : "OB", s.pixels);
    return b.Bytes();
}

ThumbnailStatus Draw(const Source& s, int32_t width, ThumbnailImage& image) {
    ElementList list;
    EXPECT_TRUE(dicomlib::data::ReadDataSetBytes({1, 0, 0}, Encoded(s), list));
    return DrawThumbnail(list, width, image);
}

// The pixel at row y, column x (its first component).
int At(const ThumbnailImage& image, uint32_t y, uint32_t x) {
    return image.pixels.at((std::size_t{y} * image.width + x) * image.components);
}

Bytes Text(uint16_t group, uint16_t element, const char* vr, const std::string& text) {
    return DataSetBuilder(true, false)
        .Element(group, element, vr, testsupport::PaddedText(text, ' '))
        .Bytes();
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace

TEST(Thumbnail, WindowsAndResamplesTheFirstFrameWithBlackEdges) {
    struct Case {
        const char* name;
        Source source;
        int top, bottom;  // the expected upper and lower half of the interior
    };
    const auto source = [](uint16_t bits, std::initializer_list<int> values, Bytes extra = {},
                           std::string photometric = "MONOCHROME2") {
        Source s;
        s.bits = bits;
        s.photometric = photometric;
        s.extra = extra;
        s.pixels = Samples(s, values);
        return s;
    };
    const Bytes window =
        Concat({Text(0x0028, 0x1050, "DS", "40000"), Text(0x0028, 0x1051, "DS", "100")});
    Source frames = source(8, {10, 20}, Text(0x0028, 0x0008, "IS", "2"));
    frames.pixels = Concat({frames.pixels, Bytes(64, 200)});
    // An icon image in its sequence, the first pixel data in the file, is not the image.
    Source icon = source(8, {0, 127});
    icon.extra = DataSetBuilder(true, false)
                     .Undefined(0x0088, 0x0200, "SQ")
                     .Item()
                     .US(0x0028, 0x0010, 2)
                     .US(0x0028, 0x0011, 2)
                     .US(0x0028, 0x0100, 8)
                     .Element(0x7FE0, 0x0010, "OB", {255, 255, 255, 255})
                     .ItemEnd()
                     .SequenceEnd()
                     .Bytes();
    const std::vector<Case> cases = {
        // 8-bit: center 127 whatever the file says, width 255.
        {"8-bit", source(8, {0, 127}, Text(0x0028, 0x1050, "DS", "40")), 0, 127},
        {"8-bit bright", source(8, {255, 200}), 255, 200},
        {"MONOCHROME1", source(8, {0, 255}, {}, "MONOCHROME1"), 254, 0},
        {"unsigned above 32767", source(16, {40000, 39950}, window), 127, 0},
        {"signed",
         source(16, {-100, -95},
                Concat({Text(0x0028, 0x1050, "DS", "-100.7"), Text(0x0028, 0x1051, "DS", "10"),
                        DataSetBuilder(true, false).US(0x0028, 0x0103, 1).Bytes()})),
         127, 254},
        // Without a window, 16-bit images span their own range.
        {"own range", source(16, {1000, 3000}), 0, 254},
        {"rescaled beyond 16 bits",
         source(16, {60000, 59990},
                Concat({Text(0x0028, 0x1050, "DS", "70000"), Text(0x0028, 0x1051, "DS", "20"),
                        Text(0x0028, 0x1052, "DS", "10000"), Text(0x0028, 0x1053, "DS", "1")})),
         127, 0},
        {"first of two frames", frames, 10, 20},
        {"icon", icon, 0, 127},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ThumbnailImage image;
        ASSERT_EQ(Draw(c.source, 8, image), ThumbnailStatus::Written);
        ASSERT_EQ(image.width, 8u);
        ASSERT_EQ(image.height, 8u);
        for (uint32_t i = 0; i < 8; ++i) {
            EXPECT_EQ(At(image, 0, i) + At(image, i, 0) + At(image, 7, i) + At(image, i, 7), 0);
        }
        EXPECT_EQ(At(image, 1, 1), c.top);
        EXPECT_EQ(At(image, 2, 2), c.top);
        EXPECT_EQ(At(image, 6, 6), c.bottom);
    }

    // RGB by nearest neighbour, interleaved and planar.
    Source rgb;
    rgb.photometric = "RGB";
    for (int p = 0; p < 64; ++p)
        rgb.pixels.insert(rgb.pixels.end(), {10, 20, 30});
    ThumbnailImage image;
    ASSERT_EQ(Draw(rgb, 16, image), ThumbnailStatus::Written);
    EXPECT_EQ(Bytes(image.pixels.begin() + (16 * 3 + 3) * 3, image.pixels.begin() + 52 * 3),
              Bytes({10, 20, 30}));
    rgb.extra = DataSetBuilder(true, false).US(0x0028, 0x0006, 1).Bytes();
    rgb.pixels = Concat({Bytes(64, 10), Bytes(64, 20), Bytes(64, 30)});
    ASSERT_EQ(Draw(rgb, 8, image), ThumbnailStatus::Written);
    EXPECT_EQ(Bytes(image.pixels.begin() + 27, image.pixels.begin() + 30), Bytes({10, 20, 30}));
    EXPECT_EQ(Bytes(image.pixels.begin(), image.pixels.begin() + 3), Bytes({0, 0, 0}));

    // Heights follow the rows, truncated.
    Source ct;
    ct.rows = ct.columns = 512;
    ct.bits = 16;
    ct.pixels.assign(512 * 512 * 2, 0);
    for (const auto& [width, height] : {std::pair{128u, 128u}, {100u, 100u}}) {
        ASSERT_EQ(Draw(ct, static_cast<int32_t>(width), image), ThumbnailStatus::Written);
        EXPECT_EQ(image.height, height);
    }
    ct.rows = 300;
    ct.pixels.resize(300 * 512 * 2 + 1);  // an odd pad byte is no harm
    ASSERT_EQ(Draw(ct, 100, image), ThumbnailStatus::Written);
    EXPECT_EQ(image.height, 58u);
}

TEST(Thumbnail, RefusesWhatItCannotDrawAndLeavesNoFile) {
    ThumbnailImage image;
    Source s;
    s.pixels = Bytes(64, 1);
    const auto drawn = [&](Source changed, int32_t width = 8) {
        return Draw(changed, width, image);
    };
    Source twelve = s, rgb16 = s, shortData = s, colour = s, wide = s;
    twelve.bits = 12;
    rgb16.bits = 16;
    rgb16.photometric = "RGB";
    rgb16.pixels = Bytes(8 * 8 * 6, 1);
    shortData.pixels.resize(62);
    colour.extra = DataSetBuilder(true, false).US(0x0028, 0x0002, 3).Bytes();
    colour.photometric = "YBR_FULL";
    wide.columns = 64;
    wide.rows = 1;
    EXPECT_EQ(drawn(twelve), ThumbnailStatus::UnsupportedImage);
    EXPECT_EQ(drawn(rgb16), ThumbnailStatus::UnsupportedImage);
    EXPECT_EQ(drawn(colour), ThumbnailStatus::UnsupportedImage);
    EXPECT_EQ(drawn(shortData), ThumbnailStatus::NoPixelData);
    EXPECT_EQ(drawn(s, 0), ThumbnailStatus::BadWidth);
    EXPECT_EQ(drawn(wide, 32), ThumbnailStatus::BadWidth);  // no rows
    EXPECT_EQ(drawn(s, 65501), ThumbnailStatus::BadWidth);

    testsupport::TempDir dir;
    const auto file = [&](const char* name, const char* syntax, bool bigEndian) {
        const Bytes body = DataSetBuilder(true, bigEndian)
                               .Text(0x0028, 0x0004, "CS", "MONOCHROME2 ")
                               .US(0x0028, 0x0010, 8)
                               .US(0x0028, 0x0011, 8)
                               .US(0x0028, 0x0100, 8)
                               .Element(0x7FE0, 0x0010, "OB", Bytes(64, 1))
                               .Bytes();
        testsupport::WriteFileBytes(dir / name, testsupport::Part10File(syntax, body));
        return (dir / name).string();
    };
    const std::string good = file("good.dcm", "1.2.840.10008.1.2.1", false);
    const std::string big = file("big.dcm", "1.2.840.10008.1.2.2", true);
    const std::string lossless = file("ll.dcm", "1.2.840.10008.1.2.4.70", false);
    using dicomlib::imaging::CreateThumbnail;
    EXPECT_EQ(CreateThumbnail(dir / "a", big, 8), ThumbnailStatus::UnsupportedSyntax);
    EXPECT_EQ(CreateThumbnail(dir / "a", lossless, 8), ThumbnailStatus::UnsupportedSyntax);
    EXPECT_EQ(CreateThumbnail(dir / "a", dir / "none", 8), ThumbnailStatus::CannotRead);
    EXPECT_EQ(CreateThumbnail(dir / "no" / "a", good, 8), ThumbnailStatus::CannotWrite);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 3);

    ASSERT_EQ(CreateThumbnail(dir / "out.png", good, 8), ThumbnailStatus::Written);
    dicomlib::imaging::RgbImage decoded;
    const Bytes jpeg = testsupport::ReadFileBytes(dir / "out.jpg");
    EXPECT_EQ(dicomlib::imaging::DecodeJpegToRgb(jpeg, decoded).decoded,
              dicomlib::imaging::BaselineJpegDecoded::Image);
    EXPECT_EQ(decoded.width, 8u);
    EXPECT_EQ(decoded.height, 8u);

    // The command line: one line on standard error and no file for a refusal; a folder of
    // thumbnails for a folder.
    const auto cli = [](std::vector<std::string> args) {
        args.insert(args.begin(), testsupport::CliPath());
        return testsupport::RunCommand(args);
    };
    auto refused = cli({"thumbnail", big, (dir / "t.jpg").string()});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.errors, big +
                                  ": big endian or compressed pixel data; thumbnails are made "
                                  "of uncompressed little endian images\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "t.jpg"));
    EXPECT_EQ(cli({"thumbnail", good, "t.jpg", "--width", "0"}).exitCode, 2);
    auto made = cli({"thumbnail", dir.Path().string(), (dir / "thumbs").string(), "--width", "4"});
    EXPECT_EQ(made.exitCode, 1);  // the big endian and lossless files
    EXPECT_EQ(made.output, (dir / "thumbs/good.jpg").string() + "\n");
    EXPECT_EQ(std::count(made.errors.begin(), made.errors.end(), '\n'), 2) << made.errors;
}
