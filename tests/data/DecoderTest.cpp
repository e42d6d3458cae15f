#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "data/Datadec.h"
#include "data/Dump.h"
#include "data/Encoder.h"
#include "data/Part10File.h"
#include "support/DataSetBuilder.h"
#include "support/TestSupport.h"
#include "zedavura.h"

using namespace dicomlib::data;
using testsupport::DataSetBuilder;
using testsupport::Part10File;

namespace {

constexpr const char* IMPLICIT = "1.2.840.10008.1.2";
constexpr const char* EXPLICIT = "1.2.840.10008.1.2.1";
constexpr const char* BIG = "1.2.840.10008.1.2.2";

std::string Vr(const DicomElement* e) {
    return std::string(e->vr, e->vr[0] ? 2 : 0);
}

std::string Value(const DicomElement* e) {
    return e->value ? std::string(reinterpret_cast<const char*>(e->value), e->length) : "";
}

struct Decoded {
    bool ok = false;
    DecoderState state;
    ElementList meta;
    ElementList data;
};

Decoded Decode(const std::vector<uint8_t>& file) {
    Decoded d;
    d.ok = ReadPart10Bytes(d.state, file, d.meta, d.data);
    return d;
}

std::vector<uint8_t> SampleBody(bool explicitVr, bool bigEndian) {
    DataSetBuilder b(explicitVr, bigEndian);
    b.Text(0x0008, 0x0060, "CS", "MR")
        .Text(0x0010, 0x0010, "PN", "DOE^JOHN")
        .US(0x0028, 0x0010, 512)
        .Undefined(0x0040, 0x0100, "SQ")
        .Item()
        .Text(0x0040, 0x0001, "AE", "STATION1")
        .ItemEnd()
        .SequenceEnd()
        .Text(0x0040, 0xA160, "UT", "free text");
    return b.Bytes();
}

}  // namespace

TEST(ReadPart10File, SplitsMetaAndBodyInEachSyntax) {
    struct Case {
        const char* syntax;
        bool explicitVr;
        bool bigEndian;
    };
    for (const Case c :
         {Case{EXPLICIT, true, false}, Case{IMPLICIT, false, false}, Case{BIG, true, true}}) {
        SCOPED_TRACE(c.syntax);
        auto d = Decode(Part10File(c.syntax, SampleBody(c.explicitVr, c.bigEndian)));
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(d.state.explicitVr, c.explicitVr ? 1 : 0);
        EXPECT_EQ(d.state.bigEndian, c.bigEndian ? 1 : 0);
        ASSERT_EQ(d.meta.Size(), 6u);
        EXPECT_EQ(Vr(d.meta[0]), "UL");
        EXPECT_EQ(Vr(d.meta[1]), "OB");
        ASSERT_EQ(d.data.Size(), 9u);
        EXPECT_EQ(d.data[0]->group, 0x0008);
        EXPECT_EQ(Value(d.data[1]), "DOE^JOHN");
        // Values keep the byte order of their stream.
        const uint8_t* rows = d.data[2]->value;
        EXPECT_EQ(c.bigEndian ? rows[0] << 8 | rows[1] : rows[1] << 8 | rows[0], 512);
        EXPECT_EQ(d.data[3]->length, UNDEFINED_LENGTH);
        EXPECT_EQ(Vr(d.data[3]), c.explicitVr ? "SQ" : "");
        EXPECT_EQ(d.data[4]->element, 0xE000);
        EXPECT_EQ(Vr(d.data[4]), "");  // items never carry a VR in the stream
        EXPECT_EQ(Value(d.data[5]), "STATION1");
        EXPECT_EQ(d.data[6]->element, 0xE00D);
        EXPECT_EQ(d.data[7]->element, 0xE0DD);
        EXPECT_EQ(Value(d.data[8]), "free text");  // UT took the long form
    }
}

