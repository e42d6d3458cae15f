// Transfer syntax conversion. The flat list is walked once; a nesting depth is kept so that
// only the top-level image attributes and pixel data are taken for the image (an icon inside a
// sequence has pixel data of its own).
#include "data/Converter.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "data/Dictionary.h"
#include "data/Encoder.h"
#include "data/FlatWriter.h"
#include "data/Tags.h"
#include "data/TransferSyntax.h"
#include "imaging/BaselineJpeg.h"
#include "imaging/FrameCodec.h"

namespace dicomlib::data {
namespace {

bool IsItem(const DicomElement& e) {
    return e.group == 0xFFFE && e.element == 0xE000;
}
bool IsDelimiter(const DicomElement& e) {
    return e.group == 0xFFFE && (e.element == 0xE00D || e.element == 0xE0DD);
}

// What the converter needs to know of the image, from the top-level attributes.
struct Image {
    bool colour = false;
    bool rgb = false;  // photometric interpretation RGB
    uint16_t rows = 0;
    uint16_t columns = 0;
    uint16_t bitsAllocated = 0;
    uint16_t bitsStored = 0;
    bool isSigned = false;
    bool planar = false;
    uint32_t frames = 1;

    std::size_t FrameSize() const { return std::size_t{rows} * columns * (bitsAllocated / 8u); }
};

uint16_t ReadUS(const DicomElement& e, bool bigEndian) {
    if (!HasValue(e) || e.length < 2) return 0;
    return bigEndian ? static_cast<uint16_t>(e.value[0] << 8 | e.value[1])
                     : static_cast<uint16_t>(e.value[1] << 8 | e.value[0]);
}

void Remember(Image& image, const DicomElement& e, bool bigEndian) {
    if (e.group != 0x0028) return;
    if (TagOf(e) == tag::PhotometricInterpretation) {
        image.colour = !(HasValue(e) && e.length >= 3 && std::memcmp(e.value, "MON", 3) == 0);
        image.rgb = HasValue(e) && e.length >= 3 && std::memcmp(e.value, "RGB", 3) == 0;
    } else if (TagOf(e) == tag::Rows) {
        image.rows = ReadUS(e, bigEndian);
    } else if (TagOf(e) == tag::Columns) {
        image.columns = ReadUS(e, bigEndian);
    } else if (TagOf(e) == tag::BitsAllocated) {
        image.bitsAllocated = ReadUS(e, bigEndian);
    } else if (TagOf(e) == tag::BitsStored) {
        image.bitsStored = ReadUS(e, bigEndian);
    } else if (TagOf(e) == tag::PixelRepresentation) {
        image.isSigned = ReadUS(e, bigEndian) == 1;
    } else if (TagOf(e) == tag::PlanarConfiguration) {
        image.planar = ReadUS(e, bigEndian) == 1;
    } else if (TagOf(e) == tag::NumberOfFrames && HasValue(e)) {
        const std::string text(reinterpret_cast<const char*>(e.value), e.length);
        const long frames = std::strtol(text.c_str(), nullptr, 10);
        image.frames = frames > 1 ? static_cast<uint32_t>(frames) : 1;
    }
}

// An item or delimiter the converter builds, with the library's pseudo-VR "DL".
DicomElement* NewItemElement(Tag t, uint32_t length, const uint8_t* value) {
    return NewElement(t.group, t.element, length, value, "DL");
}

// The fragments of encapsulated pixel data that starts at input[pixel]: the items after the
// offset table up to the sequence delimiter. next is set to the element after the delimiter.
bool CollectFragments(const ElementList& input, std::size_t pixel,
                      std::vector<const DicomElement*>& fragments, std::size_t& next) {
    std::size_t i = pixel + 1;
    if (i >= input.Size() || !IsItem(*input[i])) return false;  // the offset table
    for (++i; i < input.Size() && IsItem(*input[i]); ++i)
        fragments.push_back(input[i]);
    if (i < input.Size() && TagOf(*input[i]) == tag::SequenceDelimitationItem) ++i;
    next = i;
    return !fragments.empty();
}

imaging::FrameLayout LayoutOf(const Image& image) {
    imaging::FrameLayout layout;
    layout.rows = image.rows;
    layout.columns = image.columns;
    layout.bitsAllocated = image.bitsAllocated;
    layout.samplesPerPixel = image.colour ? 3 : 1;
    layout.rgb = image.rgb;
    // Bits stored beyond those allocated is a damaged header: the allocation decides.
    layout.bitsStored = image.bitsStored <= image.bitsAllocated ? image.bitsStored : 0;
    layout.isSigned = image.isSigned;
    layout.planar = image.colour && image.planar;
    return layout;
}

ConvertError ErrorOf(imaging::FrameCodecResult&& result, std::string* detail) {
    if (detail != nullptr) *detail = std::move(result.detail);
    return result.outcome == imaging::FrameCodecOutcome::UnsupportedLayout
               ? ConvertError::UnsupportedImage
               : ConvertError::MalformedPixelData;
}

// Decodes every frame of encapsulated pixel data into native samples, little endian.
ConvertError DecodeFrames(const std::vector<const DicomElement*>& fragments, const Image& image,
                          const imaging::FrameCodec& codec, ValueBlock& native, std::string* detail,
                          std::string& photometric) {
    const imaging::FrameLayout layout = LayoutOf(image);
    const std::size_t frameSize = layout.NativeSize();
    if (frameSize == 0) return ConvertError::UnsupportedImage;

    // One frame may span several fragments; several frames need one fragment each.
    std::vector<std::vector<uint8_t>> joined;
    std::vector<std::span<const uint8_t>> streams;
    if (image.frames == 1) {
        if (fragments.size() == 1) {
            streams.emplace_back(fragments[0]->value, fragments[0]->length);
        } else {
            auto& all = joined.emplace_back();
            for (const DicomElement* f : fragments) {
                if (HasValue(*f)) all.insert(all.end(), f->value, f->value + f->length);
            }
            streams.emplace_back(all.data(), all.size());
        }
    } else if (fragments.size() == image.frames) {
        for (const DicomElement* f : fragments)
            streams.emplace_back(f->value, f->length);
    } else {
        return ConvertError::UnsupportedImage;
    }

    const std::size_t total = frameSize * streams.size();
    if (total > 0xFFFFFFFCu) return ConvertError::UnsupportedImage;
    // An odd number of native bytes gets a 0x00 pad: values have even lengths.
    native.Reset(static_cast<uint32_t>(total + total % 2));
    if (total % 2 != 0) native.Data()[total] = 0x00;
    for (std::size_t f = 0; f < streams.size(); ++f) {
        std::span<uint8_t> out(native.Data() + f * frameSize, frameSize);
        if (streams[f].empty()) return ConvertError::MalformedPixelData;
        imaging::FrameCodecResult decoded = codec.Decode(streams[f], layout, out);
        if (!decoded.Ok()) return ErrorOf(std::move(decoded), detail);
        photometric = std::move(decoded.photometric);
    }
    return ConvertError::None;
}

// Appends encapsulated pixel data: the pixel data element, an empty offset table, one fragment
// per frame (an odd stream gets a 0x00 pad) and the sequence delimiter.
ConvertError AppendEncapsulated(ElementList& output, std::span<const uint8_t> native,
                                const Image& image, const imaging::FrameCodec& codec,
                                std::string* detail, std::string& photometric,
                                uint64_t& streamBytes) {
    if (image.colour && !codec.EncodesColour()) return ConvertError::ColourToLossless;
    const imaging::FrameLayout layout = LayoutOf(image);
    const std::size_t frameSize = layout.NativeSize();
    if (frameSize == 0 || native.size() < frameSize * image.frames) {
        return ConvertError::MalformedPixelData;
    }
    output.Append(
        NewElement(tag::PixelData.group, tag::PixelData.element, UNDEFINED_LENGTH, nullptr, "OB"));
    output.Append(NewItemElement(tag::Item, 0, nullptr));
    std::vector<uint8_t> stream;
    for (uint32_t f = 0; f < image.frames; ++f) {
        imaging::FrameCodecResult encoded =
            codec.Encode(native.subspan(f * frameSize, frameSize), layout, stream);
        if (!encoded.Ok()) return ErrorOf(std::move(encoded), detail);
        if (!encoded.photometric.empty()) photometric = std::move(encoded.photometric);
        if (stream.size() % 2 != 0) stream.push_back(0x00);
        streamBytes += stream.size();
        output.Append(
            NewItemElement(tag::Item, static_cast<uint32_t>(stream.size()), stream.data()));
    }
    output.Append(NewItemElement(tag::SequenceDelimitationItem, 0, nullptr));
    return ConvertError::None;
}

// Gives the top-level Photometric Interpretation the text a codec reported (a colour transform
// applied or undone) and, when the samples came out pixel by pixel whatever the data set said,
// sets Planar Configuration to 0.
void MarkPixels(ElementList& output, const std::string& photometric, bool pixelOrder) {
    int depth = 0;
    for (DicomElement* e : output) {
        if (depth == 0 && TagOf(*e) == tag::PhotometricInterpretation && !photometric.empty()) {
            std::string text = photometric;
            if (text.size() % 2 != 0) text += ' ';
            if (HasValue(*e)) FreeValue(e->value);
            e->value = AllocateValue(static_cast<uint32_t>(text.size()));
            std::memcpy(e->value, text.data(), text.size());
            e->length = static_cast<uint32_t>(text.size());
        } else if (depth == 0 && pixelOrder && TagOf(*e) == tag::PlanarConfiguration &&
                   HasValue(*e) && e->length >= 2) {
            e->value[0] = 0;
            e->value[1] = 0;
        }
        if (IsDelimiter(*e)) {
            --depth;
        } else if (e->length == UNDEFINED_LENGTH) {
            ++depth;
        }
    }
}

// Appends the fragments rewritten from one codec's streams into another's (the pair shares its
// coded data), frame by frame, with an empty offset table and the delimiter.
ConvertError AppendRewritten(ElementList& output, const std::vector<const DicomElement*>& fragments,
                             const Image& image, const imaging::FrameCodec& rewriter,
                             const imaging::FrameCodec& from, const imaging::FrameCodec& to,
                             std::string* detail) {
    if (image.frames != fragments.size()) return ConvertError::UnsupportedImage;
    output.Append(
        NewElement(tag::PixelData.group, tag::PixelData.element, UNDEFINED_LENGTH, nullptr, "OB"));
    output.Append(NewItemElement(tag::Item, 0, nullptr));
    std::vector<uint8_t> stream;
    for (const DicomElement* f : fragments) {
        if (!HasValue(*f)) return ConvertError::MalformedPixelData;
        imaging::FrameCodecResult done =
            rewriter.Rewrite(from, to, {f->value, f->length}, LayoutOf(image), stream);
        if (!done.Ok()) return ErrorOf(std::move(done), detail);
        if (stream.size() % 2 != 0) stream.push_back(0x00);
        output.Append(
            NewItemElement(tag::Item, static_cast<uint32_t>(stream.size()), stream.data()));
    }
    output.Append(NewItemElement(tag::SequenceDelimitationItem, 0, nullptr));
    return ConvertError::None;
}

std::string TrimmedText(const DicomElement& e) {
    std::string text =
        HasValue(e) ? std::string(reinterpret_cast<const char*>(e.value), e.length) : std::string();
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0'))
        text.pop_back();
    return text;
}

// Gives the top-level element of tag t the text (padded to even length with a space), making
// the element in its place among the top-level elements when the data set has none.
void SetTopLevelText(ElementList& output, Tag t, const char* vr, std::string text) {
    if (text.size() % 2 != 0) text += ' ';
    int depth = 0;
    std::size_t insertAt = output.Size();
    for (std::size_t i = 0; i < output.Size(); ++i) {
        DicomElement& e = *output[i];
        if (IsDelimiter(e)) --depth;
        if (depth == 0 && e.group != 0xFFFE) {
            if (TagOf(e) == t) {
                if (HasValue(e)) FreeValue(e.value);
                e.value = AllocateValue(static_cast<uint32_t>(text.size()));
                std::memcpy(e.value, text.data(), text.size());
                e.length = static_cast<uint32_t>(text.size());
                return;
            }
            if (std::pair(e.group, e.element) > std::pair(t.group, t.element)) {
                insertAt = i;
                break;
            }
        }
        if (!IsDelimiter(e) && e.length == UNDEFINED_LENGTH) ++depth;
    }
    output.Insert(insertAt, NewTextElement(t, vr, text));
}

std::string TopLevelText(const ElementList& output, Tag t) {
    int depth = 0;
    for (const DicomElement* e : output) {
        if (IsDelimiter(*e)) --depth;
        if (depth == 0 && TagOf(*e) == t) return TrimmedText(*e);
        if (!IsDelimiter(*e) && e->length == UNDEFINED_LENGTH) ++depth;
    }
    return {};
}

// A lossy encoding says so: Lossy Image Compression "01", and its ratio and method appended to
// those of the compressions the image went through before.
void MarkLossy(ElementList& output, double ratio, const char* method) {
    char ratioText[32];
    std::snprintf(ratioText, sizeof ratioText, "%.2f", ratio);
    auto appended = [&](Tag t, const std::string& value) {
        const std::string before = TopLevelText(output, t);
        return before.empty() ? value : before + "\\" + value;
    };
    const std::string ratios = appended(tag::LossyImageCompressionRatio, ratioText);
    const std::string methods = appended(tag::LossyImageCompressionMethod, method);
    SetTopLevelText(output, tag::LossyImageCompression, "CS", "01");
    SetTopLevelText(output, tag::LossyImageCompressionRatio, "DS", ratios);
    SetTopLevelText(output, tag::LossyImageCompressionMethod, "CS", methods);
}

// Every top-level group length gets the encoded size, in the target syntax, of the rest of
// its group: the elements that follow it up to the next top-level element of another group,
// with the items and delimiters of the group's sequences and pixel data.
void RecomputeGroupLengths(ElementList& output, bool explicitVr, bool bigEndian) {
    std::vector<uint16_t> owner(output.Size());
    int depth = 0;
    uint16_t current = 0;
    for (std::size_t i = 0; i < output.Size(); ++i) {
        const DicomElement& e = *output[i];
        if (IsDelimiter(e)) --depth;
        if (depth == 0 && e.group != 0xFFFE) current = e.group;
        owner[i] = current;
        if (!IsDelimiter(e) && e.length == UNDEFINED_LENGTH) ++depth;
    }
    for (std::size_t k = 0; k < output.Size(); ++k) {
        DicomElement& length = *output[k];
        if (length.element != 0x0000 || length.group == 0xFFFE || length.length != 4 ||
            owner[k] != length.group) {
            continue;
        }
        uint64_t total = 0;
        for (std::size_t j = k + 1; j < output.Size() && owner[j] == length.group; ++j) {
            const DicomElement& e = *output[j];
            total += HeaderSize(e, explicitVr);
            if (e.length != UNDEFINED_LENGTH) total += e.length;
        }
        PutU32Bytes(length.value, static_cast<uint32_t>(total), bigEndian);
    }
}

}  // namespace

std::string ConvertFailureText(ConvertError error, std::string_view sourceSyntax,
                               std::string_view targetSyntax, const std::string& detail) {
    const std::string source = SyntaxTitle(sourceSyntax), target = SyntaxTitle(targetSyntax);
    std::string why;
    switch (error) {
        case ConvertError::None:
            return {};
        case ConvertError::UnknownSourceSyntax:
            why = FindTransferSyntax(sourceSyntax) != nullptr
                      ? "no " + source + " decoder"
                      : "a syntax the library does not read";
            break;
        case ConvertError::UnknownTargetSyntax:
            why = FindTransferSyntax(targetSyntax) != nullptr
                      ? "no " + target + " encoder"
                      : "a syntax the library does not write";
            break;
        case ConvertError::ColourToLossless:
            why = "lossless JPEG takes grayscale images only";
            break;
        case ConvertError::UnsupportedImage:
            why = "an image layout the codec does not take";
            break;
        case ConvertError::MalformedPixelData:
            why = "malformed pixel data";
            break;
        case ConvertError::MalformedSequence:
            why = "a malformed sequence";
            break;
    }
    if (!detail.empty()) why += " (" + detail + ")";
    return "cannot convert " + source + " to " + target + ": " + why;
}

ConvertError Transcode(ElementList& output, ElementList& input, std::string_view targetSyntax,
                       std::string_view sourceSyntax, std::string* detail) {
    const TransferSyntax* sourceRow = FindTransferSyntax(sourceSyntax);
    if (sourceRow == nullptr || !IsConvertible(*sourceRow))
        return ConvertError::UnknownSourceSyntax;
    const TransferSyntax* targetRow = FindTransferSyntax(targetSyntax);
    const bool sameSyntax = sourceSyntax == targetSyntax;
    // Streams of the source that the target's codec (or the source's) rewrites as they are.
    const imaging::FrameCodec* rewriter =
        !sameSyntax && targetRow != nullptr && sourceRow->codec != nullptr &&
                targetRow->codec != nullptr
            ? imaging::RewriterOf(*sourceRow->codec, *targetRow->codec)
            : nullptr;
    // A syntax whose codec only reads is a target only for a data set already in it, or one
    // whose streams it rewrites.
    if (targetRow == nullptr || !IsConvertible(*targetRow))
        return ConvertError::UnknownTargetSyntax;
    if (targetRow->codec != nullptr && !targetRow->codec->Encodes() && !sameSyntax &&
        rewriter == nullptr) {
        // The codec's refusal of any frame says what it writes from, if anything.
        std::vector<uint8_t> none;
        if (detail != nullptr) *detail = targetRow->codec->Encode({}, {}, none).detail;
        return ConvertError::UnknownTargetSyntax;
    }
    const TransferSyntax& source = *sourceRow;
    const TransferSyntax& target = *targetRow;
    const char* lossyMethod = nullptr;  // set once a lossy codec has encoded the pixel data
    uint64_t streamBytes = 0, nativeBytes = 0;
    const bool reorder = source.bigEndian != target.bigEndian;
    const bool reencode = reorder || source.explicitVr != target.explicitVr;

    Image image;
    int depth = 0;
    std::string photometric;  // what the pixel data's codecs made of the colour samples
    bool pixelOrder = false;  // colour samples decoded pixel by pixel whatever the data set said
    for (std::size_t i = 0; i < input.Size(); ++i) {
        DicomElement& in = *input[i];
        if (!source.explicitVr) TypeImplicitElement(in, source.bigEndian);
        if (IsDelimiter(in)) --depth;
        const bool top = depth == 0;
        if (top) Remember(image, in, source.bigEndian);

        if (top && TagOf(in) == tag::PixelData && !sameSyntax &&
            (source.codec != nullptr || target.codec != nullptr)) {
            ValueBlock decoded;
            std::span<const uint8_t> native;
            std::size_t next = i + 1;
            if (source.codec != nullptr) {
                std::vector<const DicomElement*> fragments;
                if (in.length != UNDEFINED_LENGTH || !CollectFragments(input, i, fragments, next)) {
                    return ConvertError::MalformedPixelData;
                }
                if (rewriter != nullptr) {
                    const ConvertError e = AppendRewritten(output, fragments, image, *rewriter,
                                                           *source.codec, *target.codec, detail);
                    if (e != ConvertError::None) return e;
                    i = next - 1;
                    continue;
                }
                if (target.codec != nullptr && image.colour && !target.codec->EncodesColour()) {
                    return ConvertError::ColourToLossless;
                }
                const ConvertError e =
                    DecodeFrames(fragments, image, *source.codec, decoded, detail, photometric);
                if (e != ConvertError::None) return e;
                native = {decoded.Data(), decoded.Size()};
                // libjpeg gives colour as RGB, pixel by pixel.
                if (image.colour && (source.codec == &imaging::BASELINE_JPEG_CODEC ||
                                     source.codec == &imaging::EXTENDED_JPEG_CODEC)) {
                    photometric = "RGB";
                    pixelOrder = true;
                    image.planar = false;
                }
                if (!photometric.empty()) image.rgb = photometric == "RGB";
            } else {
                if (!HasValue(in)) return ConvertError::MalformedPixelData;
                if (source.bigEndian && ValueUnitSize(in.vr) == 2) {
                    decoded.Reset(in.length);
                    const uint8_t* from = in.value;
                    uint8_t* to = decoded.Data();
                    for (uint32_t k = 0; k + 1 < in.length; k += 2) {
                        to[k] = from[k + 1];
                        to[k + 1] = from[k];
                    }
                    if (in.length % 2 != 0) to[in.length - 1] = from[in.length - 1];
                    native = {decoded.Data(), decoded.Size()};
                } else {
                    native = {in.value, in.length};
                }
            }
            if (target.codec != nullptr) {
                const ConvertError e = AppendEncapsulated(output, native, image, *target.codec,
                                                          detail, photometric, streamBytes);
                if (e != ConvertError::None) return e;
                lossyMethod = target.codec->LossyMethod();
                nativeBytes = uint64_t{LayoutOf(image).NativeSize()} * image.frames;
            } else {
                // Native samples decoded from JPEG: words are OW. The decoded block becomes the
                // element's value as it is.
                const char* vr = image.bitsAllocated > 8 ? "OW" : (in.vr[0] ? in.vr : "OB");
                const char vrLetters[2] = {vr[0], vr[1]};
                const uint32_t length = decoded.Size();
                DicomElement* out =
                    NewElementOwning(in.group, in.element, vrLetters, length, decoded.Release());
                if (target.bigEndian) SwapValueBytes(*out);
                output.Append(out);
            }
            i = next - 1;
            continue;
        }

        DicomElement* out = NewElement(in.group, in.element, 0, nullptr, in.vr);
        out->length = in.length;
        if (!sameSyntax && reencode && (IsItem(in) || VrIs(in, "SQ")) && HasValue(in)) {
            ElementList nested;
            const bool ok = DecodeSequenceValue(in, nested, source.explicitVr, target.explicitVr,
                                                source.bigEndian, target.bigEndian);
            EncodeSequenceValue(*out, nested, target.explicitVr, target.bigEndian);
            output.Append(out);
            if (!ok) return ConvertError::MalformedSequence;
        } else {
            if (HasValue(in)) {
                out->value = AllocateValue(in.length);
                std::memcpy(out->value, in.value, in.length);
                if (reorder) SwapValueBytes(*out);
            }
            output.Append(out);
        }
        if (!IsDelimiter(in) && in.length == UNDEFINED_LENGTH) ++depth;
    }
    if (!photometric.empty() || pixelOrder) MarkPixels(output, photometric, pixelOrder);
    if (lossyMethod != nullptr && streamBytes > 0)
        MarkLossy(output, double(nativeBytes) / double(streamBytes), lossyMethod);
    RecomputeGroupLengths(output, target.explicitVr, target.bigEndian);
    return ConvertError::None;
}

ConvertError ToNativeLittleEndian(ElementList& dataSet, std::string& syntax, std::string* detail) {
    const TransferSyntax* row = FindTransferSyntax(syntax);
    // Implicit VR changes nothing for a reader of values, and a deflated body was inflated when
    // it was read.
    if (row != nullptr && !row->encapsulated && !row->bigEndian) return ConvertError::None;
    ElementList native;
    const ConvertError e = Transcode(native, dataSet, uid::ExplicitVRLittleEndian, syntax, detail);
    if (e != ConvertError::None) return e;
    dataSet = std::move(native);
    syntax = uid::ExplicitVRLittleEndian;
    return ConvertError::None;
}

}  // namespace dicomlib::data
