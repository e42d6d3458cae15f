// Element header rules for the three uncompressed transfer syntaxes and the file meta group,
// and the readers built on them; a deflated body is inflated first and read as explicit VR
// little endian. Values are copied once, straight from the mapped file into their element;
// nothing is allocated for a length that the input cannot hold. Reading a file leaves large
// values and pixel data where they lie: their pages are never touched.
#include "data/Datadec.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data/Deflate.h"
#include "data/Dictionary.h"
#include "data/TransferSyntax.h"

namespace dicomlib::data {
namespace {

constexpr uint16_t ITEM_GROUP = 0xFFFE;
constexpr uint16_t ITEM = 0xE000;
constexpr uint16_t ITEM_DELIMITER = 0xE00D;
constexpr uint16_t SEQUENCE_DELIMITER = 0xE0DD;

uint16_t Swap16(uint16_t v) {
    return static_cast<uint16_t>((v >> 8) | (v << 8));
}

bool HeaderHasValue(const ElementHeader& h) {
    return h.length != 0 && h.length != UNDEFINED_LENGTH;
}

bool VrEquals(const char vr[2], const char* text) {
    return vr[0] == text[0] && vr[1] == text[1];
}

// The VR the file meta group prescribes for its elements, or null for others.
const char* PrescribedMetaVr(uint16_t element) {
    switch (element) {
        case 0x0000:
            return "UL";
        case 0x0001:
            return "OB";
        case 0x0002:
        case 0x0003:
        case 0x0010:
        case 0x0012:
        case 0x0100:
            return "UI";
        case 0x0013:
            return "SH";
        case 0x0016:
            return "AE";
        case 0x0102:
            return "OB";
        default:
            return nullptr;
    }
}

// The text of a UID value up to its first NUL, so that a NUL pad drops off (a space does not).
std::string_view UidText(const uint8_t* value, uint32_t length) {
    const auto* text = reinterpret_cast<const char*>(value);
    const void* nul = std::memchr(text, 0, length);
    return {text, nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - text)
                                 : length};
}

// The bytes of a value whose header was just read, as far as the input holds them. The last
// value of the input may be one byte short: it keeps its declared length and the missing byte
// is 0. Anything shorter is refused before allocating.
bool TakeValue(ByteStream& in, uint32_t length, std::size_t& available) {
    const std::size_t remaining = in.Remaining();
    if (length > remaining && length - remaining != 1) return false;
    available = length > remaining ? remaining : length;
    return true;
}

bool ReadValue(ByteStream& in, uint32_t length, uint8_t*& value) {
    std::size_t available = 0;
    if (!TakeValue(in, length, available)) return false;
    value = AllocateValue(length);
    std::memcpy(value, in.Current(), available);
    if (available < length) value[available] = 0;
    in.Advance(available);
    return true;
}

bool IsPixelData(const ElementHeader& h) {
    return h.group == 0x7FE0 && h.element == 0x0010;
}

// The file a data set is read from, when its large values are to be left there.
struct DeferringFile {
    const std::shared_ptr<const ValueFile>* file = nullptr;
    FileBytes* mapping = nullptr;  // the file's bytes the reader walks

    // Large values, pixel data, and the offset table and fragments of encapsulated pixel data.
    bool Defers(const ElementHeader& h, bool inFragments) const {
        if (file == nullptr || h.group == 0x0002) return false;
        return h.length >= DEFERRED_VALUE_SIZE || IsPixelData(h) ||
               (inFragments && h.group == ITEM_GROUP && h.element == ITEM);
    }
};

// Follows an undefined-length UN element of an explicit stream: its items are implicit VR
// little endian up to the sequence delimiter that closes it. Inside, nesting is counted so that
// the right delimiter switches the reader back, and elements get their dictionary VRs so that
// the list reads as an ordinary explicit sequence.
class UnknownSequenceReader {
  public:
    bool Active() const { return depth_ > 0; }

    // Called for an element read outside such a region; opens one when the element starts it.
    void MaybeOpen(DecoderState& state, char vr[2], uint32_t length) {
        if (state.inMeta || !state.explicitVr || length != UNDEFINED_LENGTH) return;
        if (!VrEquals(vr, "UN")) return;
        vr[0] = 'S';
        vr[1] = 'Q';
        depth_ = 1;
        savedBigEndian_ = state.bigEndian;
        state.explicitVr = 0;
        state.bigEndian = 0;
    }

