#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>

#include "data/Converter.h"
#include "data/Datadec.h"
#include "data/Encoder.h"
#include "data/Part10File.h"
#include "data/Tags.h"
#include "data/TransferSyntax.h"
#include "imaging/LosslessJpeg.h"
#include "support/DataSetBuilder.h"
#include "support/ImageFiles.h"
#include "support/TestSupport.h"

using namespace dicomlib::data;
using testsupport::DataSetBuilder;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr const char* IMPLICIT = "1.2.840.10008.1.2";
constexpr const char* EXPLICIT = "1.2.840.10008.1.2.1";
constexpr const char* BIG = "1.2.840.10008.1.2.2";
constexpr const char* LOSSLESS = "1.2.840.10008.1.2.4.70";

ElementList Read(const Bytes& body, bool explicitVr, bool big) {
    ElementList list;
    EXPECT_TRUE(ReadDataSetBytes(DecoderState{uint8_t(explicitVr), uint8_t(big), 0}, body, list));
    return list;
}

Bytes Convert(const Bytes& body, const char* from, const char* to, ConvertError* error = nullptr) {
    const bool explicitIn = std::string(from) != IMPLICIT;
    const bool bigIn = std::string(from) == BIG;
    ElementList in = Read(body, explicitIn, bigIn);
    ElementList out;
    const ConvertError e = Transcode(out, in, to, from);
    if (error != nullptr) *error = e;
    return EncodeList(out, std::string(to) != IMPLICIT, std::string(to) == BIG);
}

// A small data set with a group length, a defined-length sequence holding a nested sequence,
// an undefined-length sequence with a defined-length item, binary values and 16-bit pixels.
Bytes Sample(bool explicitVr, bool big) {
    auto b = [&] { return DataSetBuilder(explicitVr, big); };
    Bytes code = b().Text(0x0008, 0x0100, "SH", "C1").US(0x0028, 0x0010, 0x0203).Bytes();
    Bytes nested = b().ItemWithValue(code).Bytes();
    Bytes item =
        b().Text(0x0008, 0x0104, "LO", "MEANING").Element(0x0040, 0xA043, "SQ", nested).Bytes();
    Bytes seq = b().ItemWithValue(item).Bytes();
    Bytes groupBody =
        b().Text(0x0008, 0x0060, "CS", "MR").Element(0x0008, 0x1115, "SQ", seq).Bytes();
    const uint32_t groupLength = static_cast<uint32_t>(groupBody.size());
    Bytes lengthValue = big ? Bytes{uint8_t(groupLength >> 24), uint8_t(groupLength >> 16),
                                    uint8_t(groupLength >> 8), uint8_t(groupLength)}
                            : Bytes{uint8_t(groupLength), uint8_t(groupLength >> 8),
                                    uint8_t(groupLength >> 16), uint8_t(groupLength >> 24)};
    Bytes pixels = big ? Bytes{0x01, 0x02, 0x03, 0x04} : Bytes{0x02, 0x01, 0x04, 0x03};
    Bytes fl = big ? Bytes{0x3F, 0xC0, 0, 0} : Bytes{0, 0, 0xC0, 0x3F};  // 1.5
    return b()
        .Element(0x0008, 0x0000, "UL", lengthValue)
        .Raw(groupBody)
        .Text(0x0028, 0x0004, "CS", "MONOCHROME2 ")
        .US(0x0028, 0x0010, 1)
        .US(0x0028, 0x0011, 2)
        .US(0x0028, 0x0100, 16)
        .Element(
            0x0018, 0x9087, "FD",
            big ? Bytes{0x40, 0x93, 0x4A, 0, 0, 0, 0, 0} : Bytes{0, 0, 0, 0, 0, 0x4A, 0x93, 0x40})
        .Element(0x0018, 0x9402, "FL", fl)  // placed out of order on purpose
        .Undefined(0x0040, 0x0275, "SQ")
        .ItemWithValue(b().Text(0x0040, 0x0007, "LO", "STEP").Bytes())
        .SequenceEnd()
        .Element(0x7FE0, 0x0010, "OW", pixels)
        .Bytes();
}

}  // namespace

