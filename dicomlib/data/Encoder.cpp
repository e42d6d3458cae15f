// Writers and readers of encoded elements, and the sequence re-encoder. The flat writer is the
// element encoder over a buffer, so files and buffers are laid out by the same code.
#include "data/Encoder.h"

#include <cstdio>
#include <cstring>

#include "data/Datadec.h"
#include "data/Dictionary.h"
#include "data/ElementSink.h"
#include "data/FlatWriter.h"

namespace dicomlib::data {
namespace {

constexpr int MAX_NESTING = 64;

bool IsItemElement(const DicomElement& e) {
    return e.group == 0xFFFE && e.element == 0xE000;
}

class BufferSink : public ByteSink {
  public:
    BufferSink(uint8_t* buffer, uint64_t size) : buffer_(buffer), size_(size) {}
    bool Put(std::span<const uint8_t> bytes) override {
        if (used_ + bytes.size() > size_) return false;
        if (!bytes.empty()) std::memcpy(buffer_ + used_, bytes.data(), bytes.size());
        used_ += bytes.size();
        return true;
    }

  private:
    uint8_t* buffer_;
    uint64_t size_;
    uint64_t used_ = 0;
};

bool DecodeSequenceValueAt(const DicomElement& element, ElementList& list, bool sourceExplicit,
                           bool targetExplicit, bool sourceBigEndian, bool targetBigEndian,
                           int depth) {
    if (depth > MAX_NESTING || !HasValue(element)) return false;
    const ValueView value(element);
    if (!value.Ok()) return false;
    ByteOrderStream in(value.Bytes(), sourceBigEndian);
    while (!in.AtEnd()) {
        DicomElement* e = ReadElement(in, sourceExplicit);
        if (e == nullptr) return false;
        if (!sourceExplicit) TypeImplicitElement(*e, sourceBigEndian);
        if ((IsItemElement(*e) || VrIs(*e, "SQ")) && HasValue(*e)) {
            ElementList nested;
            const bool ok = DecodeSequenceValueAt(*e, nested, sourceExplicit, targetExplicit,
                                                  sourceBigEndian, targetBigEndian, depth + 1);
            DicomElement* encoded = NewElement(e->group, e->element, 0, nullptr, e->vr);
            FreeElement(e);
            EncodeSequenceValue(*encoded, nested, targetExplicit, targetBigEndian);
            list.Append(encoded);
            if (!ok) return false;
            continue;
        }
        if (sourceBigEndian != targetBigEndian) SwapValueBytes(*e);
        list.Append(e);
    }
    return true;
}

}  // namespace

void ByteOrderStream::PutU16(uint16_t value) {
    const uint8_t b[2] = {static_cast<uint8_t>(bigEndian_ ? value >> 8 : value),
                          static_cast<uint8_t>(bigEndian_ ? value : value >> 8)};
    bytes_.insert(bytes_.end(), b, b + 2);
}

void ByteOrderStream::PutU32(uint32_t value) {
    uint8_t b[4];
    PutU32Bytes(b, value, bigEndian_);
    bytes_.insert(bytes_.end(), b, b + 4);
}

void ByteOrderStream::PutBytes(const void* bytes, std::size_t count) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    bytes_.insert(bytes_.end(), p, p + count);
}

bool ByteOrderStream::GetU16(uint16_t& value) {
    if (Remaining() < 2) return false;
    const uint8_t* p = input_.data() + readPos_;
    value = bigEndian_ ? static_cast<uint16_t>(p[0] << 8 | p[1])
                       : static_cast<uint16_t>(p[1] << 8 | p[0]);
    readPos_ += 2;
    return true;
}

bool ByteOrderStream::GetU32(uint32_t& value) {
    if (Remaining() < 4) return false;
    const uint8_t* p = input_.data() + readPos_;
    value = bigEndian_ ? (uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3])
                       : (uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0]);
    readPos_ += 4;
    return true;
}

bool ByteOrderStream::GetBytes(void* bytes, std::size_t count) {
    if (Remaining() < count) return false;
    std::memcpy(bytes, input_.data() + readPos_, count);
    readPos_ += count;
    return true;
}

bool ByteOrderStream::Skip(std::size_t count) {
    if (Remaining() < count) return false;
    readPos_ += count;
    return true;
}

void EffectiveVr(const DicomElement& e, char vr[2]) {
    EffectiveVr(e.group, e.element, e.vr, e.length, vr);
}