    // Called for every element read inside the region.
    void Track(DecoderState& state, uint16_t group, uint16_t element, char vr[2], uint32_t length) {
        if (group == ITEM_GROUP) {
            if (element == ITEM_DELIMITER || element == SEQUENCE_DELIMITER) {
                --depth_;
            } else if (length == UNDEFINED_LENGTH) {
                ++depth_;
            }
        } else {
            if (length == UNDEFINED_LENGTH) ++depth_;
            const DictionaryEntry* entry = FindDictionaryEntry(group, element);
            vr[0] = entry != nullptr ? entry->vr[0] : 'U';
            vr[1] = entry != nullptr ? entry->vr[1] : 'N';
        }
        if (depth_ == 0) {
            state.explicitVr = 1;
            state.bigEndian = savedBigEndian_;
        }
    }

  private:
    int depth_ = 0;
    uint8_t savedBigEndian_ = 0;
};

enum class BodyMode {
    Part10,  // group 0002 to the meta list with prescribed VRs, the rest to the data list
    Header,  // everything to one list, VRs as read, stop at group 7FE0
    Bare,    // a data set without meta group
};

// Where and why a reading stopped short, for the operator's words.
struct Damage {
    std::size_t offset = 0;
    bool inflated = false;  // the offset is in the inflated data set
    std::string why;
};

bool DecodeElements(DecoderState& state, ByteStream& file, BodyMode mode, ElementList* meta,
                    ElementList& data, DeferringFile deferring = {}, Damage* damage = nullptr) {
    uint64_t metaEnd = file.Size();
    UnknownSequenceReader unknown;
    bool inFragments = false;  // after an undefined-length Pixel Data, up to its delimiter
    // A deflated body is inflated once the meta group ends and read from memory from there on.
    bool deflated = false;
    std::vector<uint8_t> inflated;
    std::optional<ByteStream> body;
    ByteStream* current = &file;
    auto fail = [&](std::size_t offset, std::string why) {
        if (damage != nullptr) *damage = {offset, current != &file, std::move(why)};
        return false;
    };
    while (!current->AtEnd() || (deflated && !body && !state.inMeta)) {
        if (deflated && !body && !state.inMeta) {
            Inflated plain = InflateBytes({file.Current(), file.Remaining()});
            if (!plain.error.empty())
                return fail(file.Position(), "the deflated data set cannot be inflated");
            inflated = std::move(plain.bytes);
            current = &body.emplace(inflated);
            continue;
        }
        ByteStream& in = *current;
        ElementHeader h;
        const std::size_t start = in.Position();
        if (!ReadElementHeader(state, in, h))
            return fail(start, "the file ends inside the header of an element");
        if (mode == BodyMode::Header && h.group == 0x7FE0) return true;

        // The element that reaches the end of the meta group is the last one read in meta mode.
        const bool readInMeta = state.inMeta != 0;
        if (mode != BodyMode::Bare && state.inMeta &&
            in.Position() + uint64_t{h.length} >= metaEnd) {
            state.inMeta = 0;
        }

        uint8_t* value = nullptr;
        std::optional<DeferredValue> where;
        auto cutShort = [&] {
            char tag[16];
            std::snprintf(tag, sizeof tag, "(%04X,%04X)", h.group, h.element);
            return fail(start, std::string("the value of ") + tag + " announces " +
                                   std::to_string(h.length) + " bytes, but only " +
                                   std::to_string(in.Remaining()) + " follow");
        };
        if (HeaderHasValue(h) && current == &file && deferring.Defers(h, inFragments)) {
            // Left where it lies: a position in the stream over the whole file is its offset.
            std::size_t available = 0;
            if (!TakeValue(in, h.length, available)) return cutShort();
            where = DeferredValue{*deferring.file, in.Position(), static_cast<uint32_t>(available)};
            in.Advance(available);
            deferring.mapping->Release(in.Position());
        } else if (HeaderHasValue(h) && !ReadValue(in, h.length, value)) {
            return cutShort();
        }

        if (h.group == 0x0002 && mode != BodyMode::Bare) {
            if (h.element == 0x0010 && readInMeta && value != nullptr) {
                const std::string_view syntax = UidText(value, h.length);
                const TransferSyntax* row = FindTransferSyntax(syntax);
                deflated = row != nullptr && row->deflated;
                const DataSetEncoding layout = EncodingOf(syntax);
                if (!layout.explicitVr) {
                    state.explicitVr = 0;
                } else if (layout.bigEndian) {
                    state.explicitVr = 1;
                    state.bigEndian = 1;
                }
            }
            if (h.element == 0x0000 && value != nullptr && h.length >= 4) {
                const uint32_t groupLength = static_cast<uint32_t>(
                    value[0] | (value[1] << 8) | (value[2] << 16) | (value[3] << 24));
                metaEnd = in.Position() + uint64_t{groupLength};
            }
            if (mode == BodyMode::Part10) {
                if (const char* vr = PrescribedMetaVr(h.element)) {
                    h.vr[0] = vr[0];
                    h.vr[1] = vr[1];
                }
                meta->Append(NewElementOwning(h.group, h.element, h.vr, h.length, value));
                continue;
            }
        } else if (unknown.Active()) {
            unknown.Track(state, h.group, h.element, h.vr, h.length);
        } else {
            unknown.MaybeOpen(state, h.vr, h.length);
        }
        inFragments = IsPixelData(h) ? h.length == UNDEFINED_LENGTH
                                     : inFragments && h.group == ITEM_GROUP && h.element == ITEM;
        data.Append(where ? NewDeferredElement(h.group, h.element, h.vr, h.length, *where)
                          : NewElementOwning(h.group, h.element, h.vr, h.length, value));
    }
    return true;
}

bool HasPreamble(std::span<const uint8_t> bytes) {
    return bytes.size() >= 132 && std::memcmp(bytes.data() + 128, "DICM", 4) == 0;
}

bool ExpandInto(DecoderState state, const DicomElement& container, std::span<const uint8_t> value,
                ElementList& list, int depth) {
    list.Append(
        NewElement(container.group, container.element, UNDEFINED_LENGTH, nullptr, container.vr));
    bool ok = depth <= MAX_SEQUENCE_DEPTH;
    ByteStream in(value);
    while (ok && !in.AtEnd()) {
        ElementHeader h;
        if (!ReadElementHeader(state, in, h)) {
            ok = false;
            break;
        }
        if (!HeaderHasValue(h)) {
            list.Append(NewElementOwning(h.group, h.element, h.vr, h.length, nullptr));
            continue;
        }
        if (h.length > in.Remaining()) {
            ok = false;
            break;
        }
        const bool isItem = h.group == ITEM_GROUP && h.element == ITEM;
        if (isItem || VrEquals(h.vr, "SQ")) {
            // Only the tag and VR of the container are used.
            const DicomElement nested{
                h.group, h.element, {h.vr[0], h.vr[1]}, UNDEFINED_LENGTH, nullptr};
            ok = ExpandInto(state, nested, {in.Current(), h.length}, list, depth + 1);
            in.Advance(h.length);
        } else {
            list.Append(NewElement(h.group, h.element, h.length, in.Current(), h.vr));
            in.Advance(h.length);
        }
    }
    // An item closes with an item delimiter, anything else (a sequence, whether its VR came
    // from the stream or not) with a sequence delimiter.
    const bool containerIsItem = container.group == ITEM_GROUP && container.element == ITEM;
    list.Append(NewElement(ITEM_GROUP, containerIsItem ? ITEM_DELIMITER : SEQUENCE_DELIMITER, 0,
                           nullptr, "DL"));
    return ok;
}

}  // namespace

