// JPEG thumbnails of the first frame of uncompressed images: grayscale images windowed to 8 bits
// with bilinear resampling, RGB images resampled by nearest neighbour. The first source row and
// column and the last thumbnail row and column stay black, as thumbnails have always looked.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>
#include <vector>

#include "data/ElementList.h"

namespace dicomlib::imaging {

enum class ThumbnailStatus {
    Written = 0,
    CannotRead = -1,         // not readable as a Part 10 file
    UnsupportedSyntax = -2,  // pixel data that cannot be decoded (unknown syntax, bad stream)
    NoPixelData = -3,        // no pixel data, or less than one frame of it
    UnsupportedImage = -4,   // bits allocated other than 8 or 16, 16-bit RGB, other colour
    BadWidth = -5,           // below 1, or a thumbnail without rows or beyond JPEG's size
    CannotWrite = -6,        // the JPEG file cannot be written
};

// What a status means, in words: "no pixel data, or less than one frame of it".
std::string_view ThumbnailStatusText(ThumbnailStatus status);

struct ThumbnailImage {
    uint32_t width = 0;
    uint32_t height = 0;
    int components = 1;           // 1 grayscale, 3 red, green, blue
    std::vector<uint8_t> pixels;  // top row first
};

// Draws the thumbnail of a data set (little endian, native pixel data) that is width wide.
ThumbnailStatus DrawThumbnail(const ElementList& dataSet, int32_t width, ThumbnailImage& image);

// Where CreateThumbnail writes: the output path with its extension replaced by ".jpg".
std::filesystem::path ThumbnailFileName(const std::filesystem::path& outputPath);

// Reads the file, draws its thumbnail and writes it as a quality 60 baseline JPEG under a
// temporary name, then renames it into place: a failure leaves no file behind.
ThumbnailStatus CreateThumbnail(const std::filesystem::path& outputPath,
                                const std::filesystem::path& dicomPath, int32_t width);

}  // namespace dicomlib::imaging
