// ecg: draws a waveform object (ECG, hemodynamic or audio waveforms) with the library's
// ECG2Bitmap and writes the picture as a PNG file through Cairo. A refusal leaves no file.
#include <cairo.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "Commands.h"
#include "FrontEnd.h"
#include "Text.h"
#include "zedavura.h"

namespace cli {

extern const Command EcgCommand;

namespace {

// Two columns of six leads, 5 seconds each at 100 pixels per second, with room for the header.
constexpr uint32_t DEFAULT_WIDTH = 1050;
constexpr uint32_t DEFAULT_HEIGHT = 720;
constexpr uint32_t LARGEST_SIDE = 32767;

struct List {
    ElementList* list = NewElementList();
    ~List() { DeleteElementList(list); }
};

bool ParseSide(const std::string& text, uint32_t& side) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != text.npos)
        return false;
    side = static_cast<uint32_t>(std::stoul(text));
    return side >= 1 && side <= LARGEST_SIDE;
}

// Writes a 32-bit bitmap (blue, green, red, unused) as an RGB PNG file.
bool WritePng(const BitmapBuffer& bitmap, const std::string& fileName) {
    cairo_surface_t* surface = cairo_image_surface_create(
        CAIRO_FORMAT_RGB24, static_cast<int>(bitmap.width), static_cast<int>(bitmap.height));
    bool written = false;
    if (cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS) {
        unsigned char* data = cairo_image_surface_get_data(surface);
        const auto stride = static_cast<std::size_t>(cairo_image_surface_get_stride(surface));
        for (uint32_t y = 0; y < bitmap.height; ++y) {
            const uint8_t* in = bitmap.pixels + std::size_t{y} * bitmap.rowBytes;
            unsigned char* out = data + y * stride;
            for (uint32_t x = 0; x < bitmap.width; ++x, in += 4, out += 4) {
                // Cairo's pixel is one native 32-bit word 0x00RRGGBB.
                const uint32_t word = (uint32_t{in[2]} << 16) | (uint32_t{in[1]} << 8) | in[0];
                std::memcpy(out, &word, sizeof word);
            }
        }
        cairo_surface_mark_dirty(surface);
        written = cairo_surface_write_to_png(surface, fileName.c_str()) == CAIRO_STATUS_SUCCESS;
    }
    cairo_surface_destroy(surface);
    return written;
}

int RunEcg(const Args& args) {
    const Command& self = EcgCommand;
    std::vector<std::string> names;
    uint32_t width = DEFAULT_WIDTH, height = DEFAULT_HEIGHT;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--width" || a == "--height") {
            if (i + 1 == args.size()) return UsageError(self);
            if (!ParseSide(args[++i], a == "--width" ? width : height)) {
                std::fprintf(stderr, "tessaly-cli: ecg: %s takes a number from 1 to %u\n",
                             a.c_str(), LARGEST_SIDE);
                return 2;
            }
        } else if (!a.empty() && a[0] != '-' && names.size() < 2) {
            names.push_back(a);
        } else {
            return UsageError(self);
        }
    }
    if (names.size() != 2) return UsageError(self);
    const std::string& file = names[0];
    const std::string& out = names[1];

    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error)) {
        std::fprintf(stderr, "%s: cannot read the file\n", file.c_str());
        return 1;
    }
    List meta, data;
    uint8_t explicitVr = 1;
    if (!DICOMFile(file.c_str(), meta.list, data.list, &explicitVr)) {
        std::fprintf(stderr, "%s: not a DICOM file, or a damaged one\n", file.c_str());
        return 1;
    }
    // The drawing reads little endian values: a big endian data set is turned round first.
    if (BigEndianDataSet(meta.list) && !ConvertTS(data.list, TransferSyntaxByName("explicit")->uid,
                                                  TransferSyntaxOf(meta.list).c_str())) {
        std::fprintf(stderr, "%s: its big endian data set cannot be read\n", file.c_str());
        return 1;
    }
    std::vector<uint8_t> pixels(std::size_t{width} * height * 4);
    BitmapBuffer bitmap = {width, height, 32, width * 4, pixels.data()};
    if (const int32_t drawn = ECG2BitmapStatus(&bitmap, data.list); drawn != ECG_DRAWN) {
        std::fprintf(stderr, "%s: %s\n", file.c_str(), OutcomeWords(OUTCOME_ECG, drawn).c_str());
        return 1;
    }
    if (!WritePng(bitmap, out)) {
        std::filesystem::remove(out, error);
        std::fprintf(stderr, "%s: cannot write the file\n", out.c_str());
        return 1;
    }
    std::printf("ECG written: %s (%u x %u)\n", out.c_str(), width, height);
    return 0;
}

}  // namespace

const Command EcgCommand{"ecg", "ecg FILE OUT.png [--width W] [--height H]", RunEcg};

}  // namespace cli
