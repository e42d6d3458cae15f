// Data sets of the DICOM JSON model read into element lists: each VR's values encoded as the
// decoder would have read them, sequences flat, attributes in tag order; and JSON that breaks
// the model refused with the attribute named.
#include <gtest/gtest.h>

#include <string>

#include "web/JsonModel.h"

using namespace dicomlib;
using web::Json;

namespace {

// Each element as "GGGGEEEE VR length: value bytes", printable bytes as they are, others in hex.
std::string Listed(const ElementList& list) {
    std::string out;
    for (const DicomElement* e : list) {
        char head[40];
        std::snprintf(head, sizeof head, "%04X%04X %c%c %d:", e->group, e->element,
                      e->vr[0] != 0 ? e->vr[0] : '-', e->vr[1] != 0 ? e->vr[1] : '-',
                      static_cast<int>(e->length));
        out += head;
        for (uint32_t i = 0; data::HasValue(*e) && i < e->length; ++i) {
            const uint8_t b = e->value[i];
            char hex[8];
            std::snprintf(hex, sizeof hex, "<%02X>", b);
            out += b >= 0x20 && b < 0x7F ? std::string(1, static_cast<char>(b)) : hex;
        }
        out += "\n";
    }
    return out;
}

}  // namespace

TEST(DataSetFromJson, EveryKindOfValueAsTheDecoderHoldsIt) {
    const Json object = Json::parse(R"({
        "00200032": {"vr": "DS", "Value": [1e2, -2.5, "3.25"]},
        "00080005": {"vr": "CS", "Value": ["ISO_IR 192"]},
        "00100010": {"vr": "PN", "Value": [{"Alphabetic": "M\u00fcller^\u03a9", "Phonetic": "MUELLER"}, null]},
        "00200013": {"vr": "IS", "Value": [7]},
        "00280010": {"Value": [512]},
        "00089215": {"vr": "SQ", "Value": [
            {"00080100": {"vr": "SH", "Value": ["121"]},
             "0040A730": {"vr": "SQ", "Value": [{}]}},
            {"00080104": {"vr": "LO"}}]},
        "00081197": {"vr": "US", "Value": [42752, 1]},
        "00189219": {"vr": "FL", "Value": [0.5]},
        "00209165": {"vr": "AT", "Value": ["00100010", "7FE00010"]},
        "0020000D": {"vr": "UI", "Value": ["1.2.3"]},
        "00080008": {"vr": "CS", "Value": ["ORIGINAL", null, "AXIAL"]},
        "7FE00010": {"vr": "OW", "InlineBinary": "AAE="}
    })");
    auto list = web::DataSetFromJson(object);
    ASSERT_TRUE(list.Ok()) << list.GetError().detail;
    EXPECT_EQ(Listed(*list),
              "00080008 CS 16:ORIGINAL\\\\AXIAL \n"
              "00081197 US 4:<00><A7><01><00>\n"
              "00089215 SQ -1:\n"
              "FFFEE000 -- -1:\n"
              "00080100 SH 4:121 \n"
              "0040A730 SQ -1:\n"
              "FFFEE000 -- -1:\n"
              "FFFEE00D -- 0:\n"
              "FFFEE0DD -- 0:\n"
              "FFFEE00D -- 0:\n"
              "FFFEE000 -- -1:\n"
              "00080104 LO 0:\n"
              "FFFEE00D -- 0:\n"
              "FFFEE0DD -- 0:\n"
              "00100010 PN 18:M<FC>ller^?==MUELLER\\\n"
              "00189219 FL 4:<00><00><00>?\n"
              "0020000D UI 6:1.2.3<00>\n"
              "00200013 IS 2:7 \n"
              "00200032 DS 14:100\\-2.5\\3.25 \n"
              "00209165 AT 8:<10><00><10><00><E0><7F><10><00>\n"
              "00280010 US 2:<00><02>\n");
}

TEST(DataSetFromJson, JsonOutsideTheModelIsRefusedWithTheAttribute) {
    const std::pair<const char*, const char*> cases[] = {
        {R"([])", "a data set that is not a JSON object"},
        {R"({"0010001": {"vr": "PN"}})", "\"0010001\" is not a tag of 8 hex digits"},
        {R"({"00100010": "Smith"})", "attribute 00100010: not an object"},
        {R"({"00100010": {"vr": "P"}})", "attribute 00100010: a vr that is not two letters"},
        {R"({"00100010": {"vr": "PN", "Value": "Smith"}})", "a Value that is not an array"},
        {R"({"00280010": {"vr": "US", "Value": [65536]}})", "a value that is no US number"},
        {R"({"00280010": {"vr": "US", "Value": [-1]}})", "a value that is no US number"},
        {R"({"00280010": {"vr": "SS", "Value": [1.5]}})", "a value that is no SS number"},
        {R"({"00209165": {"vr": "AT", "Value": ["0010"]}})", "an AT value that is not a tag"},
        {R"({"00100010": {"vr": "PN", "Value": [{"Alphabetic": 3}]}})",
         "a person name that is neither an object nor null"},
        {R"({"00080008": {"vr": "CS", "Value": [["A"]]}})",
         "a value that is neither text, number nor null"},
        {R"({"00089215": {"vr": "SQ", "Value": [null]}})", "an item that is null"},
    };
    for (const auto& [text, why] : cases) {
        const auto list = web::DataSetFromJson(Json::parse(text));
        ASSERT_FALSE(list.Ok()) << text;
        EXPECT_NE(list.GetError().detail.find(why), std::string::npos)
            << text << ": " << list.GetError().detail;
    }
    std::string deep = "{}";
    for (int i = 0; i < 70; ++i)
        deep = R"({"00089215": {"vr": "SQ", "Value": [)" + deep + "]}}";
    const auto tooDeep = web::DataSetFromJson(Json::parse(deep));
    ASSERT_FALSE(tooDeep.Ok());
    EXPECT_NE(tooDeep.GetError().detail.find("nested more than 64 deep"), std::string::npos);
}
