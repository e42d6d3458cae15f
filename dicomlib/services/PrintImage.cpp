// Print image preparation. A Part 10 image goes through one lookup table from its raw sample
// values to gray (65536 entries at most), so that a large 16-bit image costs one pass over its
// pixels, two when the window comes from the values themselves.
#include "services/PrintImage.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "data/Converter.h"
#include "data/Datadec.h"
#include "data/Tags.h"
#include "imaging/ImageFile.h"

namespace dicomlib::services {
namespace {

namespace fs = std::filesystem;

constexpr uint16_t ITEM_GROUP = 0xFFFE;

// What the top level of the data set says about its pixels.
struct PixelModule {
    std::string photometric;
    std::optional<uint16_t> samples, planar, rows, columns, bitsAllocated, bitsStored, highBit,
        pixelRepresentation;
    std::optional<int64_t> center, width;
    std::optional<double> intercept, slope;
    const DicomElement* pixelData = nullptr;
};

std::string ElementText(const DicomElement& e) {
    if (!data::HasValue(e)) return {};
    return std::string(reinterpret_cast<const char*>(e.value), e.length);
}

std::string Trimmed(std::string text) {
    const auto blank = [](char c) { return c == ' ' || c == '\0'; };
    while (!text.empty() && blank(text.back()))
        text.pop_back();
    std::size_t start = 0;
    while (start < text.size() && blank(text[start]))
        ++start;
    return text.substr(start);
}

std::optional<uint16_t> UsValue(const DicomElement& e, bool bigEndian) {
    if (!data::HasValue(e) || e.length < 2) return std::nullopt;
    const uint8_t* p = e.value;
    return static_cast<uint16_t>(bigEndian ? (p[0] << 8) | p[1] : p[0] | (p[1] << 8));
}

// The first value's whole part: leading blanks, a sign, then digits up to the first other
// character. None when no digit comes.
std::optional<int64_t> WholeNumber(const DicomElement& e) {
    const std::string text = ElementText(e);
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return std::nullopt;
    int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = std::min<int64_t>(value * 10 + (text[i] - '0'), int64_t{1} << 40);
    return negative ? -value : value;
}

std::optional<double> DecimalNumber(const DicomElement& e) {
    const std::string text = ElementText(e);
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || !std::isfinite(value)) return std::nullopt;
    return value;
}

// Walks the data set's top level; the elements of sequences (an icon image among them) are
// passed over, whether their items come flat or as one defined-length value.
PixelModule ReadPixelModule(const ElementList& dataSet, bool bigEndian) {
    PixelModule m;
    int depth = 0;
    for (const DicomElement* e : dataSet) {
        if (e->group == ITEM_GROUP) {
            if (e->element == 0xE000 && e->length == UNDEFINED_LENGTH) ++depth;
            if ((e->element == 0xE00D || e->element == 0xE0DD) && depth > 0) --depth;
            continue;
        }
        const bool top = depth == 0;
        if (e->length == UNDEFINED_LENGTH) ++depth;
        if (!top) continue;
        const Tag t = TagOf(*e);
        if (t == tag::PixelData) {
            m.pixelData = e;
        } else if (t == tag::PhotometricInterpretation) {
            m.photometric = Trimmed(ElementText(*e));
        } else if (t == tag::SamplesPerPixel) {
            m.samples = UsValue(*e, bigEndian);
        } else if (t == tag::PlanarConfiguration) {
            m.planar = UsValue(*e, bigEndian);
        } else if (t == tag::Rows) {
            m.rows = UsValue(*e, bigEndian);
        } else if (t == tag::Columns) {
            m.columns = UsValue(*e, bigEndian);
        } else if (t == tag::BitsAllocated) {
            m.bitsAllocated = UsValue(*e, bigEndian);
        } else if (t == tag::BitsStored) {
            m.bitsStored = UsValue(*e, bigEndian);
        } else if (t == tag::HighBit) {
            m.highBit = UsValue(*e, bigEndian);
        } else if (t == tag::PixelRepresentation) {
            m.pixelRepresentation = UsValue(*e, bigEndian);
        } else if (t == tag::WindowCenter) {
            m.center = WholeNumber(*e);
        } else if (t == tag::WindowWidth) {
            m.width = WholeNumber(*e);
        } else if (t == tag::RescaleIntercept) {
            m.intercept = DecimalNumber(*e);
        } else if (t == tag::RescaleSlope) {
            m.slope = DecimalNumber(*e);
        }
    }
    return m;
}

// Turns raw samples into stored values: the High Bit's field of Bits Stored bits, sign-extended
// for Pixel Representation 1.
struct SampleReader {
    bool sixteen = false;
    bool bigEndian = false;
    bool isSigned = false;
    int shift = 0;
    uint32_t mask = 0xFF;