void EffectiveVr(uint16_t group, uint16_t element, const char ownVr[2], uint32_t length,
                 char vr[2]) {
    vr[0] = ownVr[0];
    vr[1] = ownVr[1];
    if (vr[0] == 0) {
        const DictionaryEntry* entry = FindDictionaryEntry(group, element);
        vr[0] = entry != nullptr ? entry->vr[0] : 'U';
        vr[1] = entry != nullptr ? entry->vr[1] : 'N';
    }
    if (length == UNDEFINED_LENGTH) {
        if (group == 0x7FE0 && element == 0x0010) {
            // Encapsulated pixel data is OB, whatever the source called it.
            vr[0] = 'O';
            vr[1] = 'B';
        } else if (!IsLongFormVr(vr) || (vr[0] == 'U' && vr[1] == 'N')) {
            // Other toolkits read an undefined-length UN as implicit items; ours follow in
            // the list's own syntax, so they belong to a sequence.
            vr[0] = 'S';
            vr[1] = 'Q';
        }
    } else if (length > 0xFFFF && !IsLongFormVr(vr)) {
        vr[0] = 'U';
        vr[1] = 'N';
    }
}

uint32_t HeaderSize(const DicomElement& element, bool explicitVr) {
    if (element.group == 0xFFFE || (!explicitVr && element.group != 0x0002)) return 8;
    char vr[2];
    EffectiveVr(element, vr);
    return IsLongFormVr(vr) ? 12 : 8;
}

uint64_t EncodedListLength(const ElementList& list, bool explicitVr) {
    uint64_t total = 0;
    for (const DicomElement* e : list) {
        total += HeaderSize(*e, explicitVr);
        if (e->length != UNDEFINED_LENGTH) total += e->length;
    }
    return total;
}

int64_t WriteTagsToBuffer(const ElementList& list, uint8_t* buffer, uint64_t bufferSize,
                          bool explicitVr, bool bigEndian) {
    BufferSink sink(buffer, bufferSize);
    ElementEncoder encoder(sink, HeaderRules::File, explicitVr, bigEndian);
    PutList(encoder, list);
    const int64_t written = encoder.Elements();
    if (written < static_cast<int64_t>(list.Size())) std::fputs("ERROR: ptr > length\n", stderr);
    return written;
}

std::vector<uint8_t> EncodeList(const ElementList& list, bool explicitVr, bool bigEndian) {
    std::vector<uint8_t> bytes(EncodedListLength(list, explicitVr));
    WriteTagsToBuffer(list, bytes.data(), bytes.size(), explicitVr, bigEndian);
    return bytes;
}

void WriteElement(ByteOrderStream& stream, const DicomElement& element, bool explicitVr) {
    stream.PutU16(element.group);
    stream.PutU16(element.element);
    if (element.group != 0x0000 && element.group != 0xFFFE && explicitVr) {
        char vr[2];
        EffectiveVr(element, vr);
        stream.PutBytes(vr, 2);
        if (IsLongFormVr(vr)) {
            stream.PutU16(0);
            stream.PutU32(element.length);
        } else {
            stream.PutU16(static_cast<uint16_t>(element.length));
        }
    } else {
        stream.PutU32(element.length);
    }
    if (HasValue(element)) {
        const ValueView value(element);
        stream.PutBytes(value.Data(), value.Bytes().size());
    }
}

DicomElement* ReadElement(ByteOrderStream& stream, bool explicitVr) {
    uint16_t group = 0, number = 0;
    char vr[2] = {0, 0};
    uint32_t length = 0;
    if (!stream.GetU16(group) || !stream.GetU16(number)) return nullptr;
    if (group != 0x0000 && group != 0xFFFE && explicitVr) {
        if (!stream.GetBytes(vr, 2)) return nullptr;
        if (IsLongFormVr(vr)) {
            uint16_t reserved = 0;
            if (!stream.GetU16(reserved) || !stream.GetU32(length)) return nullptr;
        } else {
            uint16_t shortLength = 0;
            if (!stream.GetU16(shortLength)) return nullptr;
            length = shortLength;
        }
    } else if (!stream.GetU32(length)) {
        return nullptr;
    }
    uint8_t* value = nullptr;
    if (length != 0 && length != UNDEFINED_LENGTH) {
        if (length > stream.Remaining()) return nullptr;
        value = AllocateValue(length);
        stream.GetBytes(value, length);
    }
    return NewElementOwning(group, number, vr, length, value);
}

