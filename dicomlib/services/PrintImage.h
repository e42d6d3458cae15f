// The image a film carries: the user's file turned into a bitmap (a Part 10 image rendered to
// 8-bit gray with its rescale and window values, a JPEG or Windows bitmap file loaded as it is),
// reduced to one gray byte per pixel and wrapped into the image pixel elements of the image box.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "data/ElementList.h"
#include "imaging/Bitmap.h"

namespace dicomlib::services {

using PrintImage = imaging::Bitmap;

// The largest number of rows or columns an image box takes (they travel as US values).
constexpr uint32_t MAX_PRINT_SIZE = 65535;

enum class ImageFileKind { Dicom, Jpeg, Bitmap };

// By the file name's extension, case as written: ".jpg" and ".JPG" are JPEG, ".bmp" and ".BMP"
// bitmaps, everything else (".Jpg" and ".jpeg" included) a Part 10 file.
ImageFileKind KindOfImageFile(const std::filesystem::path& file);

// Renders the first frame of a Part 10 file into an 8-bit bitmap with a gray ramp palette:
// stored values (Bits Stored, High Bit and Pixel Representation honoured) rescaled with slope
// and intercept, then windowed: gray = (v - center) x 255 / width + 127 in whole numbers,
// truncated, clamped to 0..255, and inverted for MONOCHROME1. 8-bit images use center 127 and
// width 255; 16-bit ones the file's first Window Center and Width (whole parts; width 0 means
// 100) or, without them, the range of their values. RGB pixels print the mean of their three
// samples, YBR_FULL ones their luminance. Only top-level elements count, read in the file's
// byte order. False with the reason when the file is not native pixel data of 8 or 16 bits
// allocated, 1 or 3 samples and enough bytes for its rows and columns.
bool DicomToPrintBitmap(const std::filesystem::path& file, PrintImage& image, std::string& why);
// The same for a Part 10 file's bytes.
bool DicomBytesToPrintBitmap(std::span<const uint8_t> bytes, PrintImage& image, std::string& why);

// Loads the file by its kind. Empty when loaded; otherwise the log lines that say why: "ERROR:
// opening DICOM File" and the reason on a line of its own, or one "ERROR: opening JPEG File"
// or "ERROR: opening Bitmap File" line with the reason.
std::vector<std::string> LoadPrintImage(const std::filesystem::path& file, PrintImage& image);

// One gray byte per pixel, rows from the top: the palette entry's (red + green + blue) / 3 for
// an indexed bitmap, (b0 + b1 + b2) / 3 of each pixel's first three bytes otherwise. out holds
// width x height bytes.
void BitmapToGray8(const imaging::Bitmap& bitmap, std::span<uint8_t> out);

// Why the image cannot go into an image box (empty, or larger than MAX_PRINT_SIZE in a
// direction); empty when it can.
std::string PrintSizeProblem(const imaging::Bitmap& bitmap);

// Appends Samples per Pixel 1, "MONOCHROME2 ", Rows, Columns, 8 bits allocated and stored, High
// Bit 7, Pixel Representation 0 and the gray bytes as OB Pixel Data, one 0x00 added to an odd
// count. False, with nothing appended, when PrintSizeProblem names a problem.
bool BuildImagePixelItem(const imaging::Bitmap& bitmap, ElementList& list);

// The gray image exactly as the image box would carry it, as an 8-bit bitmap with a gray ramp
// palette. Empty when loaded and written; otherwise the lines that say why.
std::vector<std::string> WritePrintPreview(const std::filesystem::path& imageFile,
                                           const std::filesystem::path& bitmapFile);

}  // namespace dicomlib::services