    uint32_t Raw(const uint8_t* p) const {
        if (!sixteen) return p[0];
        return bigEndian ? (uint32_t{p[0]} << 8) | p[1] : p[0] | (uint32_t{p[1]} << 8);
    }
    int32_t Stored(uint32_t raw) const {
        const uint32_t field = (raw >> shift) & mask;
        const uint32_t signBit = (mask >> 1) + 1;
        if (isSigned && (field & signBit) != 0)
            return static_cast<int32_t>(field) - int32_t(mask) - 1;
        return static_cast<int32_t>(field);
    }
};

struct Window {
    int64_t center = 0;
    int64_t width = 1;
    bool invert = false;

    uint8_t Gray(int64_t v) const {
        const int64_t gray = (v - center) * 255 / width + 127;
        const auto clamped = static_cast<uint8_t>(std::clamp<int64_t>(gray, 0, 255));
        return invert ? static_cast<uint8_t>(255 - clamped) : clamped;
    }
};

// The window that spans the values from low to high.
Window WindowOver(int64_t low, int64_t high) {
    Window w;
    w.width = std::max<int64_t>(1, high - low);
    w.center = low + (high - low) / 2;
    return w;
}

bool RefuseImage(std::string& why, std::string reason) {
    why = std::move(reason);
    return false;
}

// 1 sample per pixel: raw value -> rescaled value -> gray, through one table.
void RenderMonochrome(const PixelModule& m, const SampleReader& reader, std::size_t count,
                      Window window, bool windowFromValues, uint8_t* out) {
    const std::size_t bytes = reader.sixteen ? 2 : 1;
    const uint8_t* in = m.pixelData->value;
    const double slope = m.slope.value_or(1.0) != 0 ? m.slope.value_or(1.0) : 1.0;
    const double intercept = m.intercept.value_or(0.0);
    std::vector<int64_t> rescaled(std::size_t{1} << (8 * bytes));
    for (std::size_t raw = 0; raw < rescaled.size(); ++raw) {
        const double v = reader.Stored(static_cast<uint32_t>(raw)) * slope + intercept;
        rescaled[raw] = static_cast<int64_t>(std::clamp(v, -1e15, 1e15));  // toward zero
    }
    if (windowFromValues) {
        std::vector<uint8_t> present(rescaled.size(), 0);
        for (std::size_t i = 0; i < count; ++i)
            present[reader.Raw(in + i * bytes)] = 1;
        int64_t low = INT64_MAX, high = INT64_MIN;
        for (std::size_t raw = 0; raw < present.size(); ++raw) {
            if (present[raw] == 0) continue;
            low = std::min(low, rescaled[raw]);
            high = std::max(high, rescaled[raw]);
        }
        const bool invert = window.invert;
        window = WindowOver(low, high);
        window.invert = invert;
    }
    std::vector<uint8_t> gray(rescaled.size());
    for (std::size_t raw = 0; raw < gray.size(); ++raw)
        gray[raw] = window.Gray(rescaled[raw]);
    if (bytes == 1) {
        for (std::size_t i = 0; i < count; ++i)
            out[i] = gray[in[i]];
    } else {
        for (std::size_t i = 0; i < count; ++i)
            out[i] = gray[reader.Raw(in + 2 * i)];
    }
}

// 3 samples per pixel, interleaved or in planes: the mean of R, G and B, or Y of YBR_FULL.
void RenderColor(const PixelModule& m, const SampleReader& reader, std::size_t count, Window window,
                 bool windowFromValues, uint8_t* out) {
    const std::size_t bytes = reader.sixteen ? 2 : 1;
    const bool planes = m.planar.value_or(0) == 1;
    const bool luminance = m.photometric == "YBR_FULL";
    const uint8_t* in = m.pixelData->value;
    std::vector<int32_t> values(count);
    for (std::size_t i = 0; i < count; ++i) {
        int32_t s[3];
        for (std::size_t k = 0; k < 3; ++k) {
            const std::size_t index = planes ? k * count + i : 3 * i + k;
            s[k] = reader.Stored(reader.Raw(in + index * bytes));
        }
        values[i] = luminance ? s[0] : (s[0] + s[1] + s[2]) / 3;
    }
    if (windowFromValues && count > 0) {
        const auto [low, high] = std::minmax_element(values.begin(), values.end());
        window = WindowOver(*low, *high);
    }
    for (std::size_t i = 0; i < count; ++i)
        out[i] = window.Gray(values[i]);
}

std::string SizeText(uint64_t columns, uint64_t rows) {
    return std::to_string(columns) + " x " + std::to_string(rows);
}

}  // namespace

