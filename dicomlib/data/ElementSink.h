// Writing a data set out one element at a time: what takes elements as a list is walked or a
// conversion makes them (a list in memory, an encoder into a ByteSink). Values left in their file
// are read a piece at a time on the way through, so a data set is never held whole to be written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "data/ByteSink.h"
#include "data/Datadec.h"
#include "data/ElementList.h"

namespace dicomlib::data {

class ElementSink {
  public:
    virtual ~ElementSink() = default;
    // A whole element; its value may be left in its file.
    virtual bool Put(DicomElement& element) = 0;
    // An element whose header.length value bytes follow in pieces through PutValue.
    virtual bool PutHeader(const ElementHeader& header) = 0;
    virtual bool PutValue(std::span<const uint8_t> bytes) = 0;
};

// Hands the value to put a piece at a time (the whole block at once when it is in memory).
// False when put refuses a piece or the file no longer holds the value.
bool ForEachValuePiece(const DicomElement& element,
                       const std::function<bool(std::span<const uint8_t>)>& put);

// Every element of the list, in order.
bool PutList(ElementSink& sink, const ElementList& list);

// Appends copies of what it receives to a list; streamed values are gathered into a block.
class ListSink : public ElementSink {
  public:
    explicit ListSink(ElementList& list) : list_(list) {}
    bool Put(DicomElement& element) override;
    bool PutHeader(const ElementHeader& header) override;
    bool PutValue(std::span<const uint8_t> bytes) override;

  private:
    ElementList& list_;
    DicomElement* filling_ = nullptr;  // the last element appended, while its value comes
    uint32_t filled_ = 0;
};

// How element headers are laid out. File: items and delimiters implicit, group 0002 always
// explicit little endian, the rest as the syntax says. Message: groups 0000 and FFFE implicit,
// the rest as the syntax says.
enum class HeaderRules { File, Message };

// Encodes what it receives into a byte sink.
class ElementEncoder : public ElementSink {
  public:
    ElementEncoder(ByteSink& out, HeaderRules rules, bool explicitVr, bool bigEndian)
        : out_(out), rules_(rules), explicitVr_(explicitVr), bigEndian_(bigEndian) {}
    bool Put(DicomElement& element) override;
    bool PutHeader(const ElementHeader& header) override;
    bool PutValue(std::span<const uint8_t> bytes) override;
    // The elements written whole so far.
    int64_t Elements() const { return elements_; }

  private:
    bool PutHeaderOf(uint16_t group, uint16_t element, const char vr[2], uint32_t length);
    // A value left in its file, read straight into the room the sink offers: none when it
    // offers none, else whether it was put.
    std::optional<bool> PutInPlace(const DicomElement& element);

    ByteSink& out_;
    HeaderRules rules_;
    bool explicitVr_;
    bool bigEndian_;
    int64_t elements_ = 0;
    uint64_t streaming_ = 0;  // value bytes still to come through PutValue
};

}  // namespace dicomlib::data
