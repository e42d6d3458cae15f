#include "data/ElementSink.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "data/Encoder.h"
#include "data/FlatWriter.h"

namespace dicomlib::data {
namespace {

// What is read from a file at a time on the way to a sink.
constexpr std::size_t VALUE_PIECE = 1 << 20;

}  // namespace

bool ForEachValuePiece(const DicomElement& e,
                       const std::function<bool(std::span<const uint8_t>)>& put) {
    if (!HasValue(e)) return true;
    if (e.value != nullptr) return put({e.value, e.length});
    std::vector<uint8_t> piece(std::min<std::size_t>(e.length, VALUE_PIECE));
    for (uint64_t offset = 0; offset < e.length;) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<uint64_t>(piece.size(), e.length - offset));
        const std::span<uint8_t> part(piece.data(), n);
        if (!ReadValueBytes(e, offset, part) || !put(part)) return false;
        offset += n;
    }
    return true;
}

bool PutList(ElementSink& sink, const ElementList& list) {
    for (DicomElement* e : list)
        if (!sink.Put(*e)) return false;
    return true;
}

bool ListSink::Put(DicomElement& element) {
    if (filling_ != nullptr) return false;
    list_.Append(CopyElement(element));
    return true;
}

bool ListSink::PutHeader(const ElementHeader& h) {
    if (filling_ != nullptr) return false;
    DicomElement* e = NewElement(h.group, h.element, 0, nullptr, h.vr);
    e->length = h.length;
    if (HasValue(*e)) {
        e->value = AllocateValue(h.length);
        filling_ = e;
        filled_ = 0;
    }
    list_.Append(e);
    return true;
}

bool ListSink::PutValue(std::span<const uint8_t> bytes) {
    if (filling_ == nullptr || bytes.size() > filling_->length - filled_) return false;
    if (!bytes.empty()) std::memcpy(filling_->value + filled_, bytes.data(), bytes.size());
    filled_ += static_cast<uint32_t>(bytes.size());
    if (filled_ == filling_->length) filling_ = nullptr;
    return true;
}

bool ElementEncoder::PutHeaderOf(uint16_t group, uint16_t element, const char ownVr[2],
                                 uint32_t length) {
    if (streaming_ != 0) return false;
    const bool meta = rules_ == HeaderRules::File && group == 0x0002;
    const bool big = bigEndian_ && !meta;
    const bool implicitForm = group == 0xFFFE ||
                              (rules_ == HeaderRules::Message && group == 0x0000) ||
                              (!explicitVr_ && !meta);
    uint8_t header[12];
    std::size_t size = 8;
    PutU16Bytes(header, group, big);
    PutU16Bytes(header + 2, element, big);
    if (implicitForm) {
        PutU32Bytes(header + 4, length, big);
    } else {
        char vr[2];
        EffectiveVr(group, element, ownVr, length, vr);
        header[4] = static_cast<uint8_t>(vr[0]);
        header[5] = static_cast<uint8_t>(vr[1]);
        if (IsLongFormVr(vr)) {
            header[6] = 0;
            header[7] = 0;
            PutU32Bytes(header + 8, length, big);
            size = 12;
        } else {
            PutU16Bytes(header + 6, static_cast<uint16_t>(length), big);
        }
    }
    return out_.Put({header, size});
}

bool ElementEncoder::Put(DicomElement& e) {
    if (!PutHeaderOf(e.group, e.element, e.vr, e.length)) return false;
    std::optional<bool> put;
    if (IsDeferred(e)) put = PutInPlace(e);
    if (!put)
        put = ForEachValuePiece(e, [&](std::span<const uint8_t> piece) { return out_.Put(piece); });
    if (!*put) return false;
    ++elements_;
    return true;
}

std::optional<bool> ElementEncoder::PutInPlace(const DicomElement& e) {
    std::span<uint8_t> room = out_.Space(e.length);
    if (room.empty()) return std::nullopt;
    for (uint64_t offset = 0;;) {
        if (!ReadValueBytes(e, offset, room)) {
            out_.Commit(0);
            return false;
        }
        out_.Commit(room.size());
        offset += room.size();
        if (offset == e.length) return true;
        // A sink that offered room gives none only once it has failed.
        room = out_.Space(e.length - offset);
        if (room.empty()) return false;
    }
}

bool ElementEncoder::PutHeader(const ElementHeader& h) {
    if (!PutHeaderOf(h.group, h.element, h.vr, h.length)) return false;
    streaming_ = h.length != UNDEFINED_LENGTH ? h.length : 0;
    if (streaming_ == 0) ++elements_;
    return true;
}

bool ElementEncoder::PutValue(std::span<const uint8_t> bytes) {
    if (bytes.size() > streaming_ || !out_.Put(bytes)) return false;
    streaming_ -= bytes.size();
    if (streaming_ == 0 && !bytes.empty()) ++elements_;
    return true;
}

}  // namespace dicomlib::data
