// Transfer syntax conversion. The flat list is walked once; a nesting depth is kept so that
// only the top-level image attributes and pixel data are taken for the image (an icon inside a
// sequence has pixel data of its own). The output is a run of segments: elements (the input's
// own where nothing changes, converted copies otherwise), each followed by at most one plan
// that writes a value which must change as it is written: pixel data decoded or encoded frame
// by frame, or a large value turned to the other byte order a piece at a time.
#include "data/Converter.h"

#include <algorithm>
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

// A value made as it is written is gathered into one element up to this size, so that short
// values reach a sink whole (and a dump of them shows their bytes).
constexpr std::size_t GATHERED_VALUE_SIZE = 64 * 1024;

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
};

uint16_t ReadUS(const DicomElement& e, bool bigEndian) {
    uint8_t b[2];
    if (!HasValue(e) || e.length < 2 || !ReadValueBytes(e, 0, b)) return 0;
    return bigEndian ? static_cast<uint16_t>(b[0] << 8 | b[1])
                     : static_cast<uint16_t>(b[1] << 8 | b[0]);
}

// The first bytes of a value (at most count), as text.
std::string Prefix(const DicomElement& e, std::size_t count) {
    if (!HasValue(e)) return {};
    std::string text(std::min<std::size_t>(count, e.length), '\0');
    if (!ReadValueBytes(e, 0, {reinterpret_cast<uint8_t*>(text.data()), text.size()})) return {};
    return text;
}