TEST(ReadPart10File, EveryLongFormVrIsReadWithAFourByteLength) {
    DataSetBuilder b(true, false);
    std::vector<uint8_t> big(70000, 0x41);
    for (const char* vr :
         {"OB", "OD", "OF", "OL", "OV", "OW", "SV", "UC", "UN", "UR", "UT", "UV"}) {
        b.Element(0x0009, 0x1000, vr, big);
    }
    b.Text(0x0010, 0x0020, "LO", "ID");
    auto d = Decode(Part10File(EXPLICIT, b.Bytes()));
    ASSERT_TRUE(d.ok);
    ASSERT_EQ(d.data.Size(), 13u);
    for (std::size_t i = 0; i < 12; ++i)
        EXPECT_EQ(d.data[i]->length, 70000u) << Vr(d.data[i]);
    EXPECT_EQ(Value(d.data[12]), "ID");
}

TEST(ReadPart10File, ImplicitMetaGroupIsRecognised) {
    DataSetBuilder meta(false, false);
    meta.Element(0x0002, 0x0000, "", {26, 0, 0, 0})
        .Element(0x0002, 0x0001, "", {0x00, 0x01})
        .Element(0x0002, 0x0010, "", testsupport::PaddedText(EXPLICIT, 0));
    std::vector<uint8_t> file(128, 0);
    file.insert(file.end(), {'D', 'I', 'C', 'M'});
    file.insert(file.end(), meta.Bytes().begin(), meta.Bytes().end());
    DataSetBuilder body(false, false);
    body.Text(0x0010, 0x0020, "", "ID01").Text(0x0008, 0x0060, "", "CT");
    file.insert(file.end(), body.Bytes().begin(), body.Bytes().end());

    auto d = Decode(file);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.state.explicitVr, 0);  // the whole rest is implicit, whatever (0002,0010) says
    ASSERT_EQ(d.meta.Size(), 3u);
    EXPECT_EQ(d.meta[0]->length, 4u);
    EXPECT_EQ(Vr(d.meta[0]), "UL");
    EXPECT_EQ(Vr(d.meta[1]), "OB");
    EXPECT_EQ(Vr(d.meta[2]), "UI");
    ASSERT_EQ(d.data.Size(), 2u);
    EXPECT_EQ(Value(d.data[0]), "ID01");
    EXPECT_EQ(Vr(d.data[0]), "");
}

TEST(ReadPart10File, TransferSyntaxRules) {
    // The transfer syntax as the last meta element still decides the body's syntax.
    DataSetBuilder meta(true, false);
    meta.Element(0x0002, 0x0001, "OB", {0, 1})
        .Element(0x0002, 0x0010, "UI", testsupport::PaddedText(IMPLICIT, 0));
    const uint32_t len = static_cast<uint32_t>(meta.Bytes().size());
    std::vector<uint8_t> file(128, 0);
    file.insert(file.end(),
                {'D', 'I', 'C', 'M', 2, 0, 0, 0, 'U', 'L', 4, 0, uint8_t(len), 0, 0, 0});
    file.insert(file.end(), meta.Bytes().begin(), meta.Bytes().end());
    DataSetBuilder body(false, false);
    body.Text(0x0010, 0x0020, "", "ID01");
    file.insert(file.end(), body.Bytes().begin(), body.Bytes().end());
    auto d = Decode(file);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.state.explicitVr, 0);
    ASSERT_EQ(d.data.Size(), 1u);
    EXPECT_EQ(Value(d.data[0]), "ID01");

    // A space pad is not a NUL pad: the UID is not recognised and the body reads explicit.
    auto spaced = Decode(Part10File("1.2.840.10008.1.2 ", SampleBody(true, false)));
    ASSERT_TRUE(spaced.ok);
    EXPECT_EQ(spaced.state.explicitVr, 1);
    // Encapsulated syntaxes read their body as explicit little endian.
    auto jpeg = Decode(Part10File("1.2.840.10008.1.2.4.70", SampleBody(true, false)));
    ASSERT_TRUE(jpeg.ok);
    EXPECT_EQ(jpeg.data.Size(), 9u);
}

