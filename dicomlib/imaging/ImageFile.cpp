// Windows bitmap files: a 14-byte file header ("BM", file size, two reserved words, offset of
// the pixels), an information header (12 bytes in the old OS/2 form, 40 or more otherwise), the
// bit-field masks and the palette, then rows of pixels, each padded to a multiple of 4 bytes,
// bottom row first unless the height is negative. Every offset and size is checked against the
// file before anything is allocated.
#include "imaging/ImageFile.h"

#include <algorithm>
#include <bit>
#include <fstream>
#include <iterator>

#include "imaging/BaselineJpeg.h"

namespace dicomlib::imaging {
namespace {

constexpr std::size_t FILE_HEADER_SIZE = 14;
constexpr uint32_t CORE_HEADER_SIZE = 12;
constexpr uint32_t INFO_HEADER_SIZE = 40;
constexpr uint32_t BI_RGB = 0;
constexpr uint32_t BI_RLE8 = 1;
constexpr uint32_t BI_RLE4 = 2;
constexpr uint32_t BI_BITFIELDS = 3;
constexpr uint32_t BI_ALPHABITFIELDS = 6;

// A little-endian reader that remembers the first time the bytes ran out.
class Reader {
  public:
    explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    uint16_t U16() {
        if (!Has(2)) return 0;
        const auto v = static_cast<uint16_t>(bytes_[pos_] | (bytes_[pos_ + 1] << 8));
        pos_ += 2;
        return v;
    }
    uint32_t U32() {
        const uint32_t low = U16();
        return low | (uint32_t{U16()} << 16);
    }
    int32_t I32() { return static_cast<int32_t>(U32()); }
    void Seek(std::size_t pos) {
        if (pos > bytes_.size()) failed_ = true;
        pos_ = std::min(pos, bytes_.size());
    }
    std::size_t Position() const { return pos_; }
    bool Ok() const { return !failed_; }

  private:
    bool Has(std::size_t n) {
        if (failed_ || bytes_.size() - pos_ < n) failed_ = true;
        return !failed_;
    }
    std::span<const uint8_t> bytes_;
    std::size_t pos_ = 0;
    bool failed_ = false;
};

struct Header {
    uint32_t pixelOffset = 0;
    uint32_t infoSize = 0;
    int64_t width = 0;
    int64_t height = 0;  // negative: top row first
    uint16_t bitCount = 0;
    uint32_t compression = BI_RGB;
    uint32_t colorsUsed = 0;
    uint32_t masks[3] = {0, 0, 0};  // red, green, blue
};

// One colour channel of a bit-field pixel, scaled to 0..255.
struct Channel {
    uint32_t mask = 0;
    int shift = 0;
    uint32_t maximum = 0;