bool ByteStream::ReadU16(bool bigEndian, uint16_t& out) {
    if (Remaining() < 2) return false;
    const uint8_t* p = Current();
    out = bigEndian ? static_cast<uint16_t>((p[0] << 8) | p[1])
                    : static_cast<uint16_t>(p[0] | (p[1] << 8));
    pos_ += 2;
    return true;
}

bool ByteStream::ReadU32(bool bigEndian, uint32_t& out) {
    if (Remaining() < 4) return false;
    const uint8_t* p = Current();
    out = bigEndian ? (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) |
                          uint32_t{p[3]}
                    : uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) |
                          (uint32_t{p[3]} << 24);
    pos_ += 4;
    return true;
}

bool ByteStream::ReadBytes(void* out, std::size_t count) {
    if (Remaining() < count) return false;
    std::memcpy(out, Current(), count);
    pos_ += count;
    return true;
}

bool IsLongFormVr(const char vr[2]) {
    switch (vr[0]) {
        case 'O':
            return vr[1] == 'B' || vr[1] == 'D' || vr[1] == 'F' || vr[1] == 'L' || vr[1] == 'V' ||
                   vr[1] == 'W';
        case 'S':
            return vr[1] == 'Q' || vr[1] == 'V';
        case 'U':
            return vr[1] == 'C' || vr[1] == 'N' || vr[1] == 'R' || vr[1] == 'T' || vr[1] == 'V';
        default:
            return false;
    }
}

