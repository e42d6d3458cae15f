#include <gtest/gtest.h>

#include <cstring>

#include "data/ElementList.h"

using namespace dicomlib::data;

namespace {

DicomElement* Text(uint16_t g, uint16_t e, const char* vr, const char* text) {
    return NewElement(g, e, static_cast<uint32_t>(std::strlen(text)), text, vr);
}

}  // namespace

TEST(ElementList, ValueBlocksFollowTheLength) {
    ElementList list;
    const uint8_t bytes[] = {1, 2, 3};
    list.Append(NewElement(0x0008, 0x0060, 0, bytes, "CS"));
    list.Append(NewElement(0x7FE0, 0x0010, UNDEFINED_LENGTH, bytes, nullptr));
    list.Append(NewElement(0x0009, 0x0010, 3, bytes, nullptr));
    EXPECT_EQ(list[0]->value, nullptr);
    EXPECT_EQ(list[1]->value, nullptr);
    EXPECT_EQ(list[1]->vr[0], 0);  // a null VR leaves it empty
    ASSERT_NE(list[2]->value, nullptr);
    EXPECT_NE(list[2]->value, bytes);  // a copy, owned by the element
    EXPECT_EQ(0, std::memcmp(list[2]->value, bytes, 3));
    list.Clear();
    EXPECT_TRUE(list.Empty());
    list.Clear();  // clearing an empty list is harmless and the list stays usable
    list.Append(NewUsElement({0x0028, 0x0010}, 512));
    EXPECT_EQ(list.Size(), 1u);
}

TEST(ElementList, LookupsScanFromTheFrontAndFirstMatchWins) {
    ElementList list;
    list.Append(Text(0x0010, 0x0010, "PN", "DOE,JOHN "));
    list.Append(Text(0x0010, 0x0010, "PN", "SECOND"));
    const uint8_t rows[] = {0x00, 0x02};
    list.Append(NewElement(0x0028, 0x0010, 2, rows, "US"));
    list.Append(NewElement(0x0028, 0x0011, 1, rows, "US"));
    list.Append(Text(0x0008, 0x0018, "UI", "1.2.3\0"));
    list.Append(NewElement(0x0008, 0x0016, 6, "1.2.3\0", "UI"));
    list.Append(Text(0x0008, 0x1030, "LO", " \tHEAD, NECK\r\n"));
    list.Append(NewElement(0x0000, 0x0900, 1, rows, "US"));

    EXPECT_EQ(FindTag(list, 0x0010, 0x0010), list[0]);
    EXPECT_EQ(FindTag(list, 0x0010, 0x0020), nullptr);
    EXPECT_EQ(GetTagString(list, 0x0010, 0x0010), "DOE^JOHN");
    EXPECT_EQ(GetTagString(list, 0x0028, 0x0010), "512");
    EXPECT_EQ(GetTagString(list, 0x0028, 0x0011), "");            // too short for a number
    EXPECT_EQ(GetTagString(list, 0x0008, 0x0016), "1.2.3");       // the NUL pad drops off
    EXPECT_EQ(GetTagString(list, 0x0008, 0x1030), "HEAD, NECK");  // only names lose commas
    EXPECT_EQ(GetTagString(list, 0x0020, 0x000D), "");
    EXPECT_EQ(GetTagUS(list, 0x0028, 0x0010), 512);
    EXPECT_EQ(GetTagUS(list, 0x0000, 0x0900), 0);  // shorter than two bytes
    EXPECT_EQ(GetTagUS(list, 0x0000, 0x0100), 0);  // absent
}

TEST(ElementList, CopyTagsAppendsDeepCopies) {
    ElementList source;
    source.Append(Text(0x0010, 0x0020, "LO", "ID1"));
    source.Append(NewElement(0xFFFE, 0xE000, UNDEFINED_LENGTH, nullptr, "DL"));
    ElementList target;
    target.Append(Text(0x0008, 0x0060, "CS", "CT"));
    CopyTags(target, source);
    ASSERT_EQ(target.Size(), 3u);
    EXPECT_NE(target[1], source[0]);
    EXPECT_NE(target[1]->value, source[0]->value);
    EXPECT_EQ(0, std::memcmp(target[1]->value, "ID1", 3));
    EXPECT_EQ(target[2]->length, UNDEFINED_LENGTH);
    EXPECT_EQ(std::string(target[2]->vr, 2), "DL");
    source.Clear();
    EXPECT_EQ(GetTagString(target, 0x0010, 0x0020), "ID1");
}