    explicit Channel(uint32_t m) : mask(m) {
        if (m == 0) return;
        shift = std::countr_zero(m);
        const int bits = std::popcount(m >> shift);
        maximum = bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1;
    }
    uint8_t Of(uint32_t pixel) const {
        if (mask == 0) return 0;
        const uint64_t v = (pixel & mask) >> shift;
        return static_cast<uint8_t>(v * 255 / maximum);
    }
};

std::string ReadHeaders(std::span<const uint8_t> bytes, Header& h) {
    if (bytes.size() < FILE_HEADER_SIZE + CORE_HEADER_SIZE || bytes[0] != 'B' || bytes[1] != 'M')
        return "not a bitmap file (no \"BM\" header)";
    Reader r(bytes);
    r.Seek(10);
    h.pixelOffset = r.U32();
    h.infoSize = r.U32();
    if (h.infoSize == CORE_HEADER_SIZE) {
        h.width = r.U16();
        h.height = r.U16();
        r.U16();  // planes
        h.bitCount = r.U16();
    } else if (h.infoSize >= INFO_HEADER_SIZE) {
        h.width = r.I32();
        h.height = r.I32();
        r.U16();  // planes
        h.bitCount = r.U16();
        h.compression = r.U32();
        r.Seek(r.Position() + 12);  // image size, resolution
        h.colorsUsed = r.U32();
        r.U32();  // colours important
        const bool bitFields = h.compression == BI_BITFIELDS || h.compression == BI_ALPHABITFIELDS;
        // The masks follow a 40-byte header, or are its first fields beyond 40 in longer ones.
        if (bitFields || h.infoSize > INFO_HEADER_SIZE) {
            for (uint32_t& mask : h.masks)
                mask = r.U32();
        }
    } else {
        return "unknown bitmap header size " + std::to_string(h.infoSize);
    }
    if (!r.Ok()) return "the bitmap file ends inside its header";
    if (h.compression == BI_RLE8 || h.compression == BI_RLE4)
        return "run-length compressed bitmaps are not supported";
    if (h.compression != BI_RGB && h.compression != BI_BITFIELDS &&
        h.compression != BI_ALPHABITFIELDS)
        return "unsupported bitmap compression " + std::to_string(h.compression);
    switch (h.bitCount) {
        case 1:
        case 4:
        case 8:
        case 24:
            if (h.compression != BI_RGB)
                return "bit-field masks on a " + std::to_string(h.bitCount) + "-bit bitmap";
            break;
        case 16:
        case 32:
            break;
        default:
            return "unsupported bitmap depth of " + std::to_string(h.bitCount) + " bits";
    }
    if (h.width <= 0 || h.height == 0)
        return "bitmap size " + std::to_string(h.width) + " x " + std::to_string(h.height);
    return {};
}

std::string ReadPalette(std::span<const uint8_t> bytes, const Header& h, Palette& palette) {
    palette = Palette{};
    if (h.bitCount > 8) return {};
    const std::size_t start = FILE_HEADER_SIZE + h.infoSize;
    const std::size_t entrySize = h.infoSize == CORE_HEADER_SIZE ? 3 : 4;
    const std::size_t maximum = std::size_t{1} << h.bitCount;
    std::size_t count = h.colorsUsed == 0 ? maximum : std::min<std::size_t>(h.colorsUsed, maximum);
    // The palette ends where the pixels begin, whatever the header claims.
    if (h.pixelOffset >= start)
        count = std::min(count, (std::size_t{h.pixelOffset} - start) / entrySize);
    if (start + count * entrySize > bytes.size()) return "the bitmap file ends inside its palette";
    for (std::size_t i = 0; i < count; ++i) {
        const uint8_t* e = bytes.data() + start + i * entrySize;
        palette[i] = {e[2], e[1], e[0]};
    }
    return {};
}

void DecodeRow(const Header& h, const uint8_t* in, std::span<uint8_t> out, const Channel* rgb) {
    const auto width = static_cast<std::size_t>(h.width);
    switch (h.bitCount) {
        case 1:
            for (std::size_t x = 0; x < width; ++x)
                out[x] = (in[x / 8] >> (7 - x % 8)) & 1;
            return;
        case 4:
            for (std::size_t x = 0; x < width; ++x)
                out[x] = (x % 2 == 0) ? in[x / 2] >> 4 : in[x / 2] & 0x0F;
            return;
        case 8:
        case 24:
            std::copy(in, in + out.size(), out.begin());
            return;
        case 16:
            for (std::size_t x = 0; x < width; ++x) {
                const uint32_t pixel = in[2 * x] | (in[2 * x + 1] << 8);
                out[3 * x] = rgb[2].Of(pixel);
                out[3 * x + 1] = rgb[1].Of(pixel);
                out[3 * x + 2] = rgb[0].Of(pixel);
            }
            return;
        default:  // 32
            if (h.compression == BI_RGB) {
                std::copy(in, in + out.size(), out.begin());
                return;
            }
            for (std::size_t x = 0; x < width; ++x) {
                const uint8_t* p = in + 4 * x;
                const uint32_t pixel = p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24);
                out[4 * x] = rgb[2].Of(pixel);
                out[4 * x + 1] = rgb[1].Of(pixel);
                out[4 * x + 2] = rgb[0].Of(pixel);
                out[4 * x + 3] = 0;
            }
    }
}

bool Fail(std::string& error, std::string reason) {
    error = std::move(reason);
    return false;
}

bool ReadWholeFile(const std::filesystem::path& path, std::vector<uint8_t>& bytes,
                   std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return Fail(error, "the file cannot be opened");
    bytes.assign(std::istreambuf_iterator<char>(in), {});
    if (in.bad()) return Fail(error, "the file cannot be read");
    return true;
}

void Put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

}  // namespace

