#include "support/DataSetBuilder.h"

namespace testsupport {
namespace {

bool LongForm(std::string_view vr) {
    static const char* const kLong[] = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ",
                                        "SV", "UC", "UN", "UR", "UT", "UV"};
    for (const char* v : kLong) {
        if (vr == v) return true;
    }
    return false;
}

}  // namespace

void DataSetBuilder::U16(uint16_t v) {
    if (big_) {
        bytes_.push_back(static_cast<uint8_t>(v >> 8));
        bytes_.push_back(static_cast<uint8_t>(v));
    } else {
        bytes_.push_back(static_cast<uint8_t>(v));
        bytes_.push_back(static_cast<uint8_t>(v >> 8));
    }
}

void DataSetBuilder::U32(uint32_t v) {
    if (big_) {
        U16(static_cast<uint16_t>(v >> 16));
        U16(static_cast<uint16_t>(v));
    } else {
        U16(static_cast<uint16_t>(v));
        U16(static_cast<uint16_t>(v >> 16));
    }
}

DataSetBuilder& DataSetBuilder::Header(uint16_t group, uint16_t element, std::string_view vr,
                                       uint32_t length) {
    U16(group);
    U16(element);
    if (explicit_ && group != 0xFFFE) {
        bytes_.push_back(static_cast<uint8_t>(vr[0]));
        bytes_.push_back(static_cast<uint8_t>(vr[1]));
        if (LongForm(vr)) {
            U16(0);
            U32(length);
        } else {
            U16(static_cast<uint16_t>(length));
        }
    } else {
        U32(length);
    }
    return *this;
}

DataSetBuilder& DataSetBuilder::Element(uint16_t group, uint16_t element, std::string_view vr,
                                        const std::vector<uint8_t>& value) {
    Header(group, element, vr, static_cast<uint32_t>(value.size()));
    bytes_.insert(bytes_.end(), value.begin(), value.end());
    return *this;
}

DataSetBuilder& DataSetBuilder::Text(uint16_t group, uint16_t element, std::string_view vr,
                                     std::string_view text) {
    return Element(group, element, vr, std::vector<uint8_t>(text.begin(), text.end()));
}

DataSetBuilder& DataSetBuilder::US(uint16_t group, uint16_t element, uint16_t value) {
    std::vector<uint8_t> v = big_ ? std::vector<uint8_t>{uint8_t(value >> 8), uint8_t(value)}
                                  : std::vector<uint8_t>{uint8_t(value), uint8_t(value >> 8)};
    return Element(group, element, "US", v);
}

DataSetBuilder& DataSetBuilder::Undefined(uint16_t group, uint16_t element, std::string_view vr) {
    return Header(group, element, vr, 0xFFFFFFFF);
}

DataSetBuilder& DataSetBuilder::Item(uint32_t length) {
    return Header(0xFFFE, 0xE000, "", length);
}

DataSetBuilder& DataSetBuilder::ItemWithValue(const std::vector<uint8_t>& value) {
    Header(0xFFFE, 0xE000, "", static_cast<uint32_t>(value.size()));
    bytes_.insert(bytes_.end(), value.begin(), value.end());
    return *this;
}

DataSetBuilder& DataSetBuilder::ItemEnd() {
    return Header(0xFFFE, 0xE00D, "", 0);
}

DataSetBuilder& DataSetBuilder::SequenceEnd() {
    return Header(0xFFFE, 0xE0DD, "", 0);
}

DataSetBuilder& DataSetBuilder::Raw(const std::vector<uint8_t>& bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
}

std::vector<uint8_t> PaddedText(std::string_view text, char pad) {
    std::vector<uint8_t> v(text.begin(), text.end());
    if (v.size() % 2 != 0) v.push_back(static_cast<uint8_t>(pad));
    return v;
}

std::vector<uint8_t> Part10File(const std::string& transferSyntax,
                                const std::vector<uint8_t>& body) {
    DataSetBuilder meta(true, false);
    meta.Element(0x0002, 0x0001, "OB", {0x00, 0x01})
        .Element(0x0002, 0x0002, "UI", PaddedText("1.2.840.10008.5.1.4.1.1.7", 0))
        .Element(0x0002, 0x0003, "UI", PaddedText("1.2.3.4.5", 0))
        .Element(0x0002, 0x0010, "UI", PaddedText(transferSyntax, 0))
        .Element(0x0002, 0x0012, "UI", PaddedText("1.2.3.4", 0));
    const auto& group = meta.Bytes();
    const uint32_t length = static_cast<uint32_t>(group.size());
    std::vector<uint8_t> file(128, 0);
    file.insert(file.end(), {'D', 'I', 'C', 'M'});
    file.insert(file.end(), {0x02, 0x00, 0x00, 0x00, 'U', 'L', 0x04, 0x00});
    file.insert(file.end(), {uint8_t(length), uint8_t(length >> 8), uint8_t(length >> 16),
                             uint8_t(length >> 24)});
    file.insert(file.end(), group.begin(), group.end());
    file.insert(file.end(), body.begin(), body.end());
    return file;
}

}  // namespace testsupport