TEST(ReadPart10File, DamagedAndHostileFiles) {
    const auto good = Part10File(EXPLICIT, SampleBody(true, false));
    // No preamble.
    EXPECT_FALSE(Decode(SampleBody(true, false)).ok);
    // One byte short of the last value: accepted, declared length kept, the missing byte 0.
    auto oneShort = good;
    oneShort.pop_back();
    auto d = Decode(oneShort);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.data[8]->length, 9u);
    EXPECT_EQ(Value(d.data[8]), std::string("free tex\0", 9));
    // Two bytes short: refused.
    auto twoShort = oneShort;
    twoShort.pop_back();
    EXPECT_FALSE(Decode(twoShort).ok);
    // Ending inside an element header: refused.
    auto cut = good;
    cut.insert(cut.end(), {0x10, 0x00, 0x20});
    EXPECT_FALSE(Decode(cut).ok);
    // A length far beyond the input is refused before anything is allocated for it.
    DataSetBuilder hostile(true, false);
    hostile.Header(0x7FE0, 0x0010, "OB", 0xFFFFFFF0).Raw({1, 2, 3});
    EXPECT_FALSE(Decode(Part10File(EXPLICIT, hostile.Bytes())).ok);
    // Every truncation fails or succeeds cleanly.
    for (std::size_t n = 0; n < good.size(); ++n) {
        std::vector<uint8_t> part(good.begin(), good.begin() + static_cast<long>(n));
        Decode(part);
    }
    // Missing file.
    DecoderState state;
    ElementList meta, data;
    EXPECT_FALSE(ReadPart10File(state, "/nonexistent/file.dcm", meta, data));
}

TEST(ReadPart10File, UndefinedLengthUnknownVrHoldsImplicitItems) {
    DataSetBuilder inner(false, false);
    inner.Item()
        .Text(0x0008, 0x0100, "", "CODE01")
        .Undefined(0x0009, 0x1001, "")  // a nested private sequence, implicit
        .Item()
        .Text(0x0009, 0x1002, "", "XY")
        .ItemEnd()
        .SequenceEnd()
        .ItemEnd()
        .SequenceEnd();
    DataSetBuilder b(true, false);
    b.Undefined(0x0009, 0x1010, "UN").Raw(inner.Bytes()).Text(0x0010, 0x0020, "LO", "AFTER");
    auto d = Decode(Part10File(EXPLICIT, b.Bytes()));
    ASSERT_TRUE(d.ok);
    ASSERT_EQ(d.data.Size(), 11u);
    EXPECT_EQ(Vr(d.data[0]), "SQ");
    EXPECT_EQ(Vr(d.data[2]), "SH");  // typed from the dictionary
    EXPECT_EQ(Value(d.data[2]), "CODE01");
    EXPECT_EQ(Vr(d.data[3]), "UN");
    EXPECT_EQ(Value(d.data[5]), "XY");
    EXPECT_EQ(d.data[9]->element, 0xE0DD);
    EXPECT_EQ(Value(d.data[10]), "AFTER");  // explicit again after the closing delimiter
    EXPECT_EQ(Vr(d.data[10]), "LO");
    EXPECT_EQ(d.state.explicitVr, 1);
}

TEST(ReadPart10Header, StopsAtPixelDataAndKeepsMetaInFront) {
    DataSetBuilder b(true, false);
    b.Text(0x0008, 0x0060, "CS", "CT").Element(0x7FE0, 0x0010, "OW", {1, 2, 3, 4});
    ElementList list;
    ASSERT_TRUE(ReadPart10Header(Part10File(EXPLICIT, b.Bytes()), list));
    ASSERT_EQ(list.Size(), 7u);
    EXPECT_EQ(list[0]->group, 0x0002);
    EXPECT_EQ(list[6]->group, 0x0008);
    ElementList none;
    EXPECT_FALSE(ReadPart10Header(b.Bytes(), none));
}