bool DecodeBitmapFile(std::span<const uint8_t> bytes, Bitmap& bitmap, std::string& error) {
    Header h;
    if (std::string reason = ReadHeaders(bytes, h); !reason.empty()) return Fail(error, reason);
    Palette palette;
    if (std::string reason = ReadPalette(bytes, h, palette); !reason.empty())
        return Fail(error, reason);

    const bool topDown = h.height < 0;
    const uint64_t width = static_cast<uint64_t>(h.width);
    const uint64_t height = static_cast<uint64_t>(topDown ? -h.height : h.height);
    const uint64_t stride = (width * h.bitCount + 31) / 32 * 4;
    if (h.pixelOffset > bytes.size() || height > (bytes.size() - h.pixelOffset) / stride)
        return Fail(error, "the bitmap file holds fewer pixels than its " + std::to_string(width) +
                               " x " + std::to_string(height) + " header says");

    Channel rgb[3] = {Channel(h.masks[0]), Channel(h.masks[1]), Channel(h.masks[2])};
    if (h.compression == BI_RGB && h.bitCount == 16) {
        rgb[0] = Channel(0x7C00);  // 5 bits each
        rgb[1] = Channel(0x03E0);
        rgb[2] = Channel(0x001F);
    }
    const PixelFormat format = h.bitCount <= 8    ? PixelFormat::Indexed8
                               : h.bitCount == 32 ? PixelFormat::Bgrx32
                                                  : PixelFormat::Bgr24;
    if (!bitmap.Reset(static_cast<uint32_t>(width), static_cast<uint32_t>(height), format))
        return Fail(error, "the bitmap is too large");
    bitmap.Colors() = palette;
    for (uint64_t row = 0; row < height; ++row) {
        const uint8_t* in = bytes.data() + h.pixelOffset + row * stride;
        const auto y = static_cast<uint32_t>(topDown ? row : height - 1 - row);
        DecodeRow(h, in, bitmap.Row(y), rgb);
    }
    return true;
}

bool ReadBitmapFile(const std::filesystem::path& path, Bitmap& bitmap, std::string& error) {
    std::vector<uint8_t> bytes;
    return ReadWholeFile(path, bytes, error) && DecodeBitmapFile(bytes, bitmap, error);
}

std::vector<uint8_t> EncodeBitmapFile(const Bitmap& bitmap) {
    const uint32_t bits = static_cast<uint32_t>(bitmap.Format());
    const uint32_t paletteBytes = bitmap.Format() == PixelFormat::Indexed8 ? 256 * 4 : 0;
    const std::size_t stride = (std::size_t{bitmap.Width()} * bits + 31) / 32 * 4;
    const std::size_t imageBytes = stride * bitmap.Height();
    const uint32_t offset =
        static_cast<uint32_t>(FILE_HEADER_SIZE) + INFO_HEADER_SIZE + paletteBytes;

    std::vector<uint8_t> out;
    out.reserve(offset + imageBytes);
    out.push_back('B');
    out.push_back('M');
    Put32(out, static_cast<uint32_t>(offset + imageBytes));
    Put32(out, 0);  // two reserved words
    Put32(out, offset);
    Put32(out, INFO_HEADER_SIZE);
    Put32(out, bitmap.Width());
    Put32(out, bitmap.Height());  // positive: bottom row first
    Put16(out, 1);                // planes
    Put16(out, bits);
    Put32(out, BI_RGB);
    Put32(out, static_cast<uint32_t>(imageBytes));
    Put32(out, 2835);  // 72 pixels per inch, horizontally
    Put32(out, 2835);  // and vertically
    Put32(out, paletteBytes / 4);
    Put32(out, 0);  // every colour is important
    if (paletteBytes != 0) {
        for (const Rgb& c : bitmap.Colors()) {
            out.push_back(c.blue);
            out.push_back(c.green);
            out.push_back(c.red);
            out.push_back(0);
        }
    }
    for (uint32_t y = bitmap.Height(); y-- > 0;) {
        const auto row = bitmap.Row(y);
        out.insert(out.end(), row.begin(), row.end());
        out.resize(out.size() + stride - row.size(), 0);
    }
    return out;
}

bool WriteBitmapFile(const std::filesystem::path& path, const Bitmap& bitmap, std::string& error) {
    const std::vector<uint8_t> bytes = EncodeBitmapFile(bitmap);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) return Fail(error, "cannot write " + path.string());
    return true;
}

bool ReadJpegFile(const std::filesystem::path& path, Bitmap& bitmap, std::string& error) {
    std::vector<uint8_t> bytes;
    if (!ReadWholeFile(path, bytes, error)) return false;
    RgbImage image;
    const BaselineJpegResult result = DecodeJpegToRgb(bytes, image);
    if (result.decoded != BaselineJpegDecoded::Image)
        return Fail(error, result.detail.empty() ? "not a JPEG file" : result.detail);
    if (!bitmap.Reset(image.width, image.height, PixelFormat::Bgr24))
        return Fail(error, "the JPEG image is too large");
    const auto out = bitmap.Pixels();
    for (std::size_t i = 0; i + 2 < image.pixels.size(); i += 3) {
        out[i] = image.pixels[i + 2];
        out[i + 1] = image.pixels[i + 1];
        out[i + 2] = image.pixels[i];
    }
    return true;
}

}  // namespace dicomlib::imaging
