// Element records, their value blocks and the list operations. Value blocks are exactly
// `length` bytes long and are owned by their element; a list owns its elements.
#include "data/ElementList.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

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
    // go costs far less than a page fault for every page.
    if (length >= LARGE_BLOCK) {
        void* map =
            ::mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED) throw std::bad_alloc();
        ::madvise(map, total, MADV_HUGEPAGE);
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
    auto* e = new DicomElement{group, element, {0, 0}, length, nullptr};
    if (vr != nullptr) {
        e->vr[0] = vr[0];
        e->vr[1] = vr[0] == 0 ? char(0) : vr[1];
    }
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
    return new DicomElement{group, element, {vr[0], vr[1]}, length, value};
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
    delete element;
}

void FillTag(DicomElement* target, uint16_t group, uint16_t element, uint32_t length,
             const void* value, const char vr[2]) {
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
    if (e == nullptr || !HasValue(*e) || e->length < 2) return 0;
    return static_cast<uint16_t>(e->value[0] | (e->value[1] << 8));
}

namespace {

bool IsBlankOrControl(unsigned char c) {
    return c <= 0x20 || c == 0x7F;
}

std::string TextOf(const DicomElement* e) {
    if (e == nullptr || !HasValue(*e)) return {};
    const uint16_t group = e->group, element = e->element;
    if (group == 0x0028 && (element == 0x0010 || element == 0x0011)) {
        if (e->length < 2) return {};
        char text[8];
        std::snprintf(text, sizeof text, "%hu",
                      static_cast<unsigned short>(e->value[0] | (e->value[1] << 8)));
        return text;
    }
    // The value is text up to its first NUL: the 0x00 pad of a UID ends it.
    const auto* begin = reinterpret_cast<const char*>(e->value);
    const void* nul = std::memchr(begin, 0, e->length);
    std::string text(begin, nul != nullptr ? static_cast<const char*>(nul) : begin + e->length);
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
    for (const DicomElement* e : source) {
        target.Append(NewElement(e->group, e->element, e->length, e->value, e->vr));
    }
}

void ClearTags(ElementList& list) {
    list.Clear();
}

}  // namespace dicomlib::data
