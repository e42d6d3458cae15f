// The transfer syntaxes the library knows, in one table: how each lays out a data set after its
// meta group, and which codec reads and writes its pixel data frames. Everything that asks
// "explicit VR? big endian? compressed?" of a syntax asks here; adding a syntax is adding a row.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "imaging/FrameCodec.h"

namespace dicomlib::uid {

inline constexpr char ImplicitVRLittleEndian[] = "1.2.840.10008.1.2";
inline constexpr char ExplicitVRLittleEndian[] = "1.2.840.10008.1.2.1";
inline constexpr char ExplicitVRBigEndian[] = "1.2.840.10008.1.2.2";
inline constexpr char DeflatedExplicitVRLittleEndian[] = "1.2.840.10008.1.2.1.99";
inline constexpr char RLELossless[] = "1.2.840.10008.1.2.5";
inline constexpr char JPEGBaseline[] = "1.2.840.10008.1.2.4.50";
inline constexpr char JPEGExtended[] = "1.2.840.10008.1.2.4.51";
inline constexpr char JPEGLosslessAnyPredictor[] = "1.2.840.10008.1.2.4.57";
inline constexpr char JPEGLossless[] = "1.2.840.10008.1.2.4.70";
inline constexpr char JPEGLSLossless[] = "1.2.840.10008.1.2.4.80";
inline constexpr char JPEGLSNearLossless[] = "1.2.840.10008.1.2.4.81";
inline constexpr char JPEG2000Lossless[] = "1.2.840.10008.1.2.4.90";
inline constexpr char JPEG2000[] = "1.2.840.10008.1.2.4.91";
inline constexpr char JPEGXLLossless[] = "1.2.840.10008.1.2.4.110";
inline constexpr char JPEGXLJPEGRecompression[] = "1.2.840.10008.1.2.4.111";
inline constexpr char JPEGXL[] = "1.2.840.10008.1.2.4.112";
inline constexpr char HTJ2KLossless[] = "1.2.840.10008.1.2.4.201";
inline constexpr char HTJ2KLosslessRPCL[] = "1.2.840.10008.1.2.4.202";
inline constexpr char HTJ2K[] = "1.2.840.10008.1.2.4.203";

}  // namespace dicomlib::uid

namespace dicomlib::data {

struct TransferSyntax {
    const char* uid;
    const char* name;   // what the command line calls it; "" when it offers no name for it
    const char* title;  // what the standard calls it, as an operator reads it
    bool explicitVr;    // after the meta group
    bool bigEndian;     // after the meta group
    bool deflated;      // the data set after the meta group is deflated
    bool encapsulated;  // pixel data in fragments, each frame a codec's stream
    const imaging::FrameCodec* codec;  // for encapsulated pixel data; null when none is built
};

// Every row, implicit VR little endian first.
std::span<const TransferSyntax> TransferSyntaxes();

// The row of a UID, compared whole; null for a syntax the library does not know.
const TransferSyntax* FindTransferSyntax(std::string_view uid);
// The row the command line's name stands for; null for an unknown name.
const TransferSyntax* FindTransferSyntaxNamed(std::string_view name);

// The syntax's title ("RLE Lossless"); the UID itself for a syntax the table does not know.
std::string SyntaxTitle(std::string_view uid);

// Whether the converter reads (and writes, when the codec writes) data sets in the syntax:
// encapsulated pixel data only with a codec.
bool IsConvertible(const TransferSyntax& syntax);

struct DataSetEncoding {
    bool explicitVr;
    bool bigEndian;
    bool deflated = false;  // raw deflate of the explicit VR little endian bytes
};

// How a data set in the syntax is laid out after its meta group. A syntax the table does not
// know reads and writes as explicit VR little endian, as every encapsulated syntax does.
DataSetEncoding EncodingOf(std::string_view uid);

}  // namespace dicomlib::data
