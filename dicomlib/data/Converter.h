// The transfer syntax converter: re-encodes a data set from one of the syntaxes of the transfer
// syntax table into another, opening and re-encoding defined-length sequences, turning binary
// values to the target byte order, recomputing group lengths, and decoding or encoding the
// pixel data with the codec of the syntax it comes from or goes to.
#pragma once

#include <string>
#include <string_view>

#include "data/ElementList.h"

namespace dicomlib::data {

enum class ConvertError {
    None,
    UnknownSourceSyntax,
    UnknownTargetSyntax,
    ColourToLossless,    // lossless JPEG here is for grayscale images only
    UnsupportedImage,    // bits allocated other than 8 or 16, or frames that do not add up
    MalformedPixelData,  // missing fragments, a value shorter than its frames, a bad stream
    MalformedSequence,
};

// Appends to output the input data set converted from sourceSyntax to targetSyntax. Input stays
// the caller's; only its VRs may change (elements read in implicit VR get their dictionary VRs).
// When a pixel data codec refuses a frame, detail (when given) gets its reason.
ConvertError Transcode(ElementList& output, ElementList& input, std::string_view targetSyntax,
                       std::string_view sourceSyntax, std::string* detail = nullptr);

// Why a conversion failed, for an operator: "cannot convert RLE Lossless to JPEG Baseline: no
// JPEG Baseline encoder", with the codec's detail when it gave one.
std::string ConvertFailureText(ConvertError error, std::string_view sourceSyntax,
                               std::string_view targetSyntax, const std::string& detail = {});

// For readers of samples (thumbnails, print): a data set with native little-endian pixel data.
// One in a big-endian or compressed syntax is converted in place and syntax becomes explicit
// VR little endian; one already native and little endian is left as it is.
ConvertError ToNativeLittleEndian(ElementList& dataSet, std::string& syntax,
                                  std::string* detail = nullptr);

inline bool TranscodeTags(ElementList& output, ElementList& input, std::string_view targetSyntax,
                          std::string_view sourceSyntax) {
    return Transcode(output, input, targetSyntax, sourceSyntax) == ConvertError::None;
}

}  // namespace dicomlib::data
