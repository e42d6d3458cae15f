#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "data/Encoder.h"
#include "support/DataSetBuilder.h"

using namespace dicomlib::data;
using testsupport::DataSetBuilder;
using Bytes = std::vector<uint8_t>;

namespace {

DicomElement* Elem(uint16_t g, uint16_t e, const char* vr, const std::string& value) {
    return NewElement(g, e, static_cast<uint32_t>(value.size()), value.data(), vr);
}

DicomElement* Marker(uint16_t e, uint32_t length = 0) {
    return NewElement(0xFFFE, e, length, nullptr, nullptr);
}

}  // namespace

TEST(WriteTagsToBuffer, HeaderFormsByte) {
    ElementList list;
    list.Append(Elem(0x0002, 0x0010, "UI", std::string("1.2\0", 4)));
    list.Append(Elem(0x0010, 0x0010, "PN", "AB"));
    list.Append(Elem(0x0040, 0xA160, "UT", "xy"));
    list.Append(NewElement(0x0040, 0x0100, UNDEFINED_LENGTH, nullptr, nullptr));  // from implicit
    list.Append(Marker(0xE000, UNDEFINED_LENGTH));
    list.Append(Marker(0xE00D));
    list.Append(Marker(0xE0DD));
    // clang-format off
    const Bytes explicitLe = {
        0x02, 0x00, 0x10, 0x00, 'U', 'I', 4, 0, '1', '.', '2', 0,         // meta: always explicit
        0x10, 0x00, 0x10, 0x00, 'P', 'N', 2, 0, 'A', 'B',                 // short form
        0x40, 0x00, 0x60, 0xA1, 'U', 'T', 0, 0, 2, 0, 0, 0, 'x', 'y',     // long form
        0x40, 0x00, 0x00, 0x01, 'S', 'Q', 0, 0, 0xFF, 0xFF, 0xFF, 0xFF,   // VR from the dictionary
        0xFE, 0xFF, 0x00, 0xE0, 0xFF, 0xFF, 0xFF, 0xFF,                   // items: tag and length
        0xFE, 0xFF, 0x0D, 0xE0, 0, 0, 0, 0,
        0xFE, 0xFF, 0xDD, 0xE0, 0, 0, 0, 0,
    };
    const Bytes implicitBe = {
        0x02, 0x00, 0x10, 0x00, 'U', 'I', 4, 0, '1', '.', '2', 0,
        0x00, 0x10, 0x00, 0x10, 0, 0, 0, 2, 'A', 'B',
        0x00, 0x40, 0xA1, 0x60, 0, 0, 0, 2, 'x', 'y',
        0x00, 0x40, 0x01, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,
        0xFF, 0xFE, 0xE0, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,
        0xFF, 0xFE, 0xE0, 0x0D, 0, 0, 0, 0,
        0xFF, 0xFE, 0xE0, 0xDD, 0, 0, 0, 0,
    };
    // clang-format on
    EXPECT_EQ(EncodeList(list, true), explicitLe);
    EXPECT_EQ(EncodedListLength(list, true), explicitLe.size());
    EXPECT_EQ(EncodeList(list, false, true), implicitBe);
    EXPECT_EQ(EncodedListLength(list, false), implicitBe.size());
}

