#include "imaging/BaselineJpeg.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/ImageFiles.h"

namespace {

using dicomlib::imaging::BaselineJpegDecoded;
using dicomlib::imaging::DecodeBaselineJpeg;
using dicomlib::imaging::DecodeJpegToRgb;
using dicomlib::imaging::RgbImage;
using testsupport::JpegBytes;
using Bytes = std::vector<uint8_t>;

Bytes ColourImage(uint32_t width, uint32_t height) {
    Bytes rgb;
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            rgb.push_back(static_cast<uint8_t>(x * 12));
            rgb.push_back(static_cast<uint8_t>(y * 20));
            rgb.push_back(static_cast<uint8_t>(200 - x * 4 - y * 4));
        }
    }
    return rgb;
}

int MaxDifference(const Bytes& a, const Bytes& b) {
    int worst = 0;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i)
        worst = std::max(worst, std::abs(a[i] - b[i]));
    return worst;
}

TEST(BaselineJpeg, ColourImagesGiveRedGreenBlueTopRowFirst) {
    const Bytes rgb = ColourImage(16, 10);
    const Bytes stream = JpegBytes(rgb, 16, 10, 3);
    Bytes out(rgb.size() + 4, 0xAA);
    const auto result = DecodeBaselineJpeg(stream, out, 10, 16, true);
    EXPECT_EQ(result.decoded, BaselineJpegDecoded::Image) << result.detail;
    EXPECT_LE(MaxDifference(Bytes(out.begin(), out.end() - 4), rgb), 3);
    EXPECT_EQ(Bytes(out.end() - 4, out.end()), Bytes(4, 0xAA));

    RgbImage image;
    EXPECT_EQ(DecodeJpegToRgb(stream, image).decoded, BaselineJpegDecoded::Image);
    EXPECT_EQ(image.width, 16u);
    EXPECT_EQ(image.height, 10u);
    EXPECT_EQ(image.pixels, Bytes(out.begin(), out.end() - 4));
}

TEST(BaselineJpeg, MonochromeIsTheMeanOfTheThreeChannels) {
    // A colour JPEG read as monochrome: (red + green + blue) / 3 of the decoded image.
    const Bytes colour = JpegBytes(ColourImage(9, 7), 9, 7, 3);
    RgbImage decoded;
    ASSERT_EQ(DecodeJpegToRgb(colour, decoded).decoded, BaselineJpegDecoded::Image);
    Bytes mean;
    for (std::size_t i = 0; i < decoded.pixels.size(); i += 3) {
        mean.push_back(static_cast<uint8_t>(
            (decoded.pixels[i] + decoded.pixels[i + 1] + decoded.pixels[i + 2]) / 3));
    }
    Bytes out(9 * 7);
    EXPECT_EQ(DecodeBaselineJpeg(colour, out, 7, 9, false).decoded, BaselineJpegDecoded::Image);
    EXPECT_EQ(out, mean);

    // A one-component JPEG: the gray values themselves.
    Bytes gray;
    for (int i = 0; i < 11 * 5; ++i)
        gray.push_back(static_cast<uint8_t>(i * 4));
    const Bytes grayStream = JpegBytes(gray, 11, 5, 1);
    Bytes grayOut(gray.size());
    EXPECT_EQ(DecodeBaselineJpeg(grayStream, grayOut, 5, 11, false).decoded,
              BaselineJpegDecoded::Image);
    EXPECT_LE(MaxDifference(grayOut, gray), 2);
    // ... and as colour, the gray value three times.
    Bytes asColour(gray.size() * 3);
    EXPECT_EQ(DecodeBaselineJpeg(grayStream, asColour, 5, 11, true).decoded,
              BaselineJpegDecoded::Image);
    for (std::size_t i = 0; i < gray.size(); ++i) {
        EXPECT_EQ(asColour[3 * i], grayOut[i]);
        EXPECT_EQ(asColour[3 * i + 2], grayOut[i]);
    }
}

TEST(BaselineJpeg, FailuresAreResultsNotExits) {
    const Bytes stream = JpegBytes(ColourImage(16, 16), 16, 16, 3);
    Bytes out(16 * 16 * 3, 0xAA);
    const Bytes untouched = out;

    auto nothing = [&](const Bytes& s, uint32_t rows, uint32_t columns, std::size_t size) {
        Bytes buffer(size, 0xAA);
        const auto result = DecodeBaselineJpeg(s, buffer, rows, columns, true);
        EXPECT_EQ(result.decoded, BaselineJpegDecoded::Nothing);
        EXPECT_FALSE(result.detail.empty());
        EXPECT_EQ(buffer, Bytes(size, 0xAA));
        return result.detail;
    };
    nothing({}, 16, 16, out.size());
    nothing({0x12, 0x34, 0x56}, 16, 16, out.size());
    nothing(Bytes(stream.begin(), stream.begin() + 20), 16, 16, out.size());
    EXPECT_EQ(nothing(stream, 16, 17, 16 * 17 * 3),
              "JPEG image is 16 x 16, the pixel data 17 x 16");
    nothing(stream, 16, 16, out.size() - 1);

    // Cut inside the image data: every row written, the damage reported.
    const Bytes cut(stream.begin(), stream.end() - 30);
    const auto damaged = DecodeBaselineJpeg(cut, out, 16, 16, true);
    EXPECT_EQ(damaged.decoded, BaselineJpegDecoded::Damaged);
    EXPECT_NE(damaged.detail.find("Premature end"), std::string::npos) << damaged.detail;
}

}  // namespace