void Remember(Image& image, const DicomElement& e, bool bigEndian) {
    if (e.group != 0x0028) return;
    if (TagOf(e) == tag::PhotometricInterpretation) {
        const std::string start = Prefix(e, 3);
        image.colour = start != "MON";
        image.rgb = start == "RGB";
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
        const long frames = std::strtol(Prefix(e, 32).c_str(), nullptr, 10);
        image.frames = frames > 1 ? static_cast<uint32_t>(frames) : 1;
    }
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

// A value that changes as it is written: pixel data decoded and/or encoded frame by frame, or
// a value left in its file turned to the other byte order.
struct ValuePlan {
    // Where the frames come from: the native value, or the fragments of encapsulated data.
    const DicomElement* native = nullptr;
    std::vector<const DicomElement*> fragments;
    bool joined = false;  // one frame whose stream spans every fragment
    const imaging::FrameCodec* decoder = nullptr;
    const imaging::FrameCodec* encoder = nullptr;
    // Streams of decoder's rewritten into streams of encoder's by this codec, without samples.
    const imaging::FrameCodec* rewriter = nullptr;
    imaging::FrameLayout decodeLayout;
    imaging::FrameLayout encodeLayout;
    uint32_t frames = 0;
    std::size_t frameSize = 0;  // of a native source
    int sourceUnit = 0;         // a big endian native source is turned round in units of this size
    int targetUnit = 0;         // the native output is turned round in units of this size

    // The element written for a native output (or a turned value): its header, and a stand-in
    // with the same header for measuring group lengths.
    ElementHeader out;
    DicomElement standIn{};
    std::size_t total = 0;  // native bytes before the pad

    // What Prepare already made of the first frame.
    std::vector<uint8_t> firstNative;
    std::vector<uint8_t> firstStream;
    // The whole output, when group lengths need its size before it is written.
    std::optional<ElementList> eager;

    bool Encapsulates() const { return encoder != nullptr || rewriter != nullptr; }

    // The coded stream of frame f of encapsulated source.
    bool SourceStream(uint32_t f, std::vector<uint8_t>& stream) const {
        stream.clear();
        const auto append = [&](const DicomElement& fragment) {
            const std::size_t at = stream.size();
            stream.resize(at + fragment.length);
            return ReadValueBytes(fragment, 0, {stream.data() + at, fragment.length});
        };
        bool read = true;
        if (joined) {
            for (const DicomElement* fragment : fragments)
                if (HasValue(*fragment)) read = read && append(*fragment);
        } else if (HasValue(*fragments[f])) {
            read = append(*fragments[f]);
        }
        return read && !stream.empty();
    }

    // The native samples of frame f, little endian.
    ConvertError NativeFrame(uint32_t f, std::vector<uint8_t>& samples, std::string* detail,
                             std::string* photometric) const {
        if (decoder == nullptr) {
            samples.resize(frameSize);
            if (!ReadValueBytes(*native, uint64_t{f} * frameSize, samples))
                return ConvertError::MalformedPixelData;
            SwapUnits(samples, sourceUnit);
            return ConvertError::None;
        }
        std::vector<uint8_t> stream;
        if (!SourceStream(f, stream)) return ConvertError::MalformedPixelData;
        samples.resize(decodeLayout.NativeSize());
        imaging::FrameCodecResult decoded = decoder->Decode(stream, decodeLayout, samples);
        if (!decoded.Ok()) return ErrorOf(std::move(decoded), detail);
        if (photometric != nullptr) *photometric = std::move(decoded.photometric);
        return ConvertError::None;
    }

    ConvertError Encode(std::span<const uint8_t> samples, std::vector<uint8_t>& stream,
                        std::string* detail, std::string* photometric) const {
        imaging::FrameCodecResult encoded = encoder->Encode(samples, encodeLayout, stream);
        if (!encoded.Ok()) return ErrorOf(std::move(encoded), detail);
        if (photometric != nullptr && !encoded.photometric.empty())
            *photometric = std::move(encoded.photometric);
        if (stream.size() % 2 != 0) stream.push_back(0x00);
        return ConvertError::None;
    }

    // The target's stream of frame f: the source's rewritten, or its samples encoded.
    ConvertError TargetStream(uint32_t f, std::vector<uint8_t>& samples,
                              std::vector<uint8_t>& stream, std::string* detail,
                              std::string* photometric) const {
        if (rewriter != nullptr) {
            std::vector<uint8_t> coded;
            if (!SourceStream(f, coded)) return ConvertError::MalformedPixelData;
            imaging::FrameCodecResult done =
                rewriter->Rewrite(*decoder, *encoder, coded, decodeLayout, stream);
            if (!done.Ok()) return ErrorOf(std::move(done), detail);
            if (stream.size() % 2 != 0) stream.push_back(0x00);
            return ConvertError::None;
        }
        if (const ConvertError e = NativeFrame(f, samples, detail, nullptr);
            e != ConvertError::None)
            return e;
        return Encode(samples, stream, detail, photometric);
    }

    ConvertError WriteTo(ElementSink& sink, std::string* detail) {
        if (eager) return PutList(sink, *eager) ? ConvertError::None : ConvertError::WriteFailed;
        if (native != nullptr && decoder == nullptr && encoder == nullptr) return WriteTurned(sink);
        return Encapsulates() ? WriteFragments(sink, detail) : WriteNative(sink, detail);
    }

    // Pixel data element, empty offset table, one fragment per frame, sequence delimiter.
    ConvertError WriteFragments(ElementSink& sink, std::string* detail) {
        DicomElement pixels{0x7FE0, 0x0010, {'O', 'B'}, UNDEFINED_LENGTH, nullptr};
        DicomElement offsets{0xFFFE, 0xE000, {'D', 'L'}, 0, nullptr};
        if (!sink.Put(pixels) || !sink.Put(offsets)) return ConvertError::WriteFailed;
        std::vector<uint8_t> samples, stream;
        for (uint32_t f = 0; f < frames; ++f) {
            if (f == 0) {
                stream = std::move(firstStream);
            } else if (const ConvertError e = TargetStream(f, samples, stream, detail, nullptr);
                       e != ConvertError::None) {
                return e;
            }
            DicomElement fragment{
                0xFFFE, 0xE000, {'D', 'L'}, static_cast<uint32_t>(stream.size()), stream.data()};
            if (stream.empty()) fragment.value = nullptr;
            if (!sink.Put(fragment)) return ConvertError::WriteFailed;
        }
        DicomElement end{0xFFFE, 0xE0DD, {'D', 'L'}, 0, nullptr};
        return sink.Put(end) ? ConvertError::None : ConvertError::WriteFailed;
    }

    // One native value, frame after frame, with its pad byte.
    ConvertError WriteNative(ElementSink& sink, std::string* detail) {
        Gatherer value(sink, out);
        if (!value.Begin()) return ConvertError::WriteFailed;
        std::vector<uint8_t> samples;
        for (uint32_t f = 0; f < frames; ++f) {
            if (f == 0) {
                samples = std::move(firstNative);
            } else if (const ConvertError e = NativeFrame(f, samples, detail, nullptr);
                       e != ConvertError::None) {
                return e;
            }
            SwapUnits(samples, targetUnit);
            if (!value.Put(samples)) return ConvertError::WriteFailed;
        }
        const uint8_t pad[1] = {0x00};
        if (total % 2 != 0 && !value.Put(pad)) return ConvertError::WriteFailed;
        return value.End() ? ConvertError::None : ConvertError::WriteFailed;
    }

    // A value left in its file, turned round a piece at a time.
    ConvertError WriteTurned(ElementSink& sink) {
        Gatherer value(sink, out);
        if (!value.Begin()) return ConvertError::WriteFailed;
        const bool read = ForEachValuePiece(*native, [&](std::span<const uint8_t> piece) {
            std::vector<uint8_t> turned(piece.begin(), piece.end());
            SwapUnits(turned, targetUnit);
            return value.Put(turned);
        });
        if (!read) return ConvertError::MalformedPixelData;
        return value.End() ? ConvertError::None : ConvertError::WriteFailed;
    }

    // Streams a value to the sink, or gathers a short one into one element first.
    class Gatherer {
      public:
        Gatherer(ElementSink& sink, const ElementHeader& header) : sink_(sink), header_(header) {}
        bool Begin() {
            gather_ = header_.length <= GATHERED_VALUE_SIZE;
            if (gather_) {
                bytes_.reserve(header_.length);
                return true;
            }
            return sink_.PutHeader(header_);
        }
        bool Put(std::span<const uint8_t> bytes) {
            if (!gather_) return sink_.PutValue(bytes);
            bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
            return true;
        }
        bool End() {
            if (!gather_) return true;
            if (bytes_.size() != header_.length) return false;
            DicomElement whole{header_.group,
                               header_.element,
                               {header_.vr[0], header_.vr[1]},
                               header_.length,
                               bytes_.empty() ? nullptr : bytes_.data()};
            return sink_.Put(whole);
        }

      private:
        ElementSink& sink_;
        const ElementHeader& header_;
        bool gather_ = false;
        std::vector<uint8_t> bytes_;
    };

    void SetOut(uint16_t group, uint16_t element, const char vr[2], uint32_t length) {
        out.group = group;
        out.element = element;
        out.vr[0] = vr[0];
        out.vr[1] = vr[1];
        out.length = length;
        // Only its header is read: it stands for the value in the sizes of group lengths.
        standIn = DicomElement{group, element, {vr[0], vr[1]}, length, nullptr};
    }
};

struct Segment {
    std::vector<DicomElement*> elements;  // the input's own, or converted ones in owned
    ElementList owned;
    std::unique_ptr<ValuePlan> plan;  // written after the elements
    Tag planTag{};                    // of the value the plan writes

    void Borrow(DicomElement* e) { elements.push_back(e); }
    void Own(DicomElement* e) {
        owned.Append(e);
        elements.push_back(e);
    }
};

// Gives the top-level Photometric Interpretation the text a codec reported (a colour transform
// applied or undone) and, when the samples came out pixel by pixel whatever the data set said,
// sets Planar Configuration to 0.
void MarkPixels(const std::vector<DicomElement*>& output, const std::string& photometric,
                bool pixelOrder) {
    int depth = 0;
    for (DicomElement* e : output) {
        if (depth == 0 && TagOf(*e) == tag::PhotometricInterpretation && !photometric.empty()) {
            std::string text = photometric;
            if (text.size() % 2 != 0) text += ' ';
            if (e->value != nullptr) FreeValue(e->value);
            e->value = AllocateValue(static_cast<uint32_t>(text.size()));
            std::memcpy(e->value, text.data(), text.size());
            e->length = static_cast<uint32_t>(text.size());
        } else if (depth == 0 && pixelOrder && TagOf(*e) == tag::PlanarConfiguration &&
                   HasValue(*e) && e->length >= 2 && LoadValue(*e)) {
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

std::string TrimmedText(const DicomElement& e) {
    std::string text = Prefix(e, e.length);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0'))
        text.pop_back();
    return text;
}

// Calls visit(segment, index) for every top-level element of the segments, in order, then
// visitPlan(segment) for the segment's plan; either stops the walk by returning true. A plan's
// value is balanced (pixel data with its items and delimiter), so it leaves the depth alone.
template <typename Visit, typename VisitPlan>
void WalkTopLevel(std::vector<Segment>& segments, Visit visit, VisitPlan visitPlan) {
    int depth = 0;
    for (std::size_t k = 0; k < segments.size(); ++k) {
        Segment& segment = segments[k];
        for (std::size_t i = 0; i < segment.elements.size(); ++i) {
            const DicomElement& e = *segment.elements[i];
            if (IsDelimiter(e)) --depth;
            if (depth == 0 && e.group != 0xFFFE && visit(segment, i)) return;
            if (!IsDelimiter(e) && e.length == UNDEFINED_LENGTH) ++depth;
        }
        if (segment.plan != nullptr && visitPlan(segment)) return;
    }
}

std::string TopLevelText(std::vector<Segment>& segments, Tag t) {
    std::string text;
    WalkTopLevel(
        segments,
        [&](Segment& segment, std::size_t i) {
            if (TagOf(*segment.elements[i]) != t) return false;
            text = TrimmedText(*segment.elements[i]);
            return true;
        },
        [](Segment&) { return false; });
    return text;
}

// Gives the top-level element of tag t the text (padded to even length with a space), making
// the element in its place among the top-level elements when the data set has none.
void SetTopLevelText(std::vector<Segment>& segments, Tag t, const char* vr, std::string text) {
    if (text.size() % 2 != 0) text += ' ';
    const auto tagOrder = [](Tag a) { return std::pair(a.group, a.element); };
    bool done = false;
    WalkTopLevel(
        segments,
        [&](Segment& segment, std::size_t i) {
            const Tag here = TagOf(*segment.elements[i]);
            if (here != t && tagOrder(here) < tagOrder(t)) return false;
            DicomElement* made = NewTextElement(t, vr, text);
            segment.owned.Append(made);
            if (here == t) {
                segment.elements[i] = made;  // the input's element stays as it was
            } else {
                segment.elements.insert(segment.elements.begin() + std::ptrdiff_t(i), made);
            }
            done = true;
            return true;
        },
        [&](Segment& segment) {
            if (tagOrder(segment.planTag) < tagOrder(t)) return false;
            DicomElement* made = NewTextElement(t, vr, text);
            segment.owned.Append(made);
            segment.elements.push_back(made);  // in front of the plan's value
            done = true;
            return true;
        });
    if (!done) {
        DicomElement* made = NewTextElement(t, vr, text);
        segments.back().owned.Append(made);
        segments.back().elements.push_back(made);
    }
}

// A lossy encoding says so: Lossy Image Compression "01", and its ratio and method appended to
// those of the compressions the image went through before.
void MarkLossy(std::vector<Segment>& segments, double ratio, const char* method) {
    char ratioText[32];
    std::snprintf(ratioText, sizeof ratioText, "%.2f", ratio);
    auto appended = [&](Tag t, const std::string& value) {
        const std::string before = TopLevelText(segments, t);
        return before.empty() ? value : before + "\\" + value;
    };
    const std::string ratios = appended(tag::LossyImageCompressionRatio, ratioText);
    const std::string methods = appended(tag::LossyImageCompressionMethod, method);
    SetTopLevelText(segments, tag::LossyImageCompression, "CS", "01");
    SetTopLevelText(segments, tag::LossyImageCompressionRatio, "DS", ratios);
    SetTopLevelText(segments, tag::LossyImageCompressionMethod, "CS", methods);
}

// Every top-level group length gets the encoded size, in the target syntax, of the rest of
// its group: the elements that follow it up to the next top-level element of another group,
// with the items and delimiters of the group's sequences and pixel data.
void RecomputeGroupLengths(const std::vector<DicomElement*>& output, bool explicitVr,
                           bool bigEndian) {
    std::vector<uint16_t> owner(output.size());
    int depth = 0;
    uint16_t current = 0;
    for (std::size_t i = 0; i < output.size(); ++i) {
        const DicomElement& e = *output[i];
        if (IsDelimiter(e)) --depth;
        if (depth == 0 && e.group != 0xFFFE) current = e.group;
        owner[i] = current;
        if (!IsDelimiter(e) && e.length == UNDEFINED_LENGTH) ++depth;
    }
    for (std::size_t k = 0; k < output.size(); ++k) {
        DicomElement& length = *output[k];
        if (length.element != 0x0000 || length.group == 0xFFFE || length.length != 4 ||
            owner[k] != length.group || !LoadValue(length)) {
            continue;
        }
        uint64_t total = 0;
        for (std::size_t j = k + 1; j < output.size() && owner[j] == length.group; ++j) {
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
        case ConvertError::WriteFailed:
            why =
                "the converted data could not be written out (a full disk or a broken "
                "connection)";
            break;
    }
    if (!detail.empty()) why += " (" + detail + ")";
    return "cannot convert " + source + " to " + target + ": " + why;
}

struct Conversion::State {
    ElementList& input;
    std::string target;
    std::string source;
    std::string* detail;
    std::vector<Segment> segments;
    bool prepared = false;
    uint32_t decodedFrames = UINT32_MAX;
};

Conversion::Conversion(ElementList& input, std::string_view targetSyntax,
                       std::string_view sourceSyntax, std::string* detail)
    : state_(new State{input, std::string(targetSyntax), std::string(sourceSyntax), detail, {}}) {}

Conversion::~Conversion() = default;

void Conversion::LimitDecodedFrames(uint32_t frames) {
    state_->decodedFrames = frames;
}

ConvertError Conversion::Prepare() {
    State& s = *state_;
    const TransferSyntax* sourceRow = FindTransferSyntax(s.source);
    if (sourceRow == nullptr || !IsConvertible(*sourceRow))
        return ConvertError::UnknownSourceSyntax;
    const TransferSyntax* targetRow = FindTransferSyntax(s.target);
    const bool sameSyntax = s.source == s.target;
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
        if (s.detail != nullptr) *s.detail = targetRow->codec->Encode({}, {}, none).detail;
        return ConvertError::UnknownTargetSyntax;
    }
    const TransferSyntax& source = *sourceRow;
    const TransferSyntax& target = *targetRow;
    const bool reorder = source.bigEndian != target.bigEndian;
    const bool reencode = reorder || source.explicitVr != target.explicitVr;
    ElementList& input = s.input;

    Image image;
    int depth = 0;
    std::string photometric;  // what the pixel data's codecs made of the colour samples
    bool pixelOrder = false;  // colour samples decoded pixel by pixel whatever the data set said
    s.segments.emplace_back();
    const auto endSegment = [&](std::unique_ptr<ValuePlan> plan, Tag planTag) {
        s.segments.back().plan = std::move(plan);
        s.segments.back().planTag = planTag;
        s.segments.emplace_back();
    };
    for (std::size_t i = 0; i < input.Size(); ++i) {
        DicomElement& in = *input[i];
        if (!source.explicitVr) TypeImplicitElement(in, source.bigEndian);
        if (IsDelimiter(in)) --depth;
        const bool top = depth == 0;
        if (top) Remember(image, in, source.bigEndian);

        if (top && TagOf(in) == tag::PixelData && !sameSyntax &&
            (source.codec != nullptr || target.codec != nullptr)) {
            auto plan = std::make_unique<ValuePlan>();
            std::size_t next = i + 1;
            std::size_t nativeSize = 0;
            if (source.codec != nullptr) {
                if (in.length != UNDEFINED_LENGTH ||
                    !CollectFragments(input, i, plan->fragments, next)) {
                    return ConvertError::MalformedPixelData;
                }
                if (rewriter != nullptr) {
                    // Frame by frame, each fragment a frame, the same layout on both sides.
                    if (image.frames != plan->fragments.size())
                        return ConvertError::UnsupportedImage;
                    plan->decoder = source.codec;
                    plan->encoder = target.codec;
                    plan->rewriter = rewriter;
                    plan->decodeLayout = LayoutOf(image);
                    plan->frames = image.frames;
                    std::vector<uint8_t> none;
                    if (const ConvertError e =
                            plan->TargetStream(0, none, plan->firstStream, s.detail, nullptr);
                        e != ConvertError::None)
                        return e;
                    endSegment(std::move(plan), TagOf(in));
                    i = next - 1;
                    continue;
                }
                if (target.codec != nullptr && image.colour && !target.codec->EncodesColour()) {
                    return ConvertError::ColourToLossless;
                }
                plan->decoder = source.codec;
                plan->decodeLayout = LayoutOf(image);
                const std::size_t frameSize = plan->decodeLayout.NativeSize();
                if (frameSize == 0) return ConvertError::UnsupportedImage;
                // One frame may span several fragments; several frames need one fragment each.
                if (image.frames == 1) {
                    plan->frames = 1;
                    plan->joined = plan->fragments.size() > 1;
                } else if (plan->fragments.size() == image.frames) {
                    plan->frames = target.codec == nullptr
                                       ? std::min(image.frames, std::max(s.decodedFrames, 1u))
                                       : image.frames;
                } else {
                    return ConvertError::UnsupportedImage;
                }
                plan->total = frameSize * plan->frames;
                if (plan->total > 0xFFFFFFFCu) return ConvertError::UnsupportedImage;
                nativeSize = plan->total + plan->total % 2;
            } else {
                if (!HasValue(in)) return ConvertError::MalformedPixelData;
                plan->native = &in;
                plan->sourceUnit = source.bigEndian && ValueUnitSize(in.vr) == 2 ? 2 : 0;
                nativeSize = in.length;
            }
            if (target.codec != nullptr) {
                if (image.colour && !target.codec->EncodesColour())
                    return ConvertError::ColourToLossless;
                plan->encoder = target.codec;
            }
            if (plan->decoder != nullptr) {
                if (const ConvertError e =
                        plan->NativeFrame(0, plan->firstNative, s.detail, &photometric);
                    e != ConvertError::None)
                    return e;
                // libjpeg gives colour as RGB, pixel by pixel.
                if (image.colour && (source.codec == &imaging::BASELINE_JPEG_CODEC ||
                                     source.codec == &imaging::EXTENDED_JPEG_CODEC)) {
                    photometric = "RGB";
                    pixelOrder = true;
                    image.planar = false;
                }
                if (!photometric.empty()) image.rgb = photometric == "RGB";
            }
            if (plan->encoder != nullptr) {
                // After the first frame is decoded: the decoder's samples tell what the encoder
                // gets. That frame is encoded here too, so a refusal comes before any output.
                plan->encodeLayout = LayoutOf(image);
                const std::size_t frameSize = plan->encodeLayout.NativeSize();
                if (frameSize == 0 || nativeSize < frameSize * image.frames)
                    return ConvertError::MalformedPixelData;
                plan->frames = image.frames;
                plan->frameSize = frameSize;
                std::vector<uint8_t> samples;
                if (plan->decoder == nullptr) {
                    if (const ConvertError e = plan->NativeFrame(0, samples, s.detail, nullptr);
                        e != ConvertError::None)
                        return e;
                }
                const std::span<const uint8_t> first =
                    plan->decoder != nullptr ? plan->firstNative : samples;
                if (const ConvertError e =
                        plan->Encode(first, plan->firstStream, s.detail, &photometric);
                    e != ConvertError::None)
                    return e;
                plan->firstNative = std::vector<uint8_t>();
            } else {
                // Native samples decoded from JPEG: words are OW.
                const char* vr = image.bitsAllocated > 8 ? "OW" : (in.vr[0] ? in.vr : "OB");
                const char letters[2] = {vr[0], vr[1]};
                plan->targetUnit = target.bigEndian ? ValueUnitSize(letters) : 0;
                plan->SetOut(in.group, in.element, letters,
                             static_cast<uint32_t>(plan->total + plan->total % 2));
            }
            endSegment(std::move(plan), TagOf(in));
            i = next - 1;
            continue;
        }

        Segment& segment = s.segments.back();
        if (!sameSyntax && reencode && (IsItem(in) || VrIs(in, "SQ")) && HasValue(in)) {
            DicomElement* out = NewElement(in.group, in.element, 0, nullptr, in.vr);
            ElementList nested;
            const bool ok = DecodeSequenceValue(in, nested, source.explicitVr, target.explicitVr,
                                                source.bigEndian, target.bigEndian);
            EncodeSequenceValue(*out, nested, target.explicitVr, target.bigEndian);
            segment.Own(out);
            if (!ok) return ConvertError::MalformedSequence;
        } else if (reorder && ValueUnitSize(in.vr) > 1 && IsDeferred(in)) {
            auto plan = std::make_unique<ValuePlan>();
            plan->native = &in;
            plan->targetUnit = ValueUnitSize(in.vr);
            plan->SetOut(in.group, in.element, in.vr, in.length);
            endSegment(std::move(plan), TagOf(in));
        } else if (reorder && ValueUnitSize(in.vr) > 1 && HasValue(in)) {
            DicomElement* out = CopyElement(in);
            segment.Own(out);
            SwapValueBytes(*out);
        } else if ((in.element == 0x0000 && in.group != 0xFFFE) ||
                   (top && (TagOf(in) == tag::PhotometricInterpretation ||
                            TagOf(in) == tag::PlanarConfiguration))) {
            segment.Own(CopyElement(in));  // rewritten below
        } else {
            segment.Borrow(&in);
        }
        if (!IsDelimiter(in) && in.length == UNDEFINED_LENGTH) ++depth;
    }

    std::vector<DicomElement*> elements;
    bool groupLengthOfPixels = false;
    for (const Segment& segment : s.segments) {
        elements.insert(elements.end(), segment.elements.begin(), segment.elements.end());
        for (const DicomElement* e : segment.elements)
            groupLengthOfPixels = groupLengthOfPixels || TagOf(*e) == Tag{0x7FE0, 0x0000};
    }
    if (!photometric.empty() || pixelOrder) MarkPixels(elements, photometric, pixelOrder);

    // Fragment sizes are known only once encoded: a group length over them, and the ratio a
    // lossy encoding records in front of them, need every frame encoded first. The encoded
    // frames are then held until written (a lossy stream is a fraction of its samples).
    const char* lossyMethod = nullptr;
    uint64_t nativeBytes = 0, streamBytes = 0;
    for (Segment& segment : s.segments) {
        if (segment.plan == nullptr || !segment.plan->Encapsulates()) continue;
        ValuePlan& plan = *segment.plan;
        const char* method = plan.rewriter == nullptr ? plan.encoder->LossyMethod() : nullptr;
        if (method == nullptr && !groupLengthOfPixels) continue;
        ElementList made;
        ListSink sink(made);
        if (const ConvertError e = plan.WriteTo(sink, s.detail); e != ConvertError::None) return e;
        plan.eager.emplace(std::move(made));
        if (method != nullptr && segment.planTag == tag::PixelData) {
            lossyMethod = method;
            nativeBytes = uint64_t{plan.encodeLayout.NativeSize()} * plan.frames;
            streamBytes = 0;
            for (const DicomElement* e : *plan.eager)
                if (IsItem(*e)) streamBytes += e->length;
        }
    }
    if (lossyMethod != nullptr && streamBytes > 0)
        MarkLossy(s.segments, double(nativeBytes) / double(streamBytes), lossyMethod);

    std::vector<DicomElement*> measured;
    for (Segment& segment : s.segments) {
        measured.insert(measured.end(), segment.elements.begin(), segment.elements.end());
        if (segment.plan == nullptr) continue;
        ValuePlan& plan = *segment.plan;
        if (plan.eager) {
            measured.insert(measured.end(), plan.eager->begin(), plan.eager->end());
        } else if (!plan.Encapsulates()) {
            measured.push_back(&plan.standIn);
        }
    }
    RecomputeGroupLengths(measured, target.explicitVr, target.bigEndian);
    s.prepared = true;
    return ConvertError::None;
}

ConvertError Conversion::WriteTo(ElementSink& sink) {
    State& s = *state_;
    if (!s.prepared) return ConvertError::UnknownSourceSyntax;
    for (Segment& segment : s.segments) {
        for (DicomElement* e : segment.elements)
            if (!sink.Put(*e)) return ConvertError::WriteFailed;
        if (segment.plan == nullptr) continue;
        if (const ConvertError e = segment.plan->WriteTo(sink, s.detail); e != ConvertError::None)
            return e;
    }
    return ConvertError::None;
}

void Conversion::TakeConvertedSoFar(ElementList& output) {
    for (const Segment& segment : state_->segments)
        for (const DicomElement* e : segment.elements)
            output.Append(CopyElement(*e));
}

ConvertError Transcode(ElementList& output, ElementList& input, std::string_view targetSyntax,
                       std::string_view sourceSyntax, std::string* detail) {
    Conversion conversion(input, targetSyntax, sourceSyntax, detail);
    if (const ConvertError e = conversion.Prepare(); e != ConvertError::None) {
        conversion.TakeConvertedSoFar(output);
        return e;
    }
    ListSink sink(output);
    return conversion.WriteTo(sink);
}

ConvertError ToNativeLittleEndian(ElementList& dataSet, std::string& syntax, std::string* detail,
                                  bool firstFrameOnly) {
    const TransferSyntax* row = FindTransferSyntax(syntax);
    // Implicit VR changes nothing for a reader of values, and a deflated body was inflated when
    // it was read.
    if (row != nullptr && !row->encapsulated && !row->bigEndian) return ConvertError::None;
    ElementList native;
    Conversion conversion(dataSet, uid::ExplicitVRLittleEndian, syntax, detail);
    if (firstFrameOnly) conversion.LimitDecodedFrames(1);
    ConvertError e = conversion.Prepare();
    ListSink sink(native);
    if (e == ConvertError::None) e = conversion.WriteTo(sink);
    if (e != ConvertError::None) return e;
    dataSet = std::move(native);
    syntax = uid::ExplicitVRLittleEndian;
    return ConvertError::None;
}

}  // namespace dicomlib::data
