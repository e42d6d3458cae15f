// The decoder: turns the bytes of a Part 10 file or of a bare data set into element lists,
// keeping every value as the raw bytes of the stream. Sequences and encapsulated pixel data
// stay flat; a defined-length sequence stays one element until ExpandSequence opens it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "data/ElementList.h"
#include "data/FileBytes.h"

namespace dicomlib::data {

// What a reader knows of the stream it reads. inMeta: still inside the file meta group, whose
// headers are explicit VR little endian whatever the other two flags say.
struct DecoderState {
    uint8_t explicitVr = 1;
    uint8_t bigEndian = 0;
    uint8_t inMeta = 1;
};

struct ElementHeader {
    uint16_t group = 0;
    uint16_t element = 0;
    char vr[2] = {0, 0};
    uint32_t length = 0;
};

// A read position over bytes held in memory.
class ByteStream {
  public:
    explicit ByteStream(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    std::size_t Position() const { return pos_; }
    std::size_t Size() const { return bytes_.size(); }
    std::size_t Remaining() const { return bytes_.size() - pos_; }
    bool AtEnd() const { return pos_ >= bytes_.size(); }
    const uint8_t* Current() const { return bytes_.data() + pos_; }
    // Reads a 16- or 32-bit number; false (position unchanged) when the bytes run out.
    bool ReadU16(bool bigEndian, uint16_t& out);
    bool ReadU32(bool bigEndian, uint32_t& out);
    bool ReadBytes(void* out, std::size_t count);
    void Advance(std::size_t count) { pos_ += count < Remaining() ? count : Remaining(); }

  private:
    std::span<const uint8_t> bytes_;
    std::size_t pos_ = 0;
};

// VRs whose explicit header carries two reserved bytes and a 4-byte length.
bool IsLongFormVr(const char vr[2]);

// Reads one element header under the state's rules; may leave the meta group, and turns the
// reader to implicit VR when the meta group itself turns out to be implicit. False when the
// stream ended inside the header.
bool ReadElementHeader(DecoderState& state, ByteStream& stream, ElementHeader& header);

// A file's bytes, loaded whole.
inline std::optional<FileBytes> ReadWholeFile(const std::filesystem::path& path) {
    return FileBytes::Read(path);
}

// Values from this length on, and Pixel Data and its fragments of any length, are left in the
// file they are read from (see ElementList.h). Values of the meta group and of a deflated body
// are always read.
constexpr uint32_t DEFERRED_VALUE_SIZE = 256 * 1024;

// Reads a Part 10 file: group 0002 into meta, everything else into data, in file order.
// Afterwards the state tells the body's syntax. False when the file cannot be opened, has no
// "DICM" at offset 128, or ends inside an element or more than one byte short of a value.
// Large values stay in the file.
bool ReadPart10File(DecoderState& state, const std::filesystem::path& path, ElementList& meta,
                    ElementList& data);
bool ReadPart10Bytes(DecoderState& state, std::span<const uint8_t> bytes, ElementList& meta,
                     ElementList& data);
// Why ReadPart10File does not read the file, in an operator's words: "no such file", "a
// folder, not a file", "not a DICOM file: no "DICM" at offset 128", "damaged at byte N: the
// value of (7FE0,0010) announces ... bytes, but only ... follow". Empty when it reads.
std::string Part10FileProblem(const std::filesystem::path& path);

// Reads the elements in front of the pixel data (meta group and data set in one list, group
// 0002 keeping the VRs read); stops at the first element of group 7FE0.
bool ReadPart10Header(std::span<const uint8_t> bytes, ElementList& list);

// Reads a bare data set (no preamble, no meta group) under the given state, inMeta clear.
// False when the bytes end inside an element.
bool ReadDataSetBytes(DecoderState state, std::span<const uint8_t> bytes, ElementList& list);
// The same of a whole file from offset on, its large values left in it.
bool ReadDataSetFile(DecoderState state, const std::shared_ptr<const ValueFile>& file,
                     ElementList& list, uint64_t offset = 0);

// Appends the flat form of a defined-length sequence or item: the element with undefined
// length, its contents (nested defined-length containers opened too), then the closing
// delimiter. False when the value is malformed or nested too deeply; what was appended stays.
bool ExpandSequence(const DecoderState& state, const DicomElement& element, ElementList& list);

// How deeply ExpandSequence opens nested containers before refusing the value.
constexpr int MAX_SEQUENCE_DEPTH = 64;

}  // namespace dicomlib::data
