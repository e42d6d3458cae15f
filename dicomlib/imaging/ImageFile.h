// Picture files in and out of a Bitmap: Windows bitmap files read (1, 4, 8, 16, 24 and 32 bits
// per pixel, bottom-up or top-down, uncompressed or with bit-field masks) and written (8 bits
// with their palette, 24 and 32 bits, uncompressed, bottom-up), and JPEG files read through
// libjpeg. A damaged file is an error text, never the end of the process.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "imaging/Bitmap.h"

namespace dicomlib::imaging {

// Decodes a bitmap file's bytes: 1, 4 and 8 bits per pixel give an indexed bitmap whose palette
// holds the file's entries (black for the entries it lacks); 16 and 24 bits give 24 bits per
// pixel; 32 bits give 32. False with the reason in error.
bool DecodeBitmapFile(std::span<const uint8_t> bytes, Bitmap& bitmap, std::string& error);
bool ReadBitmapFile(const std::filesystem::path& path, Bitmap& bitmap, std::string& error);

// The file as written: an indexed bitmap with all 256 palette entries.
std::vector<uint8_t> EncodeBitmapFile(const Bitmap& bitmap);
bool WriteBitmapFile(const std::filesystem::path& path, const Bitmap& bitmap, std::string& error);

// Decodes a JPEG file (gray or colour) into a 24-bit bitmap. A file that libjpeg reads only with
// a warning (cut short, corrupt data) is refused too: its missing part would print as gray.
bool ReadJpegFile(const std::filesystem::path& path, Bitmap& bitmap, std::string& error);

}  // namespace dicomlib::imaging
