// The thumbnail's source is read from the data set's top-level elements only, so that an icon
// image inside a sequence never stands in for the image, and of the pixel data only the first
// frame is read. Sizes are computed in 64 bits and
// checked against the pixel data before a sample is read; samples, once rescaled, are kept as
// 32-bit values.
#include "imaging/Thumbnail.h"

#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

#include "data/Converter.h"
#include "data/Part10File.h"
#include "data/Tags.h"
#include "imaging/BaselineJpeg.h"

namespace dicomlib::imaging {
namespace {

constexpr int JPEG_QUALITY = 60;
constexpr uint32_t JPEG_MAX_SIDE = 65500;

struct ThumbnailSource {
    std::string photometric;
    bool inverted = false;
    uint16_t samplesPerPixel = 0;  // 0: not given
    uint16_t planarConfiguration = 0;
    uint16_t rows = 0;
    uint16_t columns = 0;
    uint16_t bitsAllocated = 0;
    uint16_t pixelRepresentation = 0;
    bool hasWindow = false;  // a window center or width was given
    int32_t windowCenter = 0;
    int32_t windowWidth = 0;
    double rescaleIntercept = 0;
    double rescaleSlope = 0;
    const DicomElement* pixelData = nullptr;
    std::vector<uint8_t> frame;  // the first frame's bytes, read once the layout is checked
};

// Attributes of the image are short: of a value left in its file this much is read at most.
constexpr std::size_t ATTRIBUTE_BYTES = 64;

std::string TextOf(const DicomElement& e) {
    std::string bytes(std::min<std::size_t>(e.length, ATTRIBUTE_BYTES), '\0');
    if (!data::ReadValueBytes(e, 0, {reinterpret_cast<uint8_t*>(bytes.data()), bytes.size()}))
        return {};
    std::string_view text(bytes);
    text = text.substr(0, text.find('\\'));  // the first value of several
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0'))
        text.remove_suffix(1);
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    return std::string(text);
}

double RealOf(const DicomElement& e) {
    const std::string text(TextOf(e));
    const double value = std::strtod(text.c_str(), nullptr);
    return std::isfinite(value) ? value : 0.0;
}

int32_t ClampToInt32(double v) {
    if (!(v > -2147483648.0)) return INT32_MIN;  // NaN lands here too
    if (v >= 2147483647.0) return INT32_MAX;
    return static_cast<int32_t>(v);  // truncates toward zero
}

uint16_t U16Of(const DicomElement& e) {
    uint8_t b[2];
    return e.length >= 2 && data::ReadValueBytes(e, 0, b)
               ? static_cast<uint16_t>(b[0] | (b[1] << 8))
               : 0;
}

// Fills the source from the top-level elements in list order, up to the pixel data.
ThumbnailSource ReadSource(const ElementList& dataSet) {
    ThumbnailSource s;
    int depth = 0;
    for (const DicomElement* e : dataSet) {
        const bool item = e->group == 0xFFFE;
        if (item && e->element == 0xE0DD) {
            if (depth > 0) --depth;
            continue;
        }
        if (!item && e->length == UNDEFINED_LENGTH) ++depth;
        if (depth > 0 || item || !data::HasValue(*e)) continue;
        const Tag t = TagOf(*e);
        if (t == tag::PhotometricInterpretation) {
            s.photometric = TextOf(*e);
            s.inverted = s.photometric == "MONOCHROME1";
        } else if (t == tag::SamplesPerPixel) {
            s.samplesPerPixel = U16Of(*e);
        } else if (t == tag::PlanarConfiguration) {
            s.planarConfiguration = U16Of(*e);
        } else if (t == tag::Rows) {
            s.rows = U16Of(*e);
        } else if (t == tag::Columns) {
            s.columns = U16Of(*e);
        } else if (t == tag::BitsAllocated) {
            s.bitsAllocated = U16Of(*e);
        } else if (t == tag::PixelRepresentation) {
            s.pixelRepresentation = U16Of(*e);
        } else if (t == tag::WindowCenter) {
            s.windowCenter = ClampToInt32(RealOf(*e));
            s.hasWindow = true;
        } else if (t == tag::WindowWidth) {
            s.windowWidth = ClampToInt32(RealOf(*e));
            s.hasWindow = true;
        } else if (t == tag::RescaleIntercept) {
            s.rescaleIntercept = RealOf(*e);
        } else if (t == tag::RescaleSlope) {
            s.rescaleSlope = RealOf(*e);
        } else if (t == tag::PixelData) {
            s.pixelData = e;
            break;
        }
    }
    return s;
}

// The first frame's samples as read, and rescaled when a slope is given. Rescaling is
// monotonic, so the rescaled range is the raw range rescaled: only the samples that a
// thumbnail pixel uses are rescaled.
class GraySamples {
  public:
    explicit GraySamples(const ThumbnailSource& s)
        : p_(s.frame.data()),
          eight_(s.bitsAllocated == 8),
          signed_(s.pixelRepresentation != 0),
          slope_(s.rescaleSlope),
          intercept_(s.rescaleIntercept) {}

