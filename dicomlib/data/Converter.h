// The transfer syntax converter: re-encodes a data set from one of the syntaxes of the transfer
// syntax table into another, opening and re-encoding defined-length sequences, turning binary
// values to the target byte order, recomputing group lengths, and decoding or encoding the
// pixel data with the codec of the syntax it comes from or goes to. The pixel data is converted
// one frame at a time as the output is written, so a conversion holds one frame in and one out
// whatever the number of frames.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "data/ElementList.h"
#include "data/ElementSink.h"

namespace dicomlib::data {

enum class ConvertError {
    None,
    UnknownSourceSyntax,
    UnknownTargetSyntax,
    ColourToLossless,    // lossless JPEG here is for grayscale images only
    UnsupportedImage,    // bits allocated other than 8 or 16, or frames that do not add up
    MalformedPixelData,  // missing fragments, a value shorter than its frames, a bad stream
    MalformedSequence,
    WriteFailed,  // the output refused the converted bytes (a full disk, a broken connection)
};

// One conversion of input, written out as it is made. Prepare converts every element but the
// pixel data frames, and the first frame of each pixel data, so that an image layout or a
// stream a codec refuses is known before anything is written; WriteTo then writes the whole
// data set to a sink, converting the other frames on the way. The input stays the caller's and
// must outlive the conversion unchanged; only its VRs may change (elements read in implicit VR
// get their dictionary VRs). When a pixel data codec refuses a frame, detail (when given) gets
// its reason.
class Conversion {
  public:
    Conversion(ElementList& input, std::string_view targetSyntax, std::string_view sourceSyntax,
               std::string* detail = nullptr);
    ~Conversion();
    Conversion(const Conversion&) = delete;
    Conversion& operator=(const Conversion&) = delete;

    // Before Prepare: compressed pixel data decoded to native samples stops after this many
    // frames.
    void LimitDecodedFrames(uint32_t frames);
    ConvertError Prepare();
    // After a successful Prepare, once: the converted data set, to sink. None, or the first
    // failure: a later frame that does not convert, or WriteFailed when the sink refused.
    ConvertError WriteTo(ElementSink& sink);
    // After a failed Prepare: copies of the elements converted in front of the failure.
    void TakeConvertedSoFar(ElementList& output);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// Appends to output the input data set converted from sourceSyntax to targetSyntax, values in
// memory (values left in a file that need no change stay there). After a failure output holds
// what was converted in front of it.
ConvertError Transcode(ElementList& output, ElementList& input, std::string_view targetSyntax,
                       std::string_view sourceSyntax, std::string* detail = nullptr);

// Why a conversion failed, for an operator: "cannot convert RLE Lossless to JPEG Baseline: no
// JPEG Baseline encoder", with the codec's detail when it gave one.
std::string ConvertFailureText(ConvertError error, std::string_view sourceSyntax,
                               std::string_view targetSyntax, const std::string& detail = {});

// For readers of samples (thumbnails, print): a data set with native little-endian pixel data.
// One in a big-endian or compressed syntax is converted in place and syntax becomes explicit
// VR little endian; one already native and little endian is left as it is. With firstFrameOnly
// compressed pixel data is decoded only as far as its first frame, which is then all the pixel
// data holds (Number of Frames stays as it was): for readers that look at no other frame.
ConvertError ToNativeLittleEndian(ElementList& dataSet, std::string& syntax,
                                  std::string* detail = nullptr, bool firstFrameOnly = false);

inline bool TranscodeTags(ElementList& output, ElementList& input, std::string_view targetSyntax,
                          std::string_view sourceSyntax) {
    return Transcode(output, input, targetSyntax, sourceSyntax) == ConvertError::None;
}

}  // namespace dicomlib::data
