#include "support/ImageFiles.h"

#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace testsupport {
namespace {

void PutLe(std::vector<uint8_t>& out, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

std::vector<uint8_t> BitmapFileBytes(const BitmapLayout& s) {
    const uint32_t header = s.core ? 12 : 40;
    const uint32_t entry = s.core ? 3 : 4;
    const auto offset =
        static_cast<uint32_t>(14 + header + 4 * s.masks.size() + entry * s.palette.size());
    std::vector<uint8_t> f = {'B', 'M'};
    PutLe(f, offset + static_cast<uint32_t>(s.rows.size()), 4);  // file size
    PutLe(f, 0, 4);                                              // reserved
    PutLe(f, offset, 4);                                         // where the pixels start
    PutLe(f, header, 4);
    const int size = s.core ? 2 : 4;
    PutLe(f, static_cast<uint32_t>(s.width), size);
    PutLe(f, static_cast<uint32_t>(s.height), size);
    PutLe(f, 1, 2);  // planes
    PutLe(f, static_cast<uint32_t>(s.bits), 2);
    if (!s.core) {
        PutLe(f, s.compression, 4);
        PutLe(f, static_cast<uint32_t>(s.rows.size()), 4);
        PutLe(f, 0, 4);  // resolution
        PutLe(f, 0, 4);
        PutLe(f, static_cast<uint32_t>(s.palette.size()), 4);
        PutLe(f, 0, 4);  // important colours
    }
    for (uint32_t mask : s.masks)
        PutLe(f, mask, 4);
    for (uint32_t rgb : s.palette)
        PutLe(f, rgb, static_cast<int>(entry));  // blue, green, red (, 0)
    f.insert(f.end(), s.rows.begin(), s.rows.end());
    return f;
}

std::vector<uint8_t> JpegBytes(const std::vector<uint8_t>& pixels, uint32_t width, uint32_t height,
                               int components) {
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
    if (components == 3) info.comp_info[0].h_samp_factor = info.comp_info[0].v_samp_factor = 1;
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < height) {
        JSAMPROW row[1] = {const_cast<uint8_t*>(pixels.data()) +
                           std::size_t{info.next_scanline} * width *
                               static_cast<std::size_t>(components)};
        jpeg_write_scanlines(&info, row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::vector<uint8_t> out(buffer, buffer + size);
    std::free(buffer);
    return out;
}

}  // namespace testsupport