TEST(ExpandSequence, OpensNestedDefinedLengthContainers) {
    for (bool explicitVr : {true, false}) {
        SCOPED_TRACE(explicitVr);
        DataSetBuilder item1(explicitVr, false), item2(explicitVr, false),
            nested(explicitVr, false);
        nested.ItemWithValue(
            DataSetBuilder(explicitVr, false).Text(0x0008, 0x0104, "LO", "MEAN").Bytes());
        item1.Text(0x0008, 0x0100, "SH", "C1").Element(0x0040, 0xA043, "SQ", nested.Bytes());
        item2.Text(0x0008, 0x0100, "SH", "C2");
        DataSetBuilder seq(explicitVr, false);
        seq.ItemWithValue(item1.Bytes()).ItemWithValue(item2.Bytes());
        const auto& value = seq.Bytes();
        DicomElement sq{0x0040,
                        0x0100,
                        {'S', 'Q'},
                        static_cast<uint32_t>(value.size()),
                        const_cast<uint8_t*>(value.data())};
        DecoderState state{static_cast<uint8_t>(explicitVr), 0, 0};
        ElementList out;
        ASSERT_TRUE(ExpandSequence(state, sq, out));
        std::vector<std::pair<uint16_t, uint16_t>> tags;
        for (auto* e : out)
            tags.emplace_back(e->group, e->element);
        std::vector<std::pair<uint16_t, uint16_t>> expected = {
            {0x0040, 0x0100}, {0xFFFE, 0xE000}, {0x0008, 0x0100}};
        if (explicitVr) {
            // The nested SQ is recognised by its VR and opened too.
            expected.insert(expected.end(), {{0x0040, 0xA043},
                                             {0xFFFE, 0xE000},
                                             {0x0008, 0x0104},
                                             {0xFFFE, 0xE00D},
                                             {0xFFFE, 0xE0DD}});
        } else {
            expected.push_back({0x0040, 0xA043});  // without a VR it stays one element
        }
        expected.insert(expected.end(), {{0xFFFE, 0xE00D},
                                         {0xFFFE, 0xE000},
                                         {0x0008, 0x0100},
                                         {0xFFFE, 0xE00D},
                                         {0xFFFE, 0xE0DD}});
        EXPECT_EQ(tags, expected);
        EXPECT_EQ(out[0]->length, UNDEFINED_LENGTH);
        EXPECT_EQ(out[1]->length, UNDEFINED_LENGTH);
    }
}

TEST(ExpandSequence, RefusesMalformedAndTooDeepValues) {
    // An inner length beyond the value.
    DataSetBuilder bad(true, false);
    bad.Header(0xFFFE, 0xE000, "", 100).Raw({1, 2, 3, 4});
    DicomElement sq{0x0040,
                    0x0100,
                    {'S', 'Q'},
                    static_cast<uint32_t>(bad.Bytes().size()),
                    const_cast<uint8_t*>(bad.Bytes().data())};
    ElementList out;
    EXPECT_FALSE(ExpandSequence(DecoderState{1, 0, 0}, sq, out));
    EXPECT_EQ(out[out.Size() - 1]->element, 0xE0DD);  // the flat form stays closed

    // Items nested far deeper than any real file.
    std::vector<uint8_t> value = DataSetBuilder(false, false).Text(0x0008, 0x0100, "", "X").Bytes();
    for (int i = 0; i < 200; ++i)
        value = DataSetBuilder(false, false).ItemWithValue(value).Bytes();
    DicomElement deep{
        0x0040, 0x0100, {'S', 'Q'}, static_cast<uint32_t>(value.size()), value.data()};
    ElementList deepOut;
    EXPECT_FALSE(ExpandSequence(DecoderState{0, 0, 0}, deep, deepOut));
}