    int32_t Raw(std::size_t i) const {
        if (eight_) return p_[i];
        const auto raw = static_cast<uint16_t>(p_[2 * i] | (p_[2 * i + 1] << 8));
        return signed_ ? static_cast<int16_t>(raw) : raw;
    }

    int32_t operator[](std::size_t i) const { return Rescaled(Raw(i)); }

    int32_t Rescaled(int32_t v) const {
        return slope_ == 0 ? v : ClampToInt32(std::trunc(v * slope_ + intercept_));
    }

    // The lowest and highest rescaled value of the first count samples.
    std::pair<int32_t, int32_t> Range(std::size_t count) const {
        const auto [rawLow, rawHigh] = eight_    ? RawRange<uint8_t>(count)
                                       : signed_ ? RawRange<int16_t>(count)
                                                 : RawRange<uint16_t>(count);
        const int32_t low = Rescaled(rawLow), high = Rescaled(rawHigh);
        return slope_ < 0 ? std::pair{high, low} : std::pair{low, high};
    }

  private:
    // One loop per sample type, free of branches, so that the compiler can vectorise it.
    template <class T>
    std::pair<int32_t, int32_t> RawRange(std::size_t count) const {
        int32_t low = INT32_MAX, high = INT32_MIN;
        for (std::size_t i = 0; i < count; ++i) {
            const int32_t v =
                sizeof(T) == 1
                    ? p_[i]
                    : static_cast<T>(static_cast<uint16_t>(p_[2 * i] | (p_[2 * i + 1] << 8)));
            low = std::min(low, v);
            high = std::max(high, v);
        }
        return {low, high};
    }

