// Part 10 files: reading a file and its transfer syntax, building a file meta group, writing
// a file, giving a bare data set a meta group in place, and converting a file to another
// transfer syntax. Files are written under a temporary name and renamed into place, so a file
// that carries its final name is always whole.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "data/Converter.h"
#include "data/ElementList.h"
#include "data/FileBytes.h"

namespace dicomlib::data {

// Reads a Part 10 file's data set into data and its transfer syntax into syntax. False when the
// file cannot be read as a Part 10 file or has no (0002,0010).
bool LoadDataSetFile(const std::filesystem::path& path, ElementList& data, std::string& syntax);

// Reads a whole file as a bare data set in the given syntax. False only when it cannot be
// opened; complete tells whether it was read to its end.
bool ReadRawDataSetFile(const std::filesystem::path& path, ElementList& list,
                        std::string_view transferSyntax, bool* complete = nullptr);

// Appends the seven elements of our file meta group to an empty list and sets its length.
void BuildMetaHeader(ElementList& list, std::string_view sopClassUid,
                     std::string_view sopInstanceUid, std::string_view transferSyntaxUid);

// Writes a Part 10 file (preamble, "DICM", meta group) or, with no meta list, a bare data set;
// the body in the VR mode and byte order given, raw-deflated when asked (then padded with one
// 0x00 to even length). False when it could not be written. Durable files are flushed to the
// disk before they take their name.
bool WritePart10File(const std::filesystem::path& path, const ElementList* meta,
                     const ElementList& data, bool explicitVr, bool bigEndian = false,
                     bool durable = false, bool deflated = false);
// The same with a body that body puts into the sink element by element (false to give up).
bool WritePart10Stream(const std::filesystem::path& path, const ElementList* meta,
                       const std::function<bool(ElementSink&)>& body, bool explicitVr,
                       bool bigEndian = false, bool durable = false, bool deflated = false);

// The same with a body that is the bytes of source from offset to its end, as they are (or
// raw-deflated when asked): a data set received into a file, stored without being decoded.
bool WritePart10Copy(const std::filesystem::path& path, const ElementList& meta,
                     const ValueFile& source, uint64_t offset, bool durable = false,
                     bool deflated = false);

// Gives a file that holds a bare data set a meta group, in place. Nothing is changed (false)
// when the file cannot be read, already is a Part 10 file, or cannot be read to its end.
bool AppendMetaHeader(const std::filesystem::path& path, std::string_view transferSyntax);

// Converts list in place; after a failure it holds what was converted before it.
ConvertError ConvertList(ElementList& list, std::string_view targetSyntax,
                         std::string_view sourceSyntax);

enum class FileConvertStatus {
    Converted = 0,
    NotPart10File = -1,
    NoTransferSyntax = -2,
    UnknownSourceSyntax = -3,
    UnknownTargetSyntax = -4,
    ColourToLossless = -5,
    UnsupportedImage = -6,
    MalformedData = -7,
    CannotWrite = -8,
};

// What a conversion outcome means, in words: "not a Part 10 file", "unsupported image layout".
std::string_view ConvertStatusText(FileConvertStatus status);

// Writes newPath holding existingPath's data set in targetSyntax; a file already in that
// syntax is copied byte for byte. When a pixel data codec refuses a frame, detail (when given)
// gets its reason.
FileConvertStatus ConvertFile(const std::filesystem::path& newPath,
                              const std::filesystem::path& existingPath,
                              std::string_view targetSyntax, std::string* detail = nullptr);

}  // namespace dicomlib::data
