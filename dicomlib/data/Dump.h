// The text dump of elements: the memo form (one line per element, sent to a line sink that a
// window or a terminal can use) and the trace form appended to a file for message dumps.
// Names come from the dictionary in Windows-1252; the dump also gives each element its
// dictionary VR, the only change it makes to what it dumps. Lines come as the bytes the trace
// log keeps, or in UTF-8 for people, with text values decoded by their character set.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "data/ElementList.h"

namespace dicomlib::data {

using LineSink = std::function<void(const std::string& line)>;

// Bytes: values as they are, names in Windows-1252. Utf8: names converted, text values decoded
// by the character set that holds for them (the list's (0008,0005), or an item's own), other
// values read as Windows-1252, and a "Warning: " line after a (0008,0005) not understood.
enum class DumpText : uint8_t { Bytes, Utf8 };

// The printable form of a value: its text up to the first NUL, or the number of an FL, FD,
// SL, SS, UL or US (read in the given byte order; "Vector!!" for five bytes or more). Of a
// value left in its file only the first 256 bytes are read: no dump prints more.
std::string PrintableValue(const DicomElement& element, bool bigEndian = false);

// Follows a list element by element and tells which items are the offset table and fragments
// of an undefined-length Pixel Data: they hold bytes, never elements, so they are not opened.
class FragmentTracker {
  public:
    // Call for every element of one list, in list order.
    bool IsFragment(const DicomElement& element);

  private:
    bool inside_ = false;
};

// One or more lines per element, in list order. Items and item delimiters of undefined length
// move the "....." indent; defined-length sequences and items are opened one level deeper.
// Fragments print as one line each and move nothing.
void DumpTagsToMemo(ElementList& list, const LineSink& addLine, bool explicitVr,
                    bool bigEndian = false, DumpText text = DumpText::Bytes);

// The trace lines of one element (without line ends), indent TABs deep, nested defined-length
// sequences and items opened unless the element is a fragment.
std::vector<std::string> ElementTraceLines(DicomElement& element, bool explicitVr, int indent,
                                           bool bigEndian = false, bool fragment = false);
// The same lines, each ended by CR LF, as the trace log holds them.
std::string FormatElementTrace(DicomElement& element, bool explicitVr, int indent,
                               bool bigEndian = false, bool fragment = false);

// The trace lines of every element of the list, at indent 0, fragments told apart.
void DumpTagsToTrace(ElementList& list, const LineSink& addLine, bool explicitVr,
                     bool bigEndian = false, DumpText text = DumpText::Bytes);

// Appends FormatElementTrace to the file; false when the file or element is missing or the
// file cannot be opened.
bool DumpElementToFile(const std::string& fileName, DicomElement* element, bool explicitVr,
                       int indent, bool bigEndian = false, bool fragment = false);

}  // namespace dicomlib::data