    const uint8_t* p_;
    bool eight_;
    bool signed_;
    double slope_;
    double intercept_;
};

void DrawGray(const ThumbnailSource& s, double scale, ThumbnailImage& image) {
    const GraySamples samples(s);
    int64_t center = s.windowCenter;
    int64_t width = s.windowWidth;
    if (s.bitsAllocated == 8) {
        center = 127;
    } else if (!s.hasWindow) {
        // No window given: the frame's own range, so that a CT is not mostly white.
        const auto [low, high] = samples.Range(std::size_t{s.rows} * s.columns);
        width = std::max<int64_t>(int64_t{high} - low, 1);
        center = low + width / 2;
    }
    if (width == 0) width = 255;
    const int64_t d = s.inverted ? -255 : 255;
    const int64_t e = -d;
    const uint32_t columns = s.columns;
    for (uint32_t i = 0; i + 1 < image.height; ++i) {
        const double y = i / scale;
        if (!(y > 0 && y < s.rows - 1)) continue;
        const auto y0 = static_cast<uint32_t>(y);
        const double fy = y - y0;
        uint8_t* out = image.pixels.data() + std::size_t{i} * image.width;
        for (uint32_t j = 0; j + 1 < image.width; ++j) {
            const double x = j / scale;
            if (!(x > 0 && x < columns - 1)) continue;
            const auto x0 = static_cast<uint32_t>(x);
            const double fx = x - x0;
            const std::size_t at = std::size_t{y0} * columns + x0;
            const double v =
                (1 - fx - fy + fx * fy) * samples[at] + (fx - fx * fy) * samples[at + 1] +
                (fy - fx * fy) * samples[at + columns] + fx * fy * samples[at + columns + 1];
            const int64_t level = (center * e + static_cast<int64_t>(v) * d) / width + 127;
            out[j] = static_cast<uint8_t>(std::clamp<int64_t>(level, 0, 255));
        }
    }
}

void DrawRgb(const ThumbnailSource& s, double scale, ThumbnailImage& image) {
    const std::size_t plane = std::size_t{s.rows} * s.columns;
    const uint8_t* p = s.frame.data();
    for (uint32_t i = 0; i + 1 < image.height; ++i) {
        const auto y = static_cast<uint32_t>(i / scale);
        if (!(y > 0 && y + 1 < s.rows)) continue;
        uint8_t* out = image.pixels.data() + std::size_t{i} * image.width * 3;
        for (uint32_t j = 0; j + 1 < image.width; ++j) {
            const auto x = static_cast<uint32_t>(j / scale);
            if (!(x > 0 && x + 1 < s.columns)) continue;
            const std::size_t at = std::size_t{y} * s.columns + x;
            for (std::size_t c = 0; c < 3; ++c)
                out[3 * j + c] = s.planarConfiguration == 0 ? p[3 * at + c] : p[c * plane + at];
        }
    }
}

std::filesystem::path TemporaryNameFor(const std::filesystem::path& path) {
    static std::atomic<unsigned> counter{0};
    std::filesystem::path temporary = path;
    temporary += ".part-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    return temporary;
}

bool WriteFileAtomically(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    const std::filesystem::path temporary = TemporaryNameFor(path);
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    ok = std::fclose(file) == 0 && ok;
    std::error_code ec;
    if (ok) {
        std::filesystem::rename(temporary, path, ec);
        ok = !ec;
    }
    if (!ok) std::filesystem::remove(temporary, ec);
    return ok;
}

}  // namespace

ThumbnailStatus DrawThumbnail(const ElementList& dataSet, int32_t width, ThumbnailImage& image) {
    ThumbnailSource s = ReadSource(dataSet);
    const bool rgb = s.photometric == "RGB";
    if (s.bitsAllocated != 8 && (rgb || s.bitsAllocated != 16))
        return ThumbnailStatus::UnsupportedImage;
    if (s.samplesPerPixel != 0 && s.samplesPerPixel != (rgb ? 3 : 1))
        return ThumbnailStatus::UnsupportedImage;
    const uint64_t frameBytes =
        uint64_t{s.rows} * s.columns * (s.bitsAllocated / 8u) * (rgb ? 3u : 1u);
    if (s.pixelData == nullptr || s.columns == 0 || s.rows == 0 ||
        s.pixelData->length < frameBytes) {
        return ThumbnailStatus::NoPixelData;
    }
    if (width < 1 || static_cast<uint32_t>(width) > JPEG_MAX_SIDE) return ThumbnailStatus::BadWidth;
    const double scale = static_cast<double>(width) / s.columns;
    const double height = std::trunc(s.rows * scale);
    if (height < 1 || height > JPEG_MAX_SIDE) return ThumbnailStatus::BadWidth;
    // Only the first frame is read, however many follow it.
    s.frame.resize(static_cast<std::size_t>(frameBytes));
    if (!data::ReadValueBytes(*s.pixelData, 0, s.frame)) return ThumbnailStatus::CannotRead;

    image.width = static_cast<uint32_t>(width);
    image.height = static_cast<uint32_t>(height);
    image.components = rgb ? 3 : 1;
    image.pixels.assign(std::size_t{image.width} * image.height * (rgb ? 3u : 1u), 0);
    if (rgb) {
        DrawRgb(s, scale, image);
    } else {
        DrawGray(s, scale, image);
    }
    return ThumbnailStatus::Written;
}

std::string_view ThumbnailStatusText(ThumbnailStatus status) {
    switch (status) {
        case ThumbnailStatus::Written:
            return "written";
        case ThumbnailStatus::CannotRead:
            return "not a DICOM file, or a damaged one";
        case ThumbnailStatus::UnsupportedSyntax:
            return "pixel data that cannot be decoded: a transfer syntax the library does not "
                   "read, or a damaged stream";
        case ThumbnailStatus::NoPixelData:
            return "no pixel data, or less than one frame of it";
        case ThumbnailStatus::UnsupportedImage:
            return "an image layout that is not drawn (8- or 16-bit grayscale, 8-bit RGB are)";
        case ThumbnailStatus::BadWidth:
            return "the width gives no thumbnail of this image";
        case ThumbnailStatus::CannotWrite:
            return "the thumbnail cannot be written";
    }
    return "not written";
}

std::filesystem::path ThumbnailFileName(const std::filesystem::path& outputPath) {
    return std::filesystem::path(outputPath).replace_extension(".jpg");
}

ThumbnailStatus CreateThumbnail(const std::filesystem::path& outputPath,
                                const std::filesystem::path& dicomPath, int32_t width) {
    ElementList dataSet;
    std::string syntax;
    if (!data::LoadDataSetFile(dicomPath, dataSet, syntax)) return ThumbnailStatus::CannotRead;
    if (data::ToNativeLittleEndian(dataSet, syntax, nullptr, true) != data::ConvertError::None)
        return ThumbnailStatus::UnsupportedSyntax;
    ThumbnailImage image;
    const ThumbnailStatus drawn = DrawThumbnail(dataSet, width, image);
    if (drawn != ThumbnailStatus::Written) return drawn;
    dataSet.Clear();
    std::vector<uint8_t> jpeg;
    std::string detail;
    if (!EncodeBaselineJpeg(image.pixels, image.width, image.height, image.components, JPEG_QUALITY,
                            jpeg, detail) ||
        !WriteFileAtomically(ThumbnailFileName(outputPath), jpeg)) {
        return ThumbnailStatus::CannotWrite;
    }
    return ThumbnailStatus::Written;
}

}  // namespace dicomlib::imaging
