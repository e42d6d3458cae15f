// Judging files by DCMTK rather than by our own reader: dcmdump's lines of a data set, DCMTK's
// decompression to explicit VR little endian, and an element-by-element comparison of two
// files once both have been through it. Also the generated images the interop suites send.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

struct DumpLine {
    std::string tag;  // "(gggg,eeee)" with its indent
    std::string vr;
    std::string value;  // as dcmdump prints it
};

// The data set lines of dcmdump +L, in order. The meta group, group lengths (which each writer
// lays out as it likes) and trailing padding (which no sender passes on) are left out.
std::vector<DumpLine> DataSetLines(const std::filesystem::path& file);

// A value as bytes where dcmdump shows bytes or words, so that OB, OW and UN compare equal;
// a text without its brackets and trailing padding.
std::string CanonicalValue(const DumpLine& line);

// DCMTK's dcmdjpeg writes file decompressed, in explicit VR little endian, to out.
bool DcmtkNormalise(const std::filesystem::path& file, const std::filesystem::path& out);

struct CompareOptions {
    // The actual pixel data may stop where the frames end (bytes past them are not compressed).
    bool pixelsUpToFrames = false;
};

// Expects actual to hold the elements and values of expected, both normalised by DCMTK into
// scratch. Private elements are compared by tag only (implicit VR loses their VRs), and VR UN
// on the actual side is taken for any VR (tags younger than our dictionary); pixel data may be
// OB or OW.
void ExpectSameDataSet(const std::filesystem::path& expected, const std::filesystem::path& actual,
                       const std::filesystem::path& scratch, CompareOptions options = {});

// A CT-like grayscale secondary capture (a noisy disc on a dark field), explicit VR little
// endian. The instance UID is written as given, so an odd one goes without its pad.
std::filesystem::path WriteGeneratedImage(const std::filesystem::path& path, uint16_t bits,
                                          uint16_t rows, uint16_t columns,
                                          const std::string& instanceUid, int seed = 0);

}  // namespace testsupport