void EncodeSequenceValue(DicomElement& element, const ElementList& list, bool explicitVr,
                         bool bigEndian) {
    ByteOrderStream out(bigEndian);
    for (const DicomElement* e : list)
        WriteElement(out, *e, explicitVr);
    if (HasValue(element)) FreeValue(element.value);
    element.value = nullptr;
    element.length = static_cast<uint32_t>(out.Size());
    if (element.length != 0) {
        element.value = AllocateValue(element.length);
        std::memcpy(element.value, out.Bytes().data(), element.length);
    }
}

bool DecodeSequenceValue(const DicomElement& element, ElementList& list, bool sourceExplicit,
                         bool targetExplicit, bool sourceBigEndian, bool targetBigEndian) {
    return DecodeSequenceValueAt(element, list, sourceExplicit, targetExplicit, sourceBigEndian,
                                 targetBigEndian, 0);
}

bool SplitSequenceValue(const DicomElement& element, ElementList& list, bool explicitVr,
                        bool bigEndian) {
    if (!HasValue(element)) return true;
    const ValueView value(element);
    if (!value.Ok()) return false;
    ByteOrderStream in(value.Bytes(), bigEndian);
    while (!in.AtEnd()) {
        DicomElement* e = ReadElement(in, explicitVr);
        if (e == nullptr) return false;
        if (!explicitVr) LookupVR(*e);
        list.Append(e);
    }
    return true;
}

bool LooksLikeSequence(const DicomElement& element, bool bigEndian) {
    if (!HasValue(element) || element.length < 8) return false;
    const ValueView value(element);
    if (!value.Ok()) return false;
    ByteOrderStream in(value.Bytes(), bigEndian);
    while (!in.AtEnd()) {
        uint16_t group = 0, number = 0;
        uint32_t length = 0;
        if (!in.GetU16(group) || !in.GetU16(number) || !in.GetU32(length)) return false;
        if (group != 0xFFFE || number != 0xE000 || length == UNDEFINED_LENGTH ||
            length > in.Remaining()) {
            return false;
        }
        in.Skip(length);
    }
    return true;
}

void TypeImplicitElement(DicomElement& element, bool bigEndian) {
    LookupVR(element);
    if (element.group == 0xFFFE || !VrIs(element, "UN")) return;
    // Without a VR, an undefined length or a value of items is what tells a sequence.
    if (element.length == UNDEFINED_LENGTH || LooksLikeSequence(element, bigEndian)) {
        element.vr[0] = 'S';
        element.vr[1] = 'Q';
    }
}

int ValueUnitSize(const char vr[2]) {
    const char a = vr[0], b = vr[1];
    if ((a == 'U' && b == 'S') || (a == 'S' && b == 'S') || (a == 'O' && b == 'W') ||
        (a == 'A' && b == 'T')) {
        return 2;
    }
    if ((a == 'U' && b == 'L') || (a == 'S' && b == 'L') || (a == 'F' && b == 'L') ||
        (a == 'O' && b == 'F') || (a == 'O' && b == 'L')) {
        return 4;
    }
    if ((a == 'F' && b == 'D') || (a == 'O' && b == 'D') || (a == 'S' && b == 'V') ||
        (a == 'U' && b == 'V') || (a == 'O' && b == 'V')) {
        return 8;
    }
    return 0;
}

bool SwapValueBytes(DicomElement& element) {
    const int unit = ValueUnitSize(element.vr);
    if (unit == 0 || !HasValue(element)) return true;
    if (!LoadValue(element)) return false;
    SwapUnits({element.value, element.length}, unit);
    return true;
}

void SwapUnits(std::span<uint8_t> bytes, int unit) {
    if (unit < 2) return;
    uint8_t* p = bytes.data();
    const auto size = static_cast<std::size_t>(unit);
    const std::size_t whole = bytes.size() - bytes.size() % size;
    if (size == 2) {
        for (std::size_t i = 0; i < whole; i += 2)
            std::swap(p[i], p[i + 1]);
    } else {
        for (std::size_t i = 0; i < whole; i += size) {
            for (std::size_t k = 0; k < size / 2; ++k)
                std::swap(p[i + k], p[i + size - 1 - k]);
        }
    }
}

}  // namespace dicomlib::data
