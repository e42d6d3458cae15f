// The decoder keeps a sequence of undefined length flat (its items and delimiters follow it in
// the list) and one of defined length as a single value. Both are read here as runs of flat
// elements: a defined-length value is expanded into a list of its own first, so one walker
// serves both forms, and the walk only ever descends into the few sequences it knows.
#include "imaging/EcgDocument.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <span>
#include <string_view>

#include "data/Datadec.h"
#include "data/Tags.h"

namespace dicomlib::imaging {
namespace {

using Run = std::span<DicomElement* const>;

bool IsDelimiter(const DicomElement& e) {
    return TagOf(e) == tag::ItemDelimitationItem || TagOf(e) == tag::SequenceDelimitationItem;
}

// An element directly inside a run, with the flat run it holds when it is a container of
// undefined length.
struct Child {
    const DicomElement* element;
    Run inner;
};

// The elements directly inside a run. A container of undefined length is stepped over up to
// the delimiter that closes it, or to the end of the run when none does.
std::vector<Child> Children(Run run) {
    std::vector<Child> children;
    std::size_t i = 0;
    while (i < run.size()) {
        const DicomElement& e = *run[i];
        if (IsDelimiter(e)) {
            ++i;
            continue;
        }
        if (e.length != UNDEFINED_LENGTH) {
            children.push_back({&e, {}});
            ++i;
            continue;
        }
        std::size_t depth = 1;
        std::size_t next = i + 1;
        for (; next < run.size() && depth > 0; ++next) {
            const DicomElement& inside = *run[next];
            if (IsDelimiter(inside)) {
                --depth;
            } else if (inside.length == UNDEFINED_LENGTH) {
                ++depth;
            }
        }
        const std::size_t innerEnd = depth == 0 ? next - 1 : next;
        children.push_back({&e, run.subspan(i + 1, innerEnd - i - 1)});
        i = next;
    }
    return children;
}

// Opens containers and keeps the lists that defined-length values were expanded into alive for
// as long as the runs into them are read.
class Opener {
  public:
    // The run a sequence or item holds. implicitVr tells how a defined-length value is encoded:
    // a sequence read with the VR "SQ" holds explicit VR elements, one without (or "UN")
    // implicit VR ones, and an item is encoded as its sequence is.
    Run Inside(const Child& container, bool implicitVr) {
        const DicomElement& e = *container.element;
        if (e.length == UNDEFINED_LENGTH) return container.inner;
        if (!data::HasValue(e)) return {};
        auto list = std::make_unique<ElementList>();
        const data::DecoderState state{static_cast<uint8_t>(implicitVr ? 0 : 1), 0, 0};
        // A damaged value still yields what could be read before the damage, closed.
        data::ExpandSequence(state, e, *list);
        if (list->Size() < 2) return {};
        const Run expanded(list->begin(), list->end());
        expansions_.push_back(std::move(list));
        return expanded.subspan(1, expanded.size() - 2);
    }

