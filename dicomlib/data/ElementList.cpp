// Element records, their value blocks and the list operations. Value blocks are exactly
// `length` bytes long and are owned by their element; a list owns its elements. Every element
// the library makes is an ElementRecord, which besides the C record knows where a value left
// in its file lies.
#include "data/ElementList.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace {

struct ElementRecord : DicomElement {
    std::unique_ptr<dicomlib::data::DeferredValue> deferred;
};

ElementRecord* NewRecord(uint16_t group, uint16_t element, const char vr[2], uint32_t length) {
    auto* record = new ElementRecord();
    record->group = group;
    record->element = element;
    record->vr[0] = vr[0];
    record->vr[1] = vr[1];
    record->length = length;
    record->value = nullptr;
    return record;
}

// Only records have a length without a value block.
const dicomlib::data::DeferredValue& DeferredOf(const DicomElement& e) {
    return *static_cast<const ElementRecord&>(e).deferred;
}

}  // namespace

ElementList& ElementList::operator=(ElementList&& other) noexcept {
    if (this != &other) {
        Clear();
        items_ = std::move(other.items_);
    }
    return *this;
}

void ElementList::Clear() {
    for (DicomElement* e : items_)
        dicomlib::data::FreeElement(e);
    items_.clear();
}

namespace dicomlib::data {

namespace {

// Every value block starts 16 bytes into its allocation: the header says how it was made.
struct BlockHeader {
    uint64_t mappedSize;  // 0: from malloc; otherwise the size of an anonymous mapping
    uint64_t reserved;
};
constexpr std::size_t HEADER = sizeof(BlockHeader);
constexpr std::size_t LARGE_BLOCK = std::size_t{1} << 22;

}  // namespace

uint8_t* AllocateValue(uint32_t length) {
    const std::size_t total = HEADER + length;
#if defined(__linux__)
    // Pixel data of many megabytes is filled once from start to end: a mapping populated in one
    // go costs far less than a page fault for every page. No huge pages: asking for them makes
    // the kernel compact memory first, which stalls the process for longer than it saves.
    if (length >= LARGE_BLOCK) {
        void* map =
            ::mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED) throw std::bad_alloc();
#if defined(MADV_POPULATE_WRITE)
        ::madvise(map, total, MADV_POPULATE_WRITE);
#endif
        static_cast<BlockHeader*>(map)->mappedSize = total;
        return static_cast<uint8_t*>(map) + HEADER;
    }
#endif
    void* block = std::malloc(total);
    if (block == nullptr) throw std::bad_alloc();
    static_cast<BlockHeader*>(block)->mappedSize = 0;
    return static_cast<uint8_t*>(block) + HEADER;
}

void FreeValue(uint8_t* value) {
    if (value == nullptr) return;
    auto* header = reinterpret_cast<BlockHeader*>(value - HEADER);
#if defined(__linux__)
    if (header->mappedSize != 0) {
        ::munmap(header, header->mappedSize);
        return;
    }
#endif
    std::free(header);
}

DicomElement* NewElement(uint16_t group, uint16_t element, uint32_t length, const void* value,
                         const char* vr) {
    const char letters[2] = {vr != nullptr ? vr[0] : char(0),
                             vr != nullptr && vr[0] != 0 ? vr[1] : char(0)};
    DicomElement* e = NewRecord(group, element, letters, length);
    if (HasValue(*e)) {
        e->value = AllocateValue(length);
        if (value != nullptr) {
            std::memcpy(e->value, value, length);
        } else {
            std::memset(e->value, 0, length);
        }
    }
    return e;
}

DicomElement* NewElementOwning(uint16_t group, uint16_t element, const char vr[2], uint32_t length,
                               uint8_t* value) {
    DicomElement* e = NewRecord(group, element, vr, length);
    e->value = value;
    return e;
}

DicomElement* NewDeferredElement(uint16_t group, uint16_t element, const char vr[2],
                                 uint32_t length, DeferredValue where) {
    ElementRecord* e = NewRecord(group, element, vr, length);
    e->deferred = std::make_unique<DeferredValue>(std::move(where));
    return e;
}

DicomElement* CopyElement(const DicomElement& e) {
    if (IsDeferred(e)) return NewDeferredElement(e.group, e.element, e.vr, e.length, DeferredOf(e));
    return NewElement(e.group, e.element, e.length, e.value, e.vr);
}

bool ReadValueBytes(const DicomElement& e, uint64_t offset, std::span<uint8_t> out) {
    if (out.empty()) return true;
    if (!HasValue(e) || offset > e.length || out.size() > e.length - offset) return false;
    if (e.value != nullptr) {
        std::memcpy(out.data(), e.value + offset, out.size());
        return true;
    }
    const DeferredValue& where = DeferredOf(e);
    // Bytes past those the file holds are the missing last byte of a value cut one short.
    const uint64_t inFile = offset < where.stored ? where.stored - offset : 0;
    const std::size_t fromFile = static_cast<std::size_t>(std::min<uint64_t>(inFile, out.size()));
    if (fromFile > 0 && !where.file->Read(where.offset + offset, out.first(fromFile))) return false;
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(fromFile), out.end(), uint8_t{0});
    return true;
}

