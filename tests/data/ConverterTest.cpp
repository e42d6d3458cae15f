#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "data/Converter.h"
#include "data/Datadec.h"
#include "data/Encoder.h"
#include "data/Part10File.h"
#include "data/TransferSyntax.h"
#include "imaging/LosslessJpeg.h"
#include "support/DataSetBuilder.h"
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
    Convert(Sample(true, false), EXPLICIT, "1.2.840.10008.1.2.4.201", &error);
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

}  // namespace

TEST(ConvertFile, FrameByFrameFromTheFileGivesTheBytesOfTheConversionInMemory) {
    testsupport::TempDir dir;
    for (bool pixelGroupLength : {false, true}) {
        Bytes pixels;
        const Bytes body = MultiFrame(pixelGroupLength, pixels);
        const auto source = dir / "source.dcm";
        testsupport::WriteFileBytes(source, testsupport::Part10File(EXPLICIT, body));
        for (const char* target : {JPEG_LS, LOSSLESS, RLE, BIG, IMPLICIT}) {
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
            // And back, the pixels as they were.
            ASSERT_EQ(ConvertFile(dir / "back.dcm", dir / "converted.dcm", EXPLICIT),
                      FileConvertStatus::Converted);
            DecoderState state;
            ElementList backMeta, back;
            ASSERT_TRUE(ReadPart10File(state, dir / "back.dcm", backMeta, back));
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