  private:
    std::vector<std::unique_ptr<ElementList>> expansions_;
};

bool ImplicitInside(const DicomElement& sequence) {
    return !data::VrIs(sequence, "SQ");
}

// The items of a sequence, each as the run it holds.
std::vector<Run> Items(const Child& sequence, Opener& open) {
    const bool implicitVr = ImplicitInside(*sequence.element);
    std::vector<Run> items;
    for (const Child& c : Children(open.Inside(sequence, implicitVr))) {
        if (TagOf(*c.element) == tag::Item) items.push_back(open.Inside(c, implicitVr));
    }
    return items;
}

bool IsBlank(char c) {
    return static_cast<unsigned char>(c) <= 0x20;
}

// The value as text up to its first NUL, without leading and trailing blanks.
std::string Text(const DicomElement& e) {
    const data::ValueView value(e);
    if (value.Bytes().empty()) return {};
    const auto* begin = reinterpret_cast<const char*>(value.Data());
    const std::size_t size = value.Bytes().size();
    const void* nul = std::memchr(begin, 0, size);
    std::string_view text(begin, nul != nullptr ? static_cast<const char*>(nul) - begin : size);
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return std::string(text);
}

// The first value of a decimal string; `absent` when there is none, it is no number, or it is
// not finite.
double Decimal(const DicomElement& e, double absent) {
    std::string text = Text(e);
    text = text.substr(0, text.find('\\'));
    const char* begin = text.data();
    const char* end = begin + text.size();
    if (begin != end && *begin == '+') ++begin;
    double value = 0;
    const auto [stop, error] = std::from_chars(begin, end, value);
    if (error != std::errc() || stop == begin || !std::isfinite(value)) return absent;
    return value;
}

// Counts are copied only from values of exactly their own size; anything else counts as none.
uint16_t U16(const DicomElement& e) {
    if (e.length != 2 || e.value == nullptr) return 0;
    return static_cast<uint16_t>(e.value[0] | (e.value[1] << 8));
}

uint32_t U32(const DicomElement& e) {
    if (e.length != 4 || e.value == nullptr) return 0;
    return uint32_t{e.value[0]} | (uint32_t{e.value[1]} << 8) | (uint32_t{e.value[2]} << 16) |
           (uint32_t{e.value[3]} << 24);
}

// The text of an element in the first item of a code sequence.
std::string CodeText(const Child& sequence, Tag wanted, Opener& open) {
    const std::vector<Run> items = Items(sequence, open);
    if (items.empty()) return {};
    for (const Child& c : Children(items.front())) {
        if (TagOf(*c.element) == wanted) return Text(*c.element);
    }
    return {};
}

WaveformChannel ReadChannel(Run item, Opener& open) {
    WaveformChannel channel;
    for (const Child& c : Children(item)) {
        const DicomElement& e = *c.element;
        const Tag t = TagOf(e);
        if (t == tag::ChannelSourceSequence) {
            channel.label = CodeText(c, tag::CodeMeaning, open);
        } else if (t == tag::ChannelSensitivity) {
            channel.sensitivity = Decimal(e, 0);
        } else if (t == tag::ChannelSensitivityUnitsSequence) {
            channel.units = CodeText(c, tag::CodeValue, open);
        } else if (t == tag::ChannelSensitivityCorrectionFactor) {
            channel.correctionFactor = Decimal(e, 1);
        } else if (t == tag::ChannelBaseline) {
            channel.baseline = Decimal(e, 0);
        }
    }
    return channel;
}

// One item of the Waveform Sequence; false when it holds no Waveform Data.
bool ReadGroup(Run item, Opener& open, WaveformGroup& group) {
    bool hasData = false;
    for (const Child& c : Children(item)) {
        const DicomElement& e = *c.element;
        const Tag t = TagOf(e);
        if (t == tag::WaveformOriginality) {
            group.originality = Text(e);
        } else if (t == tag::NumberOfWaveformChannels) {
            group.channelCount = U16(e);
        } else if (t == tag::NumberOfWaveformSamples) {
            group.sampleCount = U32(e);
        } else if (t == tag::SamplingFrequency) {
            const double hertz = Decimal(e, 0);
            constexpr double MOST = std::numeric_limits<int32_t>::max();
            group.samplingFrequency = static_cast<int32_t>(std::clamp(hertz, 0.0, MOST));
        } else if (t == tag::WaveformBitsAllocated) {
            group.bitsAllocated = U16(e);
        } else if (t == tag::WaveformSampleInterpretation) {
            group.sampleInterpretation = Text(e);
        } else if (t == tag::ChannelDefinitionSequence) {
            group.channels.clear();
            for (Run channel : Items(c, open))
                group.channels.push_back(ReadChannel(channel, open));
        } else if (t == tag::WaveformData && data::HasValue(e)) {
            // Long recordings may have been left in their file.
            const data::ValueView value(e);
            group.data.assign(value.Bytes().begin(), value.Bytes().end());
            hasData = value.Ok();
        }
    }
    return hasData;
}

std::string Digits(std::string_view value) {
    std::string digits;
    for (char c : value) {
        if (c >= '0' && c <= '9') digits += c;
    }
    return digits;
}

// The non-empty parts, in the order given, with sep between them.
std::string Joined(std::initializer_list<std::string> parts, char sep) {
    std::string text;
    for (const std::string& part : parts) {
        if (part.empty()) continue;
        if (!text.empty()) text += sep;
        text += part;
    }
    return text;
}

std::string Part(const std::string& digits, std::size_t from, std::size_t count) {
    return from < digits.size() ? digits.substr(from, count) : std::string();
}

// A DA value as day/month/year and a TM value as hours:minutes:seconds; only the digits count
// (so the old dotted and colon forms read too), and a short value shows the parts it has.
std::string DisplayDate(std::string_view value) {
    const std::string d = Digits(value);
    return Joined({Part(d, 6, 2), Part(d, 4, 2), Part(d, 0, 4)}, '/');
}

std::string DisplayTime(std::string_view value) {
    const std::string d = Digits(value);
    return Joined({Part(d, 0, 2), Part(d, 2, 2), Part(d, 4, 2)}, ':');
}

}  // namespace

SampleFormat WaveformGroup::Format() const {
    const std::string& s = sampleInterpretation;
    const bool wide = s == "SS" || s == "US" || (s.empty() && bitsAllocated != 8);
    const bool narrow = s == "SB" || s == "UB" || (s.empty() && bitsAllocated == 8);
    if (wide && (bitsAllocated == 0 || bitsAllocated == 16)) {
        return s == "US" ? SampleFormat::Unsigned16 : SampleFormat::Signed16;
    }
    if (narrow && (bitsAllocated == 0 || bitsAllocated == 8)) {
        return s == "UB" ? SampleFormat::Unsigned8 : SampleFormat::Signed8;
    }
    return SampleFormat::None;
}

namespace {

std::size_t BytesPerSample(SampleFormat format) {
    switch (format) {
        case SampleFormat::Signed16:
        case SampleFormat::Unsigned16:
            return 2;
        case SampleFormat::Signed8:
        case SampleFormat::Unsigned8:
            return 1;
        case SampleFormat::None:
            break;
    }
    return 0;
}

}  // namespace

uint32_t WaveformGroup::UsableSamples() const {
    const std::size_t frame = std::size_t{channelCount} * BytesPerSample(Format());
    if (frame == 0) return 0;
    return static_cast<uint32_t>(std::min<std::size_t>(sampleCount, data.size() / frame));
}

int32_t WaveformGroup::Sample(uint32_t i, uint32_t k) const {
    const SampleFormat format = Format();
    const std::size_t at = (std::size_t{i} * channelCount + k) * BytesPerSample(format);
    switch (format) {
        case SampleFormat::Signed16:
            return static_cast<int16_t>(data[at] | (data[at + 1] << 8));
        case SampleFormat::Unsigned16:
            return data[at] | (data[at + 1] << 8);
        case SampleFormat::Signed8:
            return static_cast<int8_t>(data[at]);
        case SampleFormat::Unsigned8:
            return data[at];
        case SampleFormat::None:
            break;
    }
    return 0;
}

EcgDocument ReadEcgDocument(const ElementList& elements) {
    EcgDocument document;
    Opener open;
    for (const Child& c : Children(Run(elements.begin(), elements.end()))) {
        const DicomElement& e = *c.element;
        const Tag t = TagOf(e);
        if (t == tag::StudyDate) {
            document.studyDate = DisplayDate(Text(e));
        } else if (t == tag::StudyTime) {
            document.studyTime = DisplayTime(Text(e));
        } else if (t == tag::Modality) {
            document.modality = Text(e);
        } else if (t == tag::PatientName) {
            document.patientName = Text(e);
        } else if (t == tag::PatientID) {
            document.patientId = Text(e);
        } else if (t == tag::PatientBirthDate) {
            document.birthDate = Text(e);
        } else if (t == tag::PatientSex) {
            document.sex = Text(e);
        } else if (t == tag::WaveformSequence) {
            for (Run item : Items(c, open)) {
                WaveformGroup group;
                if (ReadGroup(item, open, group)) document.groups.push_back(std::move(group));
            }
        }
    }
    return document;
}

}  // namespace dicomlib::imaging