TEST(WriteTagsToBuffer, NeverWritesPastItsBuffer) {
    ElementList list;
    list.Append(Elem(0x0010, 0x0020, "LO", "PATIENT1"));
    list.Append(Elem(0x0008, 0x0060, "CS", "CT"));
    Bytes exact(EncodedListLength(list, true));
    std::fflush(stderr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(WriteTagsToBuffer(list, exact.data(), exact.size(), true), 2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    Bytes shortBuffer(exact.size() - 1, 0xAA);
    testing::internal::CaptureStderr();
    EXPECT_EQ(WriteTagsToBuffer(list, shortBuffer.data(), shortBuffer.size() - 4, true), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: ptr > length\n");
    EXPECT_EQ(shortBuffer.back(), 0xAA);
}

TEST(EffectiveVr, KeepsWhatAnExplicitReaderCanRead) {
    char vr[2];
    auto check = [&](DicomElement* e, const char* expected) {
        EffectiveVr(*e, vr);
        EXPECT_EQ(std::string(vr, 2), expected) << std::hex << e->group << "," << e->element;
        FreeElement(e);
    };
    check(NewElement(0x0028, 0x0010, 2, "\0\2", nullptr), "US");  // from the dictionary
    check(NewElement(0x0009, 0x1001, 2, "ab", nullptr), "UN");    // unknown
    check(NewElement(0x0009, 0x1001, 2, "ab", "LO"), "LO");       // its own
    check(NewElement(0x0009, 0x1001, UNDEFINED_LENGTH, nullptr, "UN"), "SQ");
    check(NewElement(0x0009, 0x1001, UNDEFINED_LENGTH, nullptr, nullptr), "SQ");
    check(NewElement(0x7FE0, 0x0010, UNDEFINED_LENGTH, nullptr, "OW"), "OB");
    check(NewElement(0x0040, 0xA160, 70000, nullptr, "LO"), "UN");  // too long for LO
    check(NewElement(0x0040, 0xA160, 70000, nullptr, "UT"), "UT");
}

TEST(ElementStream, RoundTripsInEveryModeAndKeepsCommandsImplicit) {
    for (bool explicitVr : {false, true}) {
        for (bool big : {false, true}) {
            ElementList list;
            list.Append(Elem(0x0000, 0x0002, "UI", std::string("1.2\0", 4)));
            list.Append(Elem(0x0008, 0x0060, "CS", "MR"));
            list.Append(Elem(0x0009, 0x0010, "LO", std::string(70000, 'x')));
            list.Append(Marker(0xE000, 4));
            ByteOrderStream out(big);
            for (auto* e : list)
                WriteElement(out, *e, explicitVr);
            // A command element is tag and 4-byte length in every mode.
            EXPECT_EQ(out.Bytes()[big ? 7 : 4], 4);
            ByteOrderStream in(out.Bytes(), big);
            for (auto* e : list) {
                DicomElement* r = ReadElement(in, explicitVr);
                ASSERT_NE(r, nullptr);
                EXPECT_EQ(r->group, e->group);
                EXPECT_EQ(r->length, e->length);
                if (HasValue(*r) && HasValue(*e)) {
                    EXPECT_EQ(0, std::memcmp(r->value, e->value, e->length));
                }
                FreeElement(r);
            }
            EXPECT_TRUE(in.AtEnd());
        }
    }
    // A length beyond the bytes gives nothing.
    const Bytes cut = {0x08, 0x00, 0x60, 0x00, 'C', 'S', 9, 0, 'M', 'R'};
    ByteOrderStream bad(std::span<const uint8_t>(cut), false);
    EXPECT_EQ(ReadElement(bad, true), nullptr);
}

TEST(SequenceValue, ReencodesAcrossModesAndByteOrders) {
    // An explicit little endian sequence value with a nested defined-length sequence.
    DataSetBuilder nestedItem(true, false);
    nestedItem.US(0x0028, 0x0010, 0x0102);
    DataSetBuilder nestedSeq(true, false);
    nestedSeq.ItemWithValue(nestedItem.Bytes());
    DataSetBuilder item(true, false);
    item.Text(0x0008, 0x0100, "SH", "C1").Element(0x0040, 0xA043, "SQ", nestedSeq.Bytes());
    DataSetBuilder seq(true, false);
    seq.ItemWithValue(item.Bytes());
    Bytes value = seq.Bytes();
    DicomElement sq{0x0040, 0x0100, {'S', 'Q'}, static_cast<uint32_t>(value.size()), value.data()};

    // The same data set built independently in implicit big endian.
    DataSetBuilder nestedItemB(false, true);
    nestedItemB.US(0x0028, 0x0010, 0x0102);
    DataSetBuilder nestedSeqB(false, true);
    nestedSeqB.ItemWithValue(nestedItemB.Bytes());
    DataSetBuilder itemB(false, true);
    itemB.Text(0x0008, 0x0100, "SH", "C1").Element(0x0040, 0xA043, "SQ", nestedSeqB.Bytes());
    DataSetBuilder seqB(false, true);
    seqB.ItemWithValue(itemB.Bytes());

    ElementList decoded;
    ASSERT_TRUE(DecodeSequenceValue(sq, decoded, true, false, false, true));
    DicomElement out{0x0040, 0x0100, {'S', 'Q'}, 0, nullptr};
    EncodeSequenceValue(out, decoded, false, true);
    EXPECT_EQ(Bytes(out.value, out.value + out.length), seqB.Bytes());

    // And back: implicit big endian to explicit little endian gives the first bytes again.
    ElementList back;
    ASSERT_TRUE(DecodeSequenceValue(out, back, false, true, true, false));
    DicomElement again{0x0040, 0x0100, {'S', 'Q'}, 0, nullptr};
    EncodeSequenceValue(again, back, true, false);
    EXPECT_EQ(Bytes(again.value, again.value + again.length), value);
    FreeValue(out.value);
    FreeValue(again.value);

    // One level only, for the dump.
    ElementList split;
    ASSERT_TRUE(SplitSequenceValue(sq, split, true, false));
    ASSERT_EQ(split.Size(), 1u);
    EXPECT_EQ(split[0]->length, item.Bytes().size());
}

TEST(SwapValueBytes, TurnsEachUnitOfBinaryVrs) {
    auto swapped = [](const char* vr, Bytes bytes) {
        DicomElement* e =
            NewElement(0x0009, 0x1000, static_cast<uint32_t>(bytes.size()), bytes.data(), vr);
        SwapValueBytes(*e);
        Bytes out(e->value, e->value + e->length);
        FreeElement(e);
        return out;
    };
    EXPECT_EQ(swapped("US", {1, 2, 3, 4}), (Bytes{2, 1, 4, 3}));
    EXPECT_EQ(swapped("AT", {1, 2, 3, 4}), (Bytes{2, 1, 4, 3}));
    EXPECT_EQ(swapped("UL", {1, 2, 3, 4}), (Bytes{4, 3, 2, 1}));
    EXPECT_EQ(swapped("FD", {1, 2, 3, 4, 5, 6, 7, 8}), (Bytes{8, 7, 6, 5, 4, 3, 2, 1}));
    EXPECT_EQ(swapped("OB", {1, 2, 3, 4}), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(swapped("LO", {1, 2, 3, 4}), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(swapped("OW", {1, 2, 3}), (Bytes{2, 1, 3}));  // a stray last byte stays
}
