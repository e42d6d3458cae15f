// Builds encoded data sets and Part 10 files byte by byte for tests, independently of the
// library's encoder, so that the decoder is checked against bytes written by other hands.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

class DataSetBuilder {
  public:
    DataSetBuilder(bool explicitVr, bool bigEndian) : explicit_(explicitVr), big_(bigEndian) {}

    // An element with the header form its VR and the builder's syntax call for.
    DataSetBuilder& Element(uint16_t group, uint16_t element, std::string_view vr,
                            const std::vector<uint8_t>& value);
    DataSetBuilder& Text(uint16_t group, uint16_t element, std::string_view vr,
                         std::string_view text);
    DataSetBuilder& US(uint16_t group, uint16_t element, uint16_t value);
    // A header with an undefined length (sequence, or encapsulated pixel data) and no value.
    DataSetBuilder& Undefined(uint16_t group, uint16_t element, std::string_view vr);
    // Items and delimiters always take the implicit header form.
    DataSetBuilder& Item(uint32_t length = 0xFFFFFFFF);
    DataSetBuilder& ItemWithValue(const std::vector<uint8_t>& value);
    DataSetBuilder& ItemEnd();
    DataSetBuilder& SequenceEnd();
    // Raw bytes, as given.
    DataSetBuilder& Raw(const std::vector<uint8_t>& bytes);
    // An element with an explicit-form header but a declared length different from its value.
    DataSetBuilder& Header(uint16_t group, uint16_t element, std::string_view vr, uint32_t length);

    const std::vector<uint8_t>& Bytes() const { return bytes_; }

  private:
    void U16(uint16_t v);
    void U32(uint32_t v);
    bool explicit_;
    bool big_;
    std::vector<uint8_t> bytes_;
};

// A Part 10 file: 128 zero bytes, "DICM", an explicit little endian meta group with its group
// length and the given transfer syntax (padded with a NUL to even length), then the body.
std::vector<uint8_t> Part10File(const std::string& transferSyntax,
                                const std::vector<uint8_t>& body);

// The value bytes of a text, padded to even length with the given byte.
std::vector<uint8_t> PaddedText(std::string_view text, char pad);

}  // namespace testsupport
