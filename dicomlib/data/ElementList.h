// The in-memory data element and the ordered element list that every data set, command set,
// query identifier and meta group is held in, with the small set of list operations the whole
// library uses. Lookups scan from the front and the first match wins; duplicates are allowed.
//
// A value read from a file may be left where it lies (large values, and pixel data always): its
// element has a length but no value block, and knows where in the file its bytes are. Whoever
// needs the bytes reads them through ReadValueBytes, ValueView or LoadValue; whoever only looks
// at headers never touches them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "data/FileBytes.h"

#include "zedavura.h"

// Defined at global scope so that the C handle in zedavura.h needs no casts.
struct ElementList {
    ElementList() = default;
    ~ElementList() { Clear(); }
    ElementList(const ElementList&) = delete;
    ElementList& operator=(const ElementList&) = delete;
    ElementList(ElementList&& other) noexcept : items_(std::move(other.items_)) {}
    ElementList& operator=(ElementList&& other) noexcept;

    // Takes ownership of the element.
    void Append(DicomElement* element) { items_.push_back(element); }
    // Takes ownership of the element, which goes before the one at index (at the end for Size()).
    void Insert(std::size_t index, DicomElement* element) {
        items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(index), element);
    }
    // Frees every element and its value; the list stays usable.
    void Clear();

    std::size_t Size() const { return items_.size(); }
    bool Empty() const { return items_.empty(); }
    DicomElement* operator[](std::size_t index) const { return items_[index]; }
    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }
    void Reserve(std::size_t count) { items_.reserve(count); }

  private:
    std::vector<DicomElement*> items_;
};

namespace dicomlib {

struct Tag {
    uint16_t group;
    uint16_t element;
    friend constexpr bool operator==(Tag, Tag) = default;
};

inline constexpr Tag TagOf(const DicomElement& e) {
    return {e.group, e.element};
}

namespace data {

// True when the element has value bytes (length neither 0 nor undefined), in a value block
// or left in its file.
inline bool HasValue(const DicomElement& e) {
    return e.length != 0 && e.length != UNDEFINED_LENGTH;
}

// True when the element's value is left in its file: it has a length but no value block. Only
// elements of a list are ever in that state.
inline bool IsDeferred(const DicomElement& e) {
    return HasValue(e) && e.value == nullptr;
}

// Where a value left in its file lies: `stored` bytes from offset on; a value that the end of
// the file cut one byte short (stored = length - 1) reads as if its last byte were 0.
struct DeferredValue {
    std::shared_ptr<const ValueFile> file;
    uint64_t offset = 0;
    uint32_t stored = 0;
};

// A new element whose `length` bytes are left in a file.
DicomElement* NewDeferredElement(uint16_t group, uint16_t element, const char vr[2],
                                 uint32_t length, DeferredValue where);
// A deep copy: a new value block with the same bytes, or the same place in the same file.
DicomElement* CopyElement(const DicomElement& element);

// Copies out.size() bytes of the value from offset on into out, from the value block or from
// the file. False when the range is not inside the value or the file no longer holds it.
bool ReadValueBytes(const DicomElement& element, uint64_t offset, std::span<uint8_t> out);
// Reads a value left in its file into a value block of its own, for good; true at once for a
// value already in memory. False when the file no longer holds it.
bool LoadValue(DicomElement& element);

// The whole value of an element for as long as the view lives: its own block, or a copy read
// from its file. Ok() is false when the file no longer holds it; an element without a value
// gives an empty view that is Ok.
class ValueView {
  public:
    explicit ValueView(const DicomElement& element);
    bool Ok() const { return ok_; }
    std::span<const uint8_t> Bytes() const { return bytes_; }
    const uint8_t* Data() const { return bytes_.data(); }

  private:
    std::vector<uint8_t> copy_;
    std::span<const uint8_t> bytes_;
    bool ok_ = true;
};

inline bool VrIs(const DicomElement& e, const char* vr) {
    return e.vr[0] == vr[0] && e.vr[1] == vr[1];
}

// A new value block of `length` bytes, uninitialised.
uint8_t* AllocateValue(uint32_t length);
void FreeValue(uint8_t* value);

// A value block that is freed unless an element takes it over (Release).
class ValueBlock {
  public:
    ValueBlock() = default;
    ~ValueBlock() { FreeValue(data_); }
    ValueBlock(const ValueBlock&) = delete;
    ValueBlock& operator=(const ValueBlock&) = delete;
    // A fresh uninitialised block of length bytes in place of the old one.
    void Reset(uint32_t length) {
        FreeValue(data_);
        data_ = nullptr;
        size_ = 0;
        data_ = AllocateValue(length);
        size_ = length;
    }
    uint8_t* Data() const { return data_; }
    uint32_t Size() const { return size_; }
    uint8_t* Release() {
        size_ = 0;
        return std::exchange(data_, nullptr);
    }

  private:
    uint8_t* data_ = nullptr;
    uint32_t size_ = 0;
};

// A new element copying `length` bytes from value (GenerateTag rules: vr may be null).
DicomElement* NewElement(uint16_t group, uint16_t element, uint32_t length, const void* value,
                         const char* vr);
// A new element that takes over a value block made by AllocateValue.
DicomElement* NewElementOwning(uint16_t group, uint16_t element, const char vr[2], uint32_t length,
                               uint8_t* value);
// A new element with a text value, as given (no padding added).
DicomElement* NewTextElement(Tag tag, const char* vr, std::string_view text);
// A new US element holding one 16-bit value, little endian.
DicomElement* NewUsElement(Tag tag, uint16_t value);
// A new UL element holding one 32-bit value, little endian.
DicomElement* NewUlElement(Tag tag, uint32_t value);
void FreeElement(DicomElement* element);

// Fills an already allocated record; vr is always copied (two characters).
void FillTag(DicomElement* target, uint16_t group, uint16_t element, uint32_t length,
             const void* value, const char vr[2]);

DicomElement* FindTag(const ElementList& list, uint16_t group, uint16_t element);
inline DicomElement* FindTag(const ElementList& list, Tag tag) {
    return FindTag(list, tag.group, tag.element);
}

// The first two value bytes, little endian; 0 when absent or shorter than two bytes.
uint16_t GetTagUS(const ElementList& list, uint16_t group, uint16_t element);
inline uint16_t GetTagUS(const ElementList& list, Tag tag) {
    return GetTagUS(list, tag.group, tag.element);
}

// The value as trimmed text (see ElementList.cpp for the rules of names, rows and columns).
std::string GetTagString(const ElementList& list, uint16_t group, uint16_t element);
inline std::string GetTagString(const ElementList& list, Tag tag) {
    return GetTagString(list, tag.group, tag.element);
}

// The first element with this tag outside every sequence, item and encapsulated pixel data of
// the flat form (which open with an undefined length and close with their delimiters), or null.
// Lists of data sets whose sequences come before the attribute (a referenced series ahead of
// the instance's own) need this rather than FindTag.
DicomElement* FindTopLevelTag(const ElementList& list, Tag tag);
// GetTagString's text of FindTopLevelTag's element.
std::string GetTopLevelString(const ElementList& list, Tag tag);

// Appends a deep copy of every element of source to target (values left in a file stay there).
void CopyTags(ElementList& target, const ElementList& source);
void ClearTags(ElementList& list);

}  // namespace data
}  // namespace dicomlib