ImageFileKind KindOfImageFile(const fs::path& file) {
    const std::string extension = file.filename().extension().string();
    if (extension == ".jpg" || extension == ".JPG") return ImageFileKind::Jpeg;
    if (extension == ".bmp" || extension == ".BMP") return ImageFileKind::Bitmap;
    return ImageFileKind::Dicom;
}

bool DicomToPrintBitmap(const fs::path& file, PrintImage& image, std::string& why) {
    const auto bytes = data::ReadWholeFile(file);
    if (!bytes) return RefuseImage(why, "not a readable DICOM Part 10 file");
    return DicomBytesToPrintBitmap(bytes->Span(), image, why);
}

bool DicomBytesToPrintBitmap(std::span<const uint8_t> bytes, PrintImage& image, std::string& why) {
    data::DecoderState state;
    ElementList meta, dataSet;
    if (!data::ReadPart10Bytes(state, bytes, meta, dataSet))
        return RefuseImage(why, "not a readable DICOM Part 10 file");
    // Compressed and big-endian pixel data is decoded first, by the converter's codecs.
    bool bigEndian = state.bigEndian != 0;
    if (const DicomElement* ts = data::FindTag(meta, tag::TransferSyntaxUID)) {
        std::string syntax = Trimmed(ElementText(*ts));
        std::string detail;
        const std::string given = syntax;
        if (data::ToNativeLittleEndian(dataSet, syntax, &detail) != data::ConvertError::None) {
            return RefuseImage(why, "pixel data that cannot be decoded (transfer syntax " + given +
                                        (detail.empty() ? ")" : "): " + detail));
        }
        if (syntax != given) bigEndian = false;
    }
    const PixelModule m = ReadPixelModule(dataSet, bigEndian);
    if (m.pixelData == nullptr || !data::HasValue(*m.pixelData)) {
        if (m.pixelData != nullptr && m.pixelData->length == UNDEFINED_LENGTH)
            return RefuseImage(why, "compressed pixel data");
        return RefuseImage(why, "no pixel data");
    }
    const uint16_t bitsAllocated = m.bitsAllocated.value_or(0);
    if (bitsAllocated != 8 && bitsAllocated != 16)
        return RefuseImage(why, "Bits Allocated " + std::to_string(bitsAllocated) +
                                    ": only 8- and 16-bit images can be printed");
    const uint16_t samples = m.samples.value_or(m.photometric == "RGB" ? 3 : 1);
    if (samples != 1 && !(samples == 3 && (m.photometric == "RGB" || m.photometric == "YBR_FULL")))
        return RefuseImage(why, "Samples per Pixel " + std::to_string(samples) +
                                    " with photometric " + "interpretation \"" + m.photometric +
                                    "\" cannot be printed");
    const uint64_t rows = m.rows.value_or(0);
    const uint64_t columns = m.columns.value_or(0);
    if (rows == 0 || columns == 0)
        return RefuseImage(why, "image size " + SizeText(columns, rows) + " (Columns x Rows)");
    const uint64_t count = rows * columns;
    const uint64_t needed = count * samples * (bitsAllocated / 8);
    if (m.pixelData->length < needed)
        return RefuseImage(why, "pixel data of " + std::to_string(m.pixelData->length) +
                                    " bytes; the " + SizeText(columns, rows) + " image needs " +
                                    std::to_string(needed));

    SampleReader reader;
    reader.sixteen = bitsAllocated == 16;
    reader.bigEndian = bigEndian;
    reader.isSigned = m.pixelRepresentation.value_or(0) == 1;
    uint16_t bitsStored = m.bitsStored.value_or(bitsAllocated);
    if (bitsStored == 0 || bitsStored > bitsAllocated) bitsStored = bitsAllocated;
    uint16_t highBit = m.highBit.value_or(static_cast<uint16_t>(bitsStored - 1));
    if (highBit >= bitsAllocated || highBit + 1 < bitsStored)
        highBit = static_cast<uint16_t>(bitsStored - 1);
    reader.shift = highBit + 1 - bitsStored;
    reader.mask = (1u << bitsStored) - 1;

    Window window{127, 255, m.photometric == "MONOCHROME1"};
    bool windowFromValues = false;
    if (bitsAllocated == 16) {
        windowFromValues = !m.center || !m.width;
        if (!windowFromValues) {
            window.center = *m.center;
            window.width = *m.width == 0 ? 100 : *m.width;
        }
    }

    if (!image.Reset(static_cast<uint32_t>(columns), static_cast<uint32_t>(rows),
                     imaging::PixelFormat::Indexed8))
        return RefuseImage(why, "the image is too large");
    image.SetGrayPalette();
    uint8_t* out = image.Pixels().data();
    if (samples == 1)
        RenderMonochrome(m, reader, count, window, windowFromValues, out);
    else
        RenderColor(m, reader, count, window, windowFromValues, out);
    return true;
}