bool ReadElementHeader(DecoderState& state, ByteStream& stream, ElementHeader& header) {
    header = ElementHeader{};
    const bool bigEndian = state.bigEndian && !state.inMeta;
    if (!stream.ReadU16(bigEndian, header.group) || !stream.ReadU16(bigEndian, header.element)) {
        return false;
    }
    if (state.inMeta && header.group > 0x0002) {
        // The first element beyond the meta group ends it. Its tag was read little endian;
        // a big endian body wants it the other way round.
        state.inMeta = 0;
        if (state.bigEndian) {
            header.group = Swap16(header.group);
            header.element = Swap16(header.element);
        }
    }
    const bool body = !state.inMeta;
    const bool bodyBigEndian = state.bigEndian && body;
    if ((header.group != 0xFFFE && state.explicitVr) || state.inMeta) {
        if (!stream.ReadBytes(header.vr, 2)) return false;
        if (IsLongFormVr(header.vr)) {
            if (stream.Remaining() < 2) return false;
            stream.Advance(2);
            return stream.ReadU32(bodyBigEndian, header.length);
        }
        uint16_t shortLength = 0;
        if (!stream.ReadU16(bodyBigEndian, shortLength)) return false;
        header.length = shortLength;
        if (header.group == 0x0002 && (header.element == 0x0000 || header.element == 0x0001) &&
            shortLength == 0) {
            // The meta group is implicit: the "VR" was the low half of a 4-byte length.
            header.length = static_cast<uint32_t>(
                static_cast<int32_t>(static_cast<int8_t>(static_cast<uint8_t>(header.vr[0]))));
            header.vr[0] = 0;
            header.vr[1] = 0;
            state.explicitVr = 0;
            state.inMeta = 0;
        }
        return true;
    }
    return stream.ReadU32(bodyBigEndian, header.length);
}

bool ReadPart10Bytes(DecoderState& state, std::span<const uint8_t> bytes, ElementList& meta,
                     ElementList& data) {
    state = DecoderState{};
    if (!HasPreamble(bytes)) return false;
    ByteStream in(bytes);
    in.Advance(132);
    return DecodeElements(state, in, BodyMode::Part10, &meta, data);
}

std::string Part10FileProblem(const std::filesystem::path& path) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return "no such file";
    if (std::filesystem::is_directory(path, ec)) return "a folder, not a file";
    // Large values stay in the file here too: only the headers are walked.
    const auto file = ValueFile::Open(path);
    auto bytes = file != nullptr ? FileBytes::Read(*file) : ReadWholeFile(path);
    if (!bytes) return "cannot be read";
    if (!HasPreamble(bytes->Span())) {
        return bytes->Size() < 132 ? "not a DICOM file: " + std::to_string(bytes->Size()) +
                                         " bytes, too short for the preamble and \"DICM\""
                                   : std::string("not a DICOM file: no \"DICM\" at offset 128");
    }
    DecoderState state;
    ElementList meta, data;
    ByteStream in(bytes->Span());
    in.Advance(132);
    Damage damage;
    const DeferringFile deferring =
        file != nullptr ? DeferringFile{&file, &*bytes} : DeferringFile{};
    if (DecodeElements(state, in, BodyMode::Part10, &meta, data, deferring, &damage)) return {};
    return "damaged at byte " + std::to_string(damage.offset) +
           (damage.inflated ? " of the inflated data set" : "") + ": " + damage.why;
}

bool ReadPart10File(DecoderState& state, const std::filesystem::path& path, ElementList& meta,
                    ElementList& data) {
    state = DecoderState{};
    const auto file = ValueFile::Open(path);
    if (file == nullptr) {
        // Not a regular file: read whole, as a pipe must be.
        auto bytes = ReadWholeFile(path);
        return bytes && ReadPart10Bytes(state, bytes->Span(), meta, data);
    }
    auto bytes = FileBytes::Read(*file);
    if (!bytes || !HasPreamble(bytes->Span())) return false;
    ByteStream in(bytes->Span());
    in.Advance(132);
    return DecodeElements(state, in, BodyMode::Part10, &meta, data, {&file, &*bytes});
}

bool ReadPart10Header(std::span<const uint8_t> bytes, ElementList& list) {
    if (!HasPreamble(bytes)) return false;
    DecoderState state;
    ByteStream in(bytes);
    in.Advance(132);
    DecodeElements(state, in, BodyMode::Header, nullptr, list);
    return true;
}

bool ReadDataSetBytes(DecoderState state, std::span<const uint8_t> bytes, ElementList& list) {
    state.inMeta = 0;
    ByteStream in(bytes);
    return DecodeElements(state, in, BodyMode::Bare, nullptr, list);
}

bool ReadDataSetFile(DecoderState state, const std::shared_ptr<const ValueFile>& file,
                     ElementList& list, uint64_t offset) {
    state.inMeta = 0;
    auto bytes = FileBytes::Read(*file);
    if (!bytes || offset > bytes->Size()) return false;
    ByteStream in(bytes->Span());
    in.Advance(static_cast<std::size_t>(offset));
    return DecodeElements(state, in, BodyMode::Bare, nullptr, list, {&file, &*bytes});
}

bool ExpandSequence(const DecoderState& state, const DicomElement& element, ElementList& list) {
    if (!HasValue(element)) return false;
    DecoderState body = state;
    body.inMeta = 0;
    const ValueView value(element);
    return value.Ok() && ExpandInto(body, element, value.Bytes(), list, 1);
}

}  // namespace dicomlib::data