TEST(Transcode, EveryUncompressedPairGivesTheIndependentlyBuiltBytes) {
    struct Syntax {
        const char* uid;
        bool explicitVr;
        bool big;
    };
    const Syntax all[] = {{IMPLICIT, false, false}, {EXPLICIT, true, false}, {BIG, true, true}};
    for (const Syntax& from : all) {
        for (const Syntax& to : all) {
            SCOPED_TRACE(std::string(from.uid) + " -> " + to.uid);
            ConvertError error;
            const Bytes out = Convert(Sample(from.explicitVr, from.big), from.uid, to.uid, &error);
            EXPECT_EQ(error, ConvertError::None);
            EXPECT_EQ(out, Sample(to.explicitVr, to.big));
        }
    }
}

TEST(Transcode, ImplicitSourcesGetDictionaryVrsAndUnknownSequencesStaySequences) {
    Bytes body =
        DataSetBuilder(false, false)
            .Text(0x0009, 0x1001, "", "PRIVATE")
            .Element(0x0009, 0x1003, "",
                     DataSetBuilder(false, false)
                         .ItemWithValue(
                             DataSetBuilder(false, false).Text(0x0010, 0x0020, "", "X").Bytes())
                         .Bytes())
            .Undefined(0x0009, 0x1002, "")
            .Item()
            .Text(0x0010, 0x0020, "", "ID")
            .ItemEnd()
            .SequenceEnd()
            .Bytes();
    const Bytes expected =
        DataSetBuilder(true, false)
            .Text(0x0009, 0x1001, "UN", "PRIVATE")
            .Element(0x0009, 0x1003, "SQ",  // a value of items
                     DataSetBuilder(true, false)
                         .ItemWithValue(
                             DataSetBuilder(true, false).Text(0x0010, 0x0020, "LO", "X").Bytes())
                         .Bytes())
            .Undefined(0x0009, 0x1002, "SQ")
            .Item()
            .Text(0x0010, 0x0020, "LO", "ID")
            .ItemEnd()
            .SequenceEnd()
            .Bytes();
    EXPECT_EQ(Convert(body, IMPLICIT, EXPLICIT), expected);
}

TEST(Transcode, RefusalsAndUnknownSyntaxes) {
    ConvertError error;
    Convert(Sample(true, false), "1.2.840.10008.1.2.4.100", EXPLICIT, &error);
    EXPECT_EQ(error, ConvertError::UnknownSourceSyntax);
    Convert(Sample(true, false), EXPLICIT, "1.2.840.10008.1.2.4.50", &error);
    EXPECT_EQ(error, ConvertError::UnknownTargetSyntax);
    Convert(Sample(true, false), EXPLICIT, "1.2.840.10008.1.2.4.111", &error);
    EXPECT_EQ(error, ConvertError::UnknownTargetSyntax);
    Bytes colour = DataSetBuilder(true, false)
                       .Text(0x0028, 0x0004, "CS", "RGB ")
                       .US(0x0028, 0x0010, 1)
                       .US(0x0028, 0x0011, 1)
                       .US(0x0028, 0x0100, 8)
                       .Element(0x7FE0, 0x0010, "OB", {1, 2, 3, 0})
                       .Bytes();
    // Colour to lossless JPEG: one interleaved three-component stream.
    const Bytes compressed = Convert(colour, EXPLICIT, LOSSLESS, &error);
    EXPECT_EQ(error, ConvertError::None);
    EXPECT_EQ(Convert(compressed, LOSSLESS, EXPLICIT, &error), colour);
    EXPECT_EQ(error, ConvertError::None);
    Bytes shortPixels = DataSetBuilder(true, false)
                            .Text(0x0028, 0x0004, "CS", "MONOCHROME2 ")
                            .US(0x0028, 0x0010, 4)
                            .US(0x0028, 0x0011, 4)
                            .US(0x0028, 0x0100, 16)
                            .Element(0x7FE0, 0x0010, "OW", {1, 2})
                            .Bytes();
    Convert(shortPixels, EXPLICIT, LOSSLESS, &error);
    EXPECT_EQ(error, ConvertError::MalformedPixelData);
    // A fragment that is no JPEG stream: both codecs say why.
    for (const char* syntax : {LOSSLESS, "1.2.840.10008.1.2.4.50"}) {
        ElementList in = Read(DataSetBuilder(true, false)
                                  .Text(0x0028, 0x0004, "CS", "MONOCHROME2 ")
                                  .US(0x0028, 0x0010, 1)
                                  .US(0x0028, 0x0011, 2)
                                  .US(0x0028, 0x0100, 8)
                                  .Undefined(0x7FE0, 0x0010, "OB")
                                  .ItemWithValue({})
                                  .ItemWithValue({0x12, 0x34})
                                  .SequenceEnd()
                                  .Bytes(),
                              true, false);
        ElementList out;
        std::string detail;
        testing::internal::CaptureStderr();
        EXPECT_EQ(Transcode(out, in, EXPLICIT, syntax, &detail), ConvertError::MalformedPixelData);
        const std::string written = testing::internal::GetCapturedStderr();
        EXPECT_NE(detail.find("Not a JPEG file"), std::string::npos) << syntax << ": " << detail;
        EXPECT_EQ(written, syntax == LOSSLESS ? detail + "\n" : "");
    }
}

