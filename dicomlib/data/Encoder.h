// The encoder: writes element lists back into bytes. The flat writer lays a whole list out in
// one buffer (files are written through ElementEncoder, which lays them out the same way a
// piece at a time); the element stream writer and reader encode one element at a time in
// either byte order and VR mode (the sequence re-encoder and the trace dump). Value bytes are
// written exactly as held: the converter is what puts them in the right order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "data/ElementList.h"

namespace dicomlib::data {

// A memory stream whose 16- and 32-bit numbers are big endian when the flag is set. A stream
// is either written (it grows) or reads bytes it is given, without copying them: those must
// outlive it.
class ByteOrderStream {
  public:
    explicit ByteOrderStream(bool bigEndian) : bigEndian_(bigEndian) {}
    ByteOrderStream(std::span<const uint8_t> bytes, bool bigEndian)
        : input_(bytes), bigEndian_(bigEndian) {}
    // Writes into storage, emptied first: its capacity is reused, and Take gives it back.
    ByteOrderStream(std::vector<uint8_t>&& storage, bool bigEndian)
        : bytes_(std::move(storage)), bigEndian_(bigEndian) {
        bytes_.clear();
    }

    bool BigEndian() const { return bigEndian_; }
    void PutU16(uint16_t value);
    void PutU32(uint32_t value);
    void PutBytes(const void* bytes, std::size_t count);
    bool GetU16(uint16_t& value);
    bool GetU32(uint32_t& value);
    bool GetBytes(void* bytes, std::size_t count);
    bool Skip(std::size_t count);
    std::size_t Remaining() const { return input_.size() - readPos_; }
    bool AtEnd() const { return readPos_ >= input_.size(); }
    // What has been written.
    std::size_t Size() const { return bytes_.size(); }
    const std::vector<uint8_t>& Bytes() const { return bytes_; }
    std::vector<uint8_t> Take() { return std::move(bytes_); }

  private:
    std::vector<uint8_t> bytes_;
    std::span<const uint8_t> input_;
    std::size_t readPos_ = 0;
    bool bigEndian_;
};

// The VR an element is written with in explicit VR. Its own VR, except: an empty one comes
// from the dictionary; a short-form VR cannot hold an undefined length (a sequence) or a value
// above 65535 bytes (UN).
void EffectiveVr(const DicomElement& element, char vr[2]);
void EffectiveVr(uint16_t group, uint16_t element, const char ownVr[2], uint32_t length,
                 char vr[2]);

// Bytes of the element's header as the writers lay it out.
uint32_t HeaderSize(const DicomElement& element, bool explicitVr);

// The number of bytes WriteTagsToBuffer produces for the list.
uint64_t EncodedListLength(const ElementList& list, bool explicitVr);

// Writes every element in list order into buffer: items and delimiters in the implicit form,
// group 0002 always explicit little endian, the rest as explicitVr says, numbers in header
// fields big endian when bigEndian is set. Returns the number of elements written; never writes
// past bufferSize (it stops with "ERROR: ptr > length" on standard error instead).
int64_t WriteTagsToBuffer(const ElementList& list, uint8_t* buffer, uint64_t bufferSize,
                          bool explicitVr, bool bigEndian = false);
// The list laid out in a new buffer of exactly EncodedListLength bytes.
std::vector<uint8_t> EncodeList(const ElementList& list, bool explicitVr, bool bigEndian = false);

// One element appended to the stream; group 0000 and FFFE always take the implicit form.
void WriteElement(ByteOrderStream& stream, const DicomElement& element, bool explicitVr);
// Its inverse: a new element from the stream, or null when the bytes run out or a length goes
// past them.
DicomElement* ReadElement(ByteOrderStream& stream, bool explicitVr);

// Encodes list with WriteElement into the element's value (replacing value and length).
void EncodeSequenceValue(DicomElement& element, const ElementList& list, bool explicitVr,
                         bool bigEndian);

// Reads the value of a defined-length sequence or item in the source mode and appends its
// elements to list, with nested defined-length containers re-encoded in the target mode and
// binary values turned to the target byte order. False when the value is malformed.
bool DecodeSequenceValue(const DicomElement& element, ElementList& list, bool sourceExplicit,
                         bool targetExplicit, bool sourceBigEndian, bool targetBigEndian);

// Reads a defined-length sequence's value one level deep; in implicit VR each element gets its
// dictionary VR. False when the value is malformed (what was read stays in list).
bool SplitSequenceValue(const DicomElement& element, ElementList& list, bool explicitVr,
                        bool bigEndian);

// Whether a value is wholly made of defined-length items: how a sequence whose tag the
// dictionary does not know shows itself in implicit VR.
bool LooksLikeSequence(const DicomElement& element, bool bigEndian);

// Gives an element read in implicit VR its dictionary VR; an unknown one becomes a sequence
// when its value or its undefined length says it is one, and "UN" otherwise.
void TypeImplicitElement(DicomElement& element, bool bigEndian);

// Size of the units a binary VR's value is made of (2, 4 or 8), or 0 for byte values and text.
int ValueUnitSize(const char vr[2]);
// Reverses the bytes of every unit of a binary value (little endian to big endian and back); a
// value left in its file is loaded first. False when that fails.
bool SwapValueBytes(DicomElement& element);
// The same over bytes of a value of that VR that start at a multiple of the unit size.
void SwapUnits(std::span<uint8_t> bytes, int unit);

}  // namespace dicomlib::data
