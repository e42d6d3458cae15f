// Each directory record is an item of the directory record sequence, found by its byte offset
// from the start of the file. A record is read only inside its own item (up to the item's
// length, its delimiter or the end of the file), so a missing offset reads as 0 and never as
// the next record's. Offsets are followed only when they point past the meta group at an item
// not visited before: a directory handed to us may point anywhere, or in a circle.
#include "store/Rddcmdir.h"

#include <string_view>
#include <unordered_set>

#include "data/Datadec.h"
#include "data/Dictionary.h"
#include "data/Tags.h"
#include "data/TransferSyntax.h"

namespace dicomlib::store {
namespace {

using data::ByteStream;
using data::ElementHeader;

constexpr std::size_t ITEM_HEADER = 8;

enum class RecordLevel { Patient, Study, Series, Image };

// What a record of a level must be called, and the marker it starts with in the list.
struct LevelRule {
    std::string_view type;
    std::string_view marker;
};
constexpr LevelRule RULES[] = {{"PATIENT", "PATIENT "}, {"STUDY", "STUDY "}, {"SERIES", "SERIES"}};

uint32_t U32At(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// Text without the blanks and NULs that pad it.
std::string_view RecordValueText(const uint8_t* value, uint32_t length) {
    std::string_view text(reinterpret_cast<const char*>(value), value != nullptr ? length : 0);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0'))
        text.remove_suffix(1);
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    return text;
}

bool Is(const ElementHeader& h, Tag tag) {
    return h.group == tag.group && h.element == tag.element;
}

// Reads element headers one after another between two positions. An element of undefined
// length opens a level and is stepped into, a delimiter closes one; everything else has its
// value stepped over. Inside an undefined-length UN element the headers are implicit VR little
// endian, and take their VRs from the dictionary, as the data set decoder reads them.
class Cursor {
  public:
    Cursor(std::span<const uint8_t> bytes, std::size_t from, std::size_t limit)
        : in_(bytes.first(limit)) {
        in_.Advance(from);
    }

    // The next header, false when none fits before the limit (or its value does not).
    bool Next(ElementHeader& h) {
        value_ = nullptr;
        if (in_.AtEnd()) return false;
        data::DecoderState state{static_cast<uint8_t>(implicitFrom_ < 0), 0, 0};
        if (!data::ReadElementHeader(state, in_, h)) return false;
        depth_ = open_;
        const bool delimiter = h.group == 0xFFFE && h.element != 0xE000;
        if (delimiter) {
            // A delimiter closes a level and has no value, whatever its length field says; one
            // with nothing open is reported at depth -1.
            h.length = 0;
            depth_ = open_ - 1;
            if (open_ > 0) --open_;
            if (open_ < implicitFrom_) implicitFrom_ = -1;
            return true;
        }
        if (implicitFrom_ >= 0 && h.group != 0xFFFE) {
            const data::DictionaryEntry* entry = data::FindDictionaryEntry(h.group, h.element);
            h.vr[0] = entry != nullptr ? entry->vr[0] : 'U';
            h.vr[1] = entry != nullptr ? entry->vr[1] : 'N';
        }
        if (h.length == UNDEFINED_LENGTH) {
            ++open_;
            if (implicitFrom_ < 0 && h.vr[0] == 'U' && h.vr[1] == 'N') {
                implicitFrom_ = open_;
                h.vr[0] = 'S';
                h.vr[1] = 'Q';
            }
            return true;
        }
        if (h.length > in_.Remaining()) return false;
        if (h.length != 0) value_ = in_.Current();
        in_.Advance(h.length);
        return true;
    }

    // How deeply the element just read is nested: 0 at the top, -1 for a delimiter that closes
    // something opened before the cursor started.
    int Depth() const { return depth_; }
    // The value of the element just read; null when it has none.
    const uint8_t* Value() const { return value_; }
    std::size_t Position() const { return in_.Position(); }

  private:
    ByteStream in_;
    int open_ = 0;
    int depth_ = 0;
    int implicitFrom_ = -1;
    const uint8_t* value_ = nullptr;
};

class DirectoryWalker {
  public:
    DirectoryWalker(std::span<const uint8_t> bytes, std::size_t dataSetStart, ElementList& list)
        : bytes_(bytes), dataSetStart_(dataSetStart), list_(list) {}

    void WalkChain(RecordLevel level, uint32_t offset) {
        while (offset != 0 && IsNewRecordAt(offset)) {
            const Links links = ReadRecord(offset, level);
            if (links.accepted && level != RecordLevel::Image && links.lower != 0) {
                WalkChain(static_cast<RecordLevel>(static_cast<int>(level) + 1), links.lower);
            }
            offset = links.next;
        }
    }

  private:
    struct Links {
        uint32_t next = 0;
        uint32_t lower = 0;
        bool accepted = false;
    };

    bool IsNewRecordAt(uint32_t offset) {
        if (offset < dataSetStart_ || offset > bytes_.size() ||
            bytes_.size() - offset < ITEM_HEADER) {
            return false;
        }
        const uint8_t* p = bytes_.data() + offset;
        if (p[0] != 0xFE || p[1] != 0xFF || p[2] != 0x00 || p[3] != 0xE0) return false;
        return visited_.insert(offset).second;
    }

    // Appends the record when its type fits the level, and returns where its chain goes on.
    Links ReadRecord(uint32_t offset, RecordLevel level) {
        const uint32_t length = U32At(bytes_.data() + offset + 4);
        const std::size_t start = offset + ITEM_HEADER;
        const std::size_t limit = length == UNDEFINED_LENGTH || length > bytes_.size() - start
                                      ? bytes_.size()
                                      : start + length;
        Cursor cursor(bytes_, start, limit);
        Links links;
        bool typed = false;
        ElementHeader h;
        while (cursor.Next(h)) {
            const int depth = cursor.Depth();
            // The record's own delimiter, or the next record's item where a delimiter is missing.
            if (depth < 0 || (depth == 0 && Is(h, tag::Item))) break;
            if (depth == 0 && !typed && Is(h, tag::DirectoryRecordType)) {
                typed = true;
                links.accepted = Accept(level, h, cursor.Value());
                continue;
            }
            if (depth == 0 && h.length == 4 && cursor.Value() != nullptr) {
                if (Is(h, tag::OffsetOfTheNextDirectoryRecord)) links.next = U32At(cursor.Value());
                if (Is(h, tag::OffsetOfReferencedLowerLevelDirectoryEntity))
                    links.lower = U32At(cursor.Value());
            }
            if (links.accepted)
                list_.Append(data::NewElement(h.group, h.element, h.length, cursor.Value(), h.vr));
        }
        return links;
    }

    // The record type test; on acceptance the record's marker is appended.
    bool Accept(RecordLevel level, const ElementHeader& h, const uint8_t* value) {
        const std::string_view type = RecordValueText(value, h.length);
        if (type.empty()) return false;
        if (level == RecordLevel::Image) {
            list_.Append(data::NewElement(h.group, h.element, h.length, value, h.vr));
            return true;
        }
        const LevelRule& rule = RULES[static_cast<int>(level)];
        if (type != rule.type) return false;
        list_.Append(data::NewElement(h.group, h.element, static_cast<uint32_t>(rule.marker.size()),
                                      rule.marker.data(), h.vr));
        return true;
    }

    std::span<const uint8_t> bytes_;
    std::size_t dataSetStart_;
    ElementList& list_;
    std::unordered_set<uint32_t> visited_;
};

}  // namespace

DicomDirStatus ReadDCMDIR(std::span<const uint8_t> bytes, ElementList& list) {
    if (bytes.size() < 132 ||
        std::string_view(reinterpret_cast<const char*>(bytes.data()) + 128, 4) != "DICM") {
        return DicomDirStatus::NotPart10;
    }
    // The meta group: its transfer syntax must be explicit VR little endian (a meta group that
    // names none is read as such).
    ByteStream meta(bytes);
    meta.Advance(132);
    std::size_t dataSetStart = meta.Position();
    data::DecoderState state;
    ElementHeader h;
    while (data::ReadElementHeader(state, meta, h) && h.group == 0x0002 && state.inMeta) {
        const uint32_t length = h.length == UNDEFINED_LENGTH ? 0 : h.length;
        if (length > meta.Remaining()) return DicomDirStatus::NotPart10;
        if (Is(h, tag::TransferSyntaxUID) &&
            RecordValueText(meta.Current(), length) != uid::ExplicitVRLittleEndian) {
            return DicomDirStatus::NotExplicitLittleEndian;
        }
        meta.Advance(length);
        dataSetStart = meta.Position();
    }
    if (!state.explicitVr) return DicomDirStatus::NotExplicitLittleEndian;

    Cursor cursor(bytes, dataSetStart, bytes.size());
    while (cursor.Next(h)) {
        if (cursor.Depth() != 0 ||
            !Is(h, tag::OffsetOfTheFirstDirectoryRecordOfTheRootDirectoryEntity)) {
            continue;
        }
        // A root offset of 0 is an empty directory.
        const uint32_t root =
            h.length == 4 && cursor.Value() != nullptr ? U32At(cursor.Value()) : 0;
        DirectoryWalker(bytes, dataSetStart, list).WalkChain(RecordLevel::Patient, root);
        return DicomDirStatus::Read;
    }
    return DicomDirStatus::NoRootOffset;
}

DicomDirStatus ReadDCMDIR(const std::filesystem::path& path, ElementList& list) {
    const auto bytes = data::ReadWholeFile(path);
    if (!bytes) return DicomDirStatus::CannotOpen;
    return ReadDCMDIR(bytes->Span(), list);
}

std::string_view DicomDirStatusText(DicomDirStatus status) {
    switch (status) {
        case DicomDirStatus::Read:
            return "read";
        case DicomDirStatus::CannotOpen:
            return "cannot read the file";
        case DicomDirStatus::NotPart10:
            return "not a DICOMDIR: not a Part 10 file (no \"DICM\" at offset 128)";
        case DicomDirStatus::NotExplicitLittleEndian:
            return "not explicit VR little endian, as a DICOMDIR must be";
        case DicomDirStatus::NoRootOffset:
            return "not a DICOMDIR: no offset of the first directory record (0004,1200)";
    }
    return "not read";
}

}  // namespace dicomlib::store