namespace {

// Pixel data, a large private value and a short one, then encapsulated pixel data of an icon in
// a sequence: what a file read leaves in the file and what it reads.
std::vector<uint8_t> BodyWithLargeValues(std::vector<uint8_t>& pixels) {
    pixels.resize(10002);
    for (std::size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<uint8_t>(i * 13 + 1);
    std::vector<uint8_t> large(DEFERRED_VALUE_SIZE + 2, 0x5A);
    return DataSetBuilder(true, false)
        .Text(0x0010, 0x0010, "PN", "DOE^JOHN")
        .Element(0x0009, 0x1010, "OB", large)
        .Element(0x0009, 0x1011, "OB", {1, 2, 3, 4})
        .Undefined(0x0088, 0x0200, "SQ")
        .Item()
        .Undefined(0x7FE0, 0x0010, "OB")
        .ItemWithValue({})
        .ItemWithValue({'J', 'P', 'E', 'G'})
        .SequenceEnd()
        .ItemEnd()
        .SequenceEnd()
        .Element(0x7FE0, 0x0010, "OW", pixels)
        .Bytes();
}

}  // namespace

TEST(ReadPart10File, LeavesPixelDataAndLargeValuesInTheFileAndReadsThemBackExactly) {
    testsupport::TempDir dir;
    std::vector<uint8_t> pixels;
    const auto body = BodyWithLargeValues(pixels);
    const auto file = dir / "large.dcm";
    testsupport::WriteFileBytes(file, Part10File(EXPLICIT, body));
    DecoderState state;
    ElementList meta, data;
    ASSERT_TRUE(ReadPart10File(state, file, meta, data));
    ASSERT_EQ(data.Size(), 12u);
    std::string deferred;
    for (const DicomElement* e : data)
        deferred += IsDeferred(*e) ? 'D' : '-';
    EXPECT_EQ(deferred, "-D-----D---D");  // the large value, the fragments, the pixel data
    std::vector<uint8_t> part(16);
    ASSERT_TRUE(ReadValueBytes(*data[11], 9986, part));
    EXPECT_EQ(part, std::vector<uint8_t>(pixels.end() - 16, pixels.end()));
    EXPECT_FALSE(ReadValueBytes(*data[11], 9990, part));  // past the value's end

    // The writers and the dump read what they need from the file: the same bytes and lines as
    // the list read into memory.
    EXPECT_EQ(EncodeList(data, true), body);
    Decoded inMemory = Decode(Part10File(EXPLICIT, body));
    std::vector<std::string> lines, expected;
    DumpTagsToMemo(
        data, [&](const std::string& l) { lines.push_back(l); }, true);
    DumpTagsToMemo(
        inMemory.data, [&](const std::string& l) { expected.push_back(l); }, true);
    EXPECT_EQ(lines, expected);
    ElementList copy;
    CopyTags(copy, data);
    EXPECT_TRUE(IsDeferred(*copy[11]));
    ASSERT_TRUE(LoadValue(*copy[11]));
    EXPECT_EQ(std::vector<uint8_t>(copy[11]->value, copy[11]->value + copy[11]->length), pixels);
    EXPECT_TRUE(IsDeferred(*data[11]));
}

TEST(ReadPart10File, CutPixelDataFailsAsBeforeAndAFileCutLaterFailsWithoutAReadPastItsEnd) {
    testsupport::TempDir dir;
    std::vector<uint8_t> pixels;
    const auto whole = Part10File(EXPLICIT, BodyWithLargeValues(pixels));
    const auto file = dir / "cut.dcm";
    DecoderState state;
    for (std::size_t cut : {2, 1}) {
        SCOPED_TRACE(cut);
        testsupport::WriteFileBytes(file, {whole.begin(), whole.end() - static_cast<long>(cut)});
        ElementList meta, data;
        EXPECT_EQ(ReadPart10File(state, file, meta, data), cut == 1);
        if (cut == 2) continue;
        // One byte short: the declared length is kept and the missing byte reads as 0.
        ASSERT_TRUE(LoadValue(*data[11]));
        EXPECT_EQ(data[11]->length, pixels.size());
        EXPECT_EQ(data[11]->value[pixels.size() - 1], 0);
        EXPECT_EQ(data[11]->value[pixels.size() - 2], pixels[pixels.size() - 2]);
    }

    // Cut in place after it was read: its values cannot be read any more, and nothing is made
    // of them. A file put in its place under the same name is not what the list reads.
    testsupport::WriteFileBytes(file, whole);
    ElementList meta, data;
    ASSERT_TRUE(ReadPart10File(state, file, meta, data));
    std::filesystem::resize_file(file, whole.size() - 5000);
    std::vector<uint8_t> part(16);
    EXPECT_TRUE(ReadValueBytes(*data[11], 0, part));
    EXPECT_FALSE(ReadValueBytes(*data[11], pixels.size() - 16, part));
    EXPECT_EQ(TagAt(&data, 11), nullptr);
    EXPECT_NE(TagAt(&data, 1), nullptr);  // the large value lies before the cut
    EXPECT_FALSE(WritePart10File(dir / "copy.dcm", &meta, data, true));
    EXPECT_FALSE(std::filesystem::exists(dir / "copy.dcm"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);

    testsupport::WriteFileBytes(dir / "new.dcm", whole);
    std::filesystem::rename(dir / "new.dcm", file);
    EXPECT_FALSE(ReadValueBytes(*data[11], pixels.size() - 16, part));
    // TagHeaderAt gives the element as it is.
    EXPECT_EQ(TagHeaderAt(&data, 11)->value, nullptr);
    EXPECT_EQ(TagHeaderAt(&data, 11)->length, pixels.size());
}