TEST(Transcode, LosslessJpegBothWaysWithFramesAndOddFragments) {
    for (uint16_t bits : {uint16_t{8}, uint16_t{16}}) {
        SCOPED_TRACE(bits);
        const uint16_t rows = 3, columns = 5, frames = 2;
        Bytes pixels(std::size_t{rows} * columns * frames * (bits / 8));
        for (std::size_t i = 0; i < pixels.size(); ++i)
            pixels[i] = uint8_t(i * 37 + 11);
        Bytes body = DataSetBuilder(true, false)
                         .Text(0x0028, 0x0004, "CS", "MONOCHROME2 ")
                         .Text(0x0028, 0x0008, "IS", "2 ")
                         .US(0x0028, 0x0010, rows)
                         .US(0x0028, 0x0011, columns)
                         .US(0x0028, 0x0100, bits)
                         .Undefined(0x0088, 0x0200, "SQ")  // an icon with pixels of its own
                         .Item()
                         .US(0x0028, 0x0010, 1)
                         .Element(0x7FE0, 0x0010, "OB", {9, 9})
                         .ItemEnd()
                         .SequenceEnd()
                         .Element(0x7FE0, 0x0010, bits == 8 ? "OB" : "OW", pixels)
                         .Bytes();
        ElementList in = Read(body, true, false);
        ElementList compressed;
        ASSERT_EQ(Transcode(compressed, in, LOSSLESS, EXPLICIT), ConvertError::None);
        // pixel data, empty offset table, one fragment per frame, delimiter
        const std::size_t n = compressed.Size();
        ASSERT_EQ(in.Size() + 4, n);
        EXPECT_EQ(compressed[n - 5]->length, UNDEFINED_LENGTH);
        EXPECT_EQ(std::string(compressed[n - 5]->vr, 2), "OB");
        EXPECT_EQ(compressed[n - 4]->length, 0u);
        for (std::size_t f : {n - 3, n - 2}) {
            const DicomElement* fragment = compressed[f];
            EXPECT_EQ(fragment->length % 2, 0u);
            const Bytes stream = dicomlib::imaging::EncodeLosslessJpeg(
                {pixels.data() + (f - (n - 3)) * rows * columns * (bits / 8),
                 std::size_t{rows} * columns * (bits / 8)},
                columns, rows, bits);
            EXPECT_EQ(fragment->length, stream.size() + stream.size() % 2);
            EXPECT_EQ(0, std::memcmp(fragment->value, stream.data(), stream.size()));
            if (stream.size() % 2) {
                EXPECT_EQ(fragment->value[stream.size()], 0);
            }
        }
        EXPECT_EQ(compressed[n - 1]->element, 0xE0DD);

        ElementList back;
        ASSERT_EQ(Transcode(back, compressed, EXPLICIT, LOSSLESS), ConvertError::None);
        ASSERT_EQ(back.Size(), in.Size());
        const DicomElement* native = back[back.Size() - 1];
        EXPECT_EQ(std::string(native->vr, 2), bits == 8 ? "OB" : "OW");
        ASSERT_EQ(native->length, pixels.size());
        EXPECT_EQ(Bytes(native->value, native->value + native->length), pixels);
        EXPECT_EQ(back[8]->length, 2u);  // the icon was left alone
    }
}

