// What thumbnails are refused, and the files CreateThumbnail and tessaly-cli leave (or do not
// leave) behind. What they look like is judged against an independent rendering (interop/).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "data/Datadec.h"
#include "imaging/Thumbnail.h"
#include "support/DataSetBuilder.h"
#include "support/TestSupport.h"

using dicomlib::imaging::ThumbnailImage;
using dicomlib::imaging::ThumbnailStatus;
using testsupport::DataSetBuilder;
using Bytes = std::vector<uint8_t>;

namespace {

struct Source {
    uint16_t rows = 8, columns = 8, bits = 8;
    const char* photometric = "MONOCHROME2 ";
    Bytes extra;   // elements between the image attributes and the pixel data
    Bytes pixels;  // as encoded
};

ThumbnailStatus Draw(const Source& s, int32_t width, ThumbnailImage& image) {
    const Bytes encoded = DataSetBuilder(true, false)
                              .Text(0x0028, 0x0004, "CS", s.photometric)
                              .US(0x0028, 0x0010, s.rows)
                              .US(0x0028, 0x0011, s.columns)
                              .US(0x0028, 0x0100, s.bits)
                              .Raw(s.extra)
                              .Element(0x7FE0, 0x0010, s.bits == 16 ? "OW" : "OB", s.pixels)
                              .Bytes();
    ElementList list;
    EXPECT_TRUE(dicomlib::data::ReadDataSetBytes({1, 0, 0}, encoded, list));
    return dicomlib::imaging::DrawThumbnail(list, width, image);
}

}  // namespace

TEST(Thumbnail, RefusesWhatItCannotDrawAndLeavesNoFile) {
    const auto source = [](uint16_t bits, const char* photometric, std::size_t bytes,
                           Bytes extra = {}) {
        Source s;
        s.bits = bits;
        s.photometric = photometric;
        s.pixels = Bytes(bytes, 1);
        s.extra = std::move(extra);
        return s;
    };
    Source wide = source(8, "MONOCHROME2 ", 64);
    wide.rows = 1;
    wide.columns = 64;
    const Bytes threeSamples = DataSetBuilder(true, false).US(0x0028, 0x0002, 3).Bytes();
    const std::vector<std::tuple<Source, int32_t, ThumbnailStatus>> cases = {
        {source(12, "MONOCHROME2 ", 128), 8, ThumbnailStatus::UnsupportedImage},
        {source(16, "RGB ", 384), 8, ThumbnailStatus::UnsupportedImage},
        {source(8, "YBR_FULL", 192, threeSamples), 8, ThumbnailStatus::UnsupportedImage},
        {source(8, "MONOCHROME2 ", 62), 8, ThumbnailStatus::NoPixelData},
        {source(8, "MONOCHROME2 ", 64), 0, ThumbnailStatus::BadWidth},
        {source(8, "MONOCHROME2 ", 64), 65501, ThumbnailStatus::BadWidth},
        {wide, 32, ThumbnailStatus::BadWidth},  // no rows
    };
    for (const auto& [s, width, status] : cases) {
        ThumbnailImage image;
        EXPECT_EQ(Draw(s, width, image), status) << s.bits << " bits, width " << width;
    }

    testsupport::TempDir dir;
    const auto file = [&](const char* name, const char* syntax, bool bigEndian,
                          bool twoFrames = false) {
        Bytes pixels(64, 1);
        if (twoFrames) pixels.insert(pixels.end(), 64, 200);
        const Bytes body = DataSetBuilder(true, bigEndian)
                               .Text(0x0028, 0x0004, "CS", "MONOCHROME2 ")
                               .Text(0x0028, 0x0008, "IS", twoFrames ? "2 " : "1 ")
                               .US(0x0028, 0x0010, 8)
                               .US(0x0028, 0x0011, 8)
                               .US(0x0028, 0x0100, 8)
                               .Element(0x7FE0, 0x0010, "OB", pixels)
                               .Bytes();
        testsupport::WriteFileBytes(dir / name, testsupport::Part10File(syntax, body));
        return (dir / name).string();
    };
    const std::string good = file("good.dcm", "1.2.840.10008.1.2.1", false);
    const std::string big = file("big.dcm", "1.2.840.10008.1.2.2", true);
    const std::string lossless = file("ll.dcm", "1.2.840.10008.1.2.4.70", false);
    using dicomlib::imaging::CreateThumbnail;
    // A lossless JPEG syntax whose pixel data is no stream at all.
    testing::internal::CaptureStderr();  // the lossless JPEG decoder's diagnostics
    EXPECT_EQ(CreateThumbnail(dir / "a", lossless, 8), ThumbnailStatus::UnsupportedSyntax);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(CreateThumbnail(dir / "a", dir / "none", 8), ThumbnailStatus::CannotRead);
    EXPECT_EQ(CreateThumbnail(dir / "no" / "a", good, 8), ThumbnailStatus::CannotWrite);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 3);
    EXPECT_EQ(CreateThumbnail(dir / "out.png", good, 8), ThumbnailStatus::Written);
    EXPECT_TRUE(std::filesystem::exists(dir / "out.jpg"));

    // The command line: one line on standard error and no file for a refusal.
    const auto cli = [](std::vector<std::string> args) {
        args.insert(args.begin(), testsupport::CliPath());
        return testsupport::RunCommand(args);
    };
    auto refused = cli({"thumbnail", lossless, (dir / "t.jpg").string()});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.errors.substr(refused.errors.find(lossless)),
              lossless +
                  ": pixel data that cannot be decoded: a transfer syntax the library does not "
                  "read, or a damaged stream\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "t.jpg"));
    EXPECT_EQ(cli({"thumbnail", good, "t.jpg", "--width", "0"}).exitCode, 2);

    // Big endian and compressed images are decoded first: the same picture, byte for byte; of
    // several frames the first.
    const Bytes expected = testsupport::ReadFileBytes(dir / "out.jpg");
    std::vector<std::string> others = {big, (dir / "frames.dcm").string()};
    ASSERT_EQ(cli({"convert", file("two.dcm", "1.2.840.10008.1.2.1", false, true), others.back(),
                   "--ts", "jpeg-ls"})
                  .exitCode,
              0);
    for (const char* ts : {"rle", "jpeg-ls", "j2k", "htj2k", "htj2k-rpcl", "jpeg-xl"}) {
        others.push_back((dir / (std::string(ts) + ".dcm")).string());
        ASSERT_EQ(cli({"convert", good, others.back(), "--ts", ts}).exitCode, 0) << ts;
    }
    for (const std::string& other : others) {
        EXPECT_EQ(CreateThumbnail(dir / "other.jpg", other, 8), ThumbnailStatus::Written) << other;
        EXPECT_EQ(testsupport::ReadFileBytes(dir / "other.jpg"), expected) << other;
    }
}