bool LoadValue(DicomElement& e) {
    if (!IsDeferred(e)) return true;
    ValueBlock block;
    block.Reset(e.length);
    if (!ReadValueBytes(e, 0, {block.Data(), block.Size()})) return false;
    e.value = block.Release();
    static_cast<ElementRecord&>(e).deferred.reset();
    return true;
}

ValueView::ValueView(const DicomElement& e) {
    if (!HasValue(e)) return;
    if (e.value != nullptr) {
        bytes_ = {e.value, e.length};
        return;
    }
    copy_.resize(e.length);
    ok_ = ReadValueBytes(e, 0, copy_);
    if (ok_) bytes_ = copy_;
}

DicomElement* NewTextElement(Tag tag, const char* vr, std::string_view text) {
    return NewElement(tag.group, tag.element, static_cast<uint32_t>(text.size()), text.data(), vr);
}

DicomElement* NewUsElement(Tag tag, uint16_t value) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
    return NewElement(tag.group, tag.element, 2, bytes, "US");
}

DicomElement* NewUlElement(Tag tag, uint32_t value) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return NewElement(tag.group, tag.element, 4, bytes, "UL");
}

void FreeElement(DicomElement* element) {
    if (element == nullptr) return;
    if (HasValue(*element)) FreeValue(element->value);
    delete static_cast<ElementRecord*>(element);
}

void FillTag(DicomElement* target, uint16_t group, uint16_t element, uint32_t length,
             const void* value, const char vr[2]) {
    if (IsDeferred(*target)) static_cast<ElementRecord*>(target)->deferred.reset();
    target->group = group;
    target->element = element;
    target->vr[0] = vr[0];
    target->vr[1] = vr[1];
    target->length = length;
    target->value = nullptr;
    if (HasValue(*target)) {
        target->value = AllocateValue(length);
        std::memcpy(target->value, value, length);
    }
}

DicomElement* FindTag(const ElementList& list, uint16_t group, uint16_t element) {
    for (DicomElement* e : list) {
        if (e->group == group && e->element == element) return e;
    }
    return nullptr;
}

uint16_t GetTagUS(const ElementList& list, uint16_t group, uint16_t element) {
    const DicomElement* e = FindTag(list, group, element);
    uint8_t bytes[2];
    if (e == nullptr || !HasValue(*e) || e->length < 2 || !ReadValueBytes(*e, 0, bytes)) return 0;
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

namespace {

bool IsBlankOrControl(unsigned char c) {
    return c <= 0x20 || c == 0x7F;
}

std::string TextOf(const DicomElement* e) {
    if (e == nullptr || !HasValue(*e)) return {};
    const uint16_t group = e->group, element = e->element;
    if (group == 0x0028 && (element == 0x0010 || element == 0x0011)) {
        uint8_t bytes[2];
        if (e->length < 2 || !ReadValueBytes(*e, 0, bytes)) return {};
        return std::to_string(static_cast<unsigned>(bytes[0] | (bytes[1] << 8)));
    }
    const ValueView view(*e);
    // The value is text up to its first NUL: the 0x00 pad of a UID ends it.
    const auto* begin = reinterpret_cast<const char*>(view.Data());
    const std::size_t size = view.Bytes().size();
    if (size == 0) return {};
    const void* nul = std::memchr(begin, 0, size);
    std::string text(begin, nul != nullptr ? static_cast<const char*>(nul) : begin + size);
    if (group == 0x0010 && element == 0x0010) {
        for (char& c : text) {
            if (c == ',') c = '^';
        }
    }
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && IsBlankOrControl(static_cast<unsigned char>(text[first])))
        ++first;
    while (last > first && IsBlankOrControl(static_cast<unsigned char>(text[last - 1])))
        --last;
    return text.substr(first, last - first);
}

}  // namespace

std::string GetTagString(const ElementList& list, uint16_t group, uint16_t element) {
    return TextOf(FindTag(list, group, element));
}

DicomElement* FindTopLevelTag(const ElementList& list, Tag tag) {
    std::size_t depth = 0;
    for (DicomElement* e : list) {
        if (e->group == 0xFFFE) {
            if (e->element == 0xE000 && e->length == UNDEFINED_LENGTH) ++depth;
            if ((e->element == 0xE00D || e->element == 0xE0DD) && depth > 0) --depth;
            continue;
        }
        if (depth == 0 && TagOf(*e) == tag) return e;
        if (e->length == UNDEFINED_LENGTH) ++depth;
    }
    return nullptr;
}

std::string GetTopLevelString(const ElementList& list, Tag tag) {
    return TextOf(FindTopLevelTag(list, tag));
}

void CopyTags(ElementList& target, const ElementList& source) {
    target.Reserve(target.Size() + source.Size());
    for (const DicomElement* e : source)
        target.Append(CopyElement(*e));
}

void ClearTags(ElementList& list) {
    list.Clear();
}

}  // namespace dicomlib::data