namespace {

constexpr const char* JPEG_LS = "1.2.840.10008.1.2.4.80";
constexpr const char* JPEG_LS_NEAR = "1.2.840.10008.1.2.4.81";  // lossy: encoded whole first
constexpr const char* RLE = "1.2.840.10008.1.2.5";

// Three frames of 128 x 128 16-bit samples, more than a short value gathered whole, with group
// lengths for group 0028 and, when asked, for the pixel data's group.
Bytes MultiFrame(bool pixelGroupLength, Bytes& pixels) {
    pixels.resize(3 * 128 * 128 * 2);
    for (std::size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<uint8_t>(i % 2 != 0 ? (i / 256) % 16 : i * 7 / 3);
    DataSetBuilder b(true, false);
    b.Element(0x0008, 0x0016, "UI", testsupport::PaddedText("1.2.840.10008.5.1.4.1.1.7.3", 0))
        .Element(0x0028, 0x0000, "UL", {38, 0, 0, 0})
        .Text(0x0028, 0x0004, "CS", "MONOCHROME2 ")
        .Text(0x0028, 0x0008, "IS", "3 ")
        .US(0x0028, 0x0010, 128)
        .US(0x0028, 0x0011, 128)
        .US(0x0028, 0x0100, 16);
    if (pixelGroupLength) b.Element(0x7FE0, 0x0000, "UL", {0, 0, 0, 0});
    return b.Element(0x7FE0, 0x0010, "OW", pixels).Bytes();
}

// The top-level elements' tags in order and the text of the lossy compression attributes.
struct Outcome {
    std::vector<std::pair<uint16_t, uint16_t>> tags;
    std::string lossy, ratios, methods;
    std::vector<const DicomElement*> fragments;
};

Outcome Examine(const ElementList& list) {
    Outcome o;
    int depth = 0;
    for (const DicomElement* e : list) {
        const bool delimiter = e->group == 0xFFFE && e->element != 0xE000;
        if (delimiter) --depth;
        if (depth == 0 && e->group != 0xFFFE) o.tags.emplace_back(e->group, e->element);
        if (depth == 1 && e->group == 0xFFFE && e->element == 0xE000) o.fragments.push_back(e);
        const std::string text(reinterpret_cast<const char*>(e->value),
                               HasValue(*e) ? e->length : 0);
        if (depth == 0 && e->group == 0x0028 && e->element == 0x2110) o.lossy = text;
        if (depth == 0 && e->group == 0x0028 && e->element == 0x2112) o.ratios = text;
        if (depth == 0 && e->group == 0x0028 && e->element == 0x2114) o.methods = text;
        if (!delimiter && e->length == UNDEFINED_LENGTH) ++depth;
    }
    if (!o.fragments.empty()) o.fragments.erase(o.fragments.begin());  // the offset table
    return o;
}

std::string RatioText(std::size_t native, const Outcome& o) {
    std::size_t stored = 0;
    for (const DicomElement* f : o.fragments)
        stored += f->length;
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", double(native) / double(stored));
    return text;
}

}  // namespace

TEST(ConvertFile, FrameByFrameFromTheFileGivesTheBytesOfTheConversionInMemory) {
    testsupport::TempDir dir;
    for (bool pixelGroupLength : {false, true}) {
        Bytes pixels;
        const Bytes body = MultiFrame(pixelGroupLength, pixels);
        const auto source = dir / "source.dcm";
        testsupport::WriteFileBytes(source, testsupport::Part10File(EXPLICIT, body));
        for (const char* target : {JPEG_LS, LOSSLESS, RLE, BIG, IMPLICIT, JPEG_LS_NEAR}) {
            SCOPED_TRACE(std::string(target) + (pixelGroupLength ? " with (7FE0,0000)" : ""));
            // The same conversion of the list held in memory, written whole.
            ElementList in = Read(body, true, false), out, meta;
            ASSERT_EQ(Transcode(out, in, target, EXPLICIT), ConvertError::None);
            BuildMetaHeader(meta, "1.2.840.10008.5.1.4.1.1.7.3", "", target);
            const DataSetEncoding encoding = EncodingOf(target);
            ASSERT_TRUE(WritePart10File(dir / "expected.dcm", &meta, out, encoding.explicitVr,
                                        encoding.bigEndian));
            ASSERT_EQ(ConvertFile(dir / "converted.dcm", source, target),
                      FileConvertStatus::Converted);
            EXPECT_EQ(testsupport::ReadFileBytes(dir / "converted.dcm"),
                      testsupport::ReadFileBytes(dir / "expected.dcm"));
            // And back, the pixels as they were, or marked as lossy.
            ASSERT_EQ(ConvertFile(dir / "back.dcm", dir / "converted.dcm", EXPLICIT),
                      FileConvertStatus::Converted);
            DecoderState state;
            ElementList backMeta, back;
            ASSERT_TRUE(ReadPart10File(state, dir / "back.dcm", backMeta, back));
            if (target == JPEG_LS_NEAR) {
                EXPECT_EQ(GetTagString(back, 0x0028, 0x2110), "01");
                continue;
            }
            ValueView value(*FindTag(back, 0x7FE0, 0x0010));
            EXPECT_EQ(Bytes(value.Bytes().begin(), value.Bytes().end()), pixels);
        }
    }
}

TEST(ConvertFile, AFrameThatDoesNotDecodeAfterTheFirstLeavesNoFile) {
    testsupport::TempDir dir;
    const Bytes frame = {1, 2, 3, 4, 5, 6};
    Bytes stream = dicomlib::imaging::EncodeLosslessJpeg(frame, 3, 2, 8);
    if (stream.size() % 2 != 0) stream.push_back(0);
    const Bytes body = DataSetBuilder(true, false)
                           .Text(0x0028, 0x0004, "CS", "MONOCHROME2 ")
                           .Text(0x0028, 0x0008, "IS", "2 ")
                           .US(0x0028, 0x0010, 2)
                           .US(0x0028, 0x0011, 3)
                           .US(0x0028, 0x0100, 8)
                           .Undefined(0x7FE0, 0x0010, "OB")
                           .ItemWithValue({})
                           .ItemWithValue(stream)
                           .ItemWithValue({0xFF, 0xD8, 0xFF, 0xD9})  // no frame in it
                           .SequenceEnd()
                           .Bytes();
    testsupport::WriteFileBytes(dir / "in.dcm", testsupport::Part10File(LOSSLESS, body));
    testing::internal::CaptureStderr();
    EXPECT_EQ(ConvertFile(dir / "out.dcm", dir / "in.dcm", EXPLICIT),
              FileConvertStatus::MalformedData);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

// Every lossy encoding says so: Lossy Image Compression "01", its ratio and its method, put in
// tag order among the top-level elements, and appended to those of an earlier lossy encoding;
// lossless ones add nothing.
TEST(Transcode, LossyEncodingsRecordTheirRatioAndMethod) {
    const uint16_t size = 64;
    Bytes pixels(std::size_t{size} * size * 2);
    for (std::size_t i = 0; i < pixels.size() / 2; ++i) {
        const auto v =
            uint16_t(2048 + 900 * std::sin(double(i % size) / 7) + double((i * 7919) % 97));
        pixels[2 * i] = uint8_t(v);
        pixels[2 * i + 1] = uint8_t(v >> 8);
    }
    const auto body = [&](const char* lossyBefore) {
        DataSetBuilder b(true, false);
        b.Text(0x0028, 0x0004, "CS", "MONOCHROME2 ")
            .US(0x0028, 0x0010, size)
            .US(0x0028, 0x0011, size)
            .US(0x0028, 0x0100, 16)
            .US(0x0028, 0x0101, 12);
        if (lossyBefore != nullptr) b.Text(0x0028, 0x2110, "CS", lossyBefore);
        return b.Text(0x0040, 0x0007, "LO", "STEP").Element(0x7FE0, 0x0010, "OW", pixels).Bytes();
    };
    struct Target {
        const char* uid;
        const char* method;  // null for a lossless one
    };
    for (const Target& t :
         {Target{"1.2.840.10008.1.2.4.81", "ISO_14495_1"},
          Target{"1.2.840.10008.1.2.4.91", "ISO_15444_1"},
          Target{"1.2.840.10008.1.2.4.112", "ISO_18181_1"},
          Target{"1.2.840.10008.1.2.4.203", "ISO_15444_15"},
          Target{"1.2.840.10008.1.2.4.90", nullptr}, Target{"1.2.840.10008.1.2.4.110", nullptr},
          Target{"1.2.840.10008.1.2.4.201", nullptr}}) {
        SCOPED_TRACE(t.uid);
        for (const char* before : {static_cast<const char*>(nullptr), "00"}) {
            ElementList in = Read(body(before), true, false);
            ElementList out;
            ASSERT_EQ(Transcode(out, in, t.uid, EXPLICIT), ConvertError::None);
            const Outcome o = Examine(out);
            EXPECT_TRUE(std::is_sorted(o.tags.begin(), o.tags.end()));
            if (t.method == nullptr) {
                EXPECT_EQ(o.lossy, before == nullptr ? "" : "00");
                EXPECT_EQ(o.ratios + o.methods, "");
                continue;
            }
            EXPECT_EQ(o.lossy, "01");
            std::string ratio = RatioText(pixels.size(), o);
            if (ratio.size() % 2 != 0) ratio += ' ';
            EXPECT_EQ(o.ratios, ratio);
            EXPECT_EQ(o.methods, std::string(t.method) + (std::strlen(t.method) % 2 ? " " : ""));
        }
    }
    // Lossy twice: both compressions are listed, oldest first.
    ElementList in = Read(body(nullptr), true, false);
    ElementList once, twice;
    ASSERT_EQ(Transcode(once, in, "1.2.840.10008.1.2.4.91", EXPLICIT), ConvertError::None);
    ASSERT_EQ(Transcode(twice, once, "1.2.840.10008.1.2.4.203", "1.2.840.10008.1.2.4.91"),
              ConvertError::None);
    const Outcome first = Examine(once), second = Examine(twice);
    EXPECT_EQ(second.ratios.substr(0, second.ratios.find('\\')),
              first.ratios.substr(0, first.ratios.find(' ')));
    EXPECT_EQ(second.ratios.find('\\') + 1 + RatioText(pixels.size(), second).size(),
              second.ratios.find_last_not_of(' ') + 1);
    EXPECT_EQ(second.methods, "ISO_15444_1\\ISO_15444_15");
}

// A baseline JPEG recompressed as JPEG XL gives back the very bytes of every frame's JPEG
// stream; decoded, it gives the JPEG's very pixels. Only JPEG pixel data is recompressed so.
TEST(Transcode, JpegRecompressionGivesBackEveryJpegByte) {
    constexpr const char* BASELINE = "1.2.840.10008.1.2.4.50";
    constexpr const char* RECOMPRESSED = "1.2.840.10008.1.2.4.111";
    for (int components : {1, 3}) {
        SCOPED_TRACE(components);
        const uint16_t rows = 24, columns = 40;
        std::vector<Bytes> jpegs;
        DataSetBuilder b(true, false);
        b.Text(0x0028, 0x0004, "CS", components == 1 ? "MONOCHROME2 " : "YBR_FULL")
            .US(0x0028, 0x0002, uint16_t(components))
            .Text(0x0028, 0x0008, "IS", "2 ")
            .US(0x0028, 0x0010, rows)
            .US(0x0028, 0x0011, columns)
            .US(0x0028, 0x0100, 8)
            .Undefined(0x7FE0, 0x0010, "OB")
            .ItemWithValue({});
        for (int frame = 0; frame < 2; ++frame) {
            Bytes pixels(std::size_t{rows} * columns * components);
            for (std::size_t i = 0; i < pixels.size(); ++i)
                pixels[i] = uint8_t(i * (frame + 3) + (i / 40) * 9);
            jpegs.push_back(testsupport::JpegBytes(pixels, columns, rows, components));
            Bytes even = jpegs.back();
            if (even.size() % 2 != 0) even.push_back(0);
            b.ItemWithValue(even);
        }
        ElementList jpeg = Read(b.SequenceEnd().Bytes(), true, false);
        ElementList jxl, back, fromJpeg, fromJxl;
        ASSERT_EQ(Transcode(jxl, jpeg, RECOMPRESSED, BASELINE), ConvertError::None);
        ASSERT_EQ(Transcode(back, jxl, BASELINE, RECOMPRESSED), ConvertError::None);
        const Outcome o = Examine(back);
        ASSERT_EQ(o.fragments.size(), 2u);
        for (std::size_t f = 0; f < 2; ++f) {
            EXPECT_LT(Examine(jxl).fragments[f]->length, jpegs[f].size());
            Bytes got(o.fragments[f]->value, o.fragments[f]->value + o.fragments[f]->length);
            got.resize(jpegs[f].size());
            EXPECT_EQ(got, jpegs[f]);
        }
        ASSERT_EQ(Transcode(fromJpeg, jpeg, EXPLICIT, BASELINE), ConvertError::None);
        ASSERT_EQ(Transcode(fromJxl, jxl, EXPLICIT, RECOMPRESSED), ConvertError::None);
        const DicomElement* a = FindTag(fromJpeg, dicomlib::tag::PixelData);
        const DicomElement* c = FindTag(fromJxl, dicomlib::tag::PixelData);
        ASSERT_EQ(a->length, c->length);
        EXPECT_EQ(0, std::memcmp(a->value, c->value, a->length));
        EXPECT_EQ(GetTagString(fromJxl, dicomlib::tag::PhotometricInterpretation),
                  components == 1 ? "MONOCHROME2" : "RGB");
    }
    // Pixels that were never JPEG, and JPEG XL that keeps no JPEG, are refused with the reason.
    ElementList native = Read(Sample(true, false), true, false);
    ElementList out, lossless, refused;
    std::string detail;
    EXPECT_EQ(Transcode(out, native, RECOMPRESSED, EXPLICIT, &detail),
              ConvertError::UnknownTargetSyntax);
    EXPECT_EQ(detail, "JPEG XL JPEG recompression is made from JPEG baseline pixel data only");
    ASSERT_EQ(Transcode(lossless, native, "1.2.840.10008.1.2.4.110", EXPLICIT), ConvertError::None);
    EXPECT_EQ(Transcode(refused, lossless, BASELINE, RECOMPRESSED, &detail),
              ConvertError::MalformedPixelData);
    EXPECT_EQ(detail, "the JPEG XL stream keeps no JPEG stream to give back");
    EXPECT_EQ(Transcode(refused, lossless, BASELINE, "1.2.840.10008.1.2.4.110", &detail),
              ConvertError::UnknownTargetSyntax);
    EXPECT_EQ(detail,
              "baseline JPEG is read, and written only back from its JPEG XL recompression");
}