std::vector<std::string> LoadPrintImage(const fs::path& file, PrintImage& image) {
    std::string why;
    switch (KindOfImageFile(file)) {
        case ImageFileKind::Jpeg:
            if (imaging::ReadJpegFile(file, image, why)) return {};
            return {"ERROR: opening JPEG File: " + file.string() + ": " + why};
        case ImageFileKind::Bitmap:
            if (imaging::ReadBitmapFile(file, image, why)) return {};
            return {"ERROR: opening Bitmap File: " + file.string() + ": " + why};
        case ImageFileKind::Dicom:
            break;
    }
    if (DicomToPrintBitmap(file, image, why)) return {};
    return {"ERROR: opening DICOM File", file.string() + ": " + why};
}

void BitmapToGray8(const imaging::Bitmap& bitmap, std::span<uint8_t> out) {
    const std::size_t width = bitmap.Width();
    if (bitmap.Format() == imaging::PixelFormat::Indexed8) {
        uint8_t gray[256];
        for (std::size_t i = 0; i < 256; ++i) {
            const imaging::Rgb c = bitmap.Colors()[i];
            gray[i] = static_cast<uint8_t>((c.red + c.green + c.blue) / 3);
        }
        for (uint32_t y = 0; y < bitmap.Height(); ++y) {
            const uint8_t* in = bitmap.Row(y).data();
            uint8_t* row = out.data() + y * width;
            for (std::size_t x = 0; x < width; ++x)
                row[x] = gray[in[x]];
        }
        return;
    }
    const std::size_t step = bitmap.BytesPerPixel();
    for (uint32_t y = 0; y < bitmap.Height(); ++y) {
        const uint8_t* in = bitmap.Row(y).data();
        uint8_t* row = out.data() + y * width;
        for (std::size_t x = 0; x < width; ++x, in += step)
            row[x] = static_cast<uint8_t>((in[0] + in[1] + in[2]) / 3);
    }
}

std::string PrintSizeProblem(const imaging::Bitmap& bitmap) {
    if (bitmap.Empty()) return "the image is empty";
    if (bitmap.Width() > MAX_PRINT_SIZE || bitmap.Height() > MAX_PRINT_SIZE)
        return "the image is " + SizeText(bitmap.Width(), bitmap.Height()) +
               " pixels; an image box takes at most 65535 x 65535";
    return {};
}

bool BuildImagePixelItem(const imaging::Bitmap& bitmap, ElementList& list) {
    if (!PrintSizeProblem(bitmap).empty()) return false;
    const std::size_t count = std::size_t{bitmap.Width()} * bitmap.Height();
    const auto length = static_cast<uint32_t>(count + count % 2);
    data::ValueBlock pixels;
    pixels.Reset(length);
    BitmapToGray8(bitmap, {pixels.Data(), count});
    if (length > count) pixels.Data()[count] = 0x00;

    list.Append(data::NewUsElement(tag::SamplesPerPixel, 1));
    list.Append(data::NewTextElement(tag::PhotometricInterpretation, "CS", "MONOCHROME2 "));
    list.Append(data::NewUsElement(tag::Rows, static_cast<uint16_t>(bitmap.Height())));
    list.Append(data::NewUsElement(tag::Columns, static_cast<uint16_t>(bitmap.Width())));
    list.Append(data::NewUsElement(tag::BitsAllocated, 8));
    list.Append(data::NewUsElement(tag::BitsStored, 8));
    list.Append(data::NewUsElement(tag::HighBit, 7));
    list.Append(data::NewUsElement(tag::PixelRepresentation, 0));
    const char ob[2] = {'O', 'B'};
    list.Append(data::NewElementOwning(tag::PixelData.group, tag::PixelData.element, ob, length,
                                       pixels.Data()));
    pixels.Release();
    return true;
}

std::vector<std::string> WritePrintPreview(const fs::path& imageFile, const fs::path& bitmapFile) {
    PrintImage image;
    if (auto lines = LoadPrintImage(imageFile, image); !lines.empty()) return lines;
    if (const std::string problem = PrintSizeProblem(image); !problem.empty())
        return {"ERROR: " + imageFile.string() + ": " + problem};
    imaging::Bitmap gray;
    if (!gray.Reset(image.Width(), image.Height(), imaging::PixelFormat::Indexed8))
        return {"ERROR: " + imageFile.string() + ": the image is too large"};
    gray.SetGrayPalette();
    BitmapToGray8(image, gray.Pixels());
    std::string why;
    if (!imaging::WriteBitmapFile(bitmapFile, gray, why)) return {"ERROR: " + why};
    return {};
}

}  // namespace dicomlib::services
