// High-Throughput JPEG 2000 over memory files. OpenJPH writes the streams: it prints its
// information, warnings and errors to process-wide streams (its handlers cannot be replaced in
// this version) and throws after an error, so the streams go to /dev/null and the exception is
// caught here. OpenJPEG reads them: this OpenJPH asserts, and so ends the process, on damaged
// headers and code blocks alike, which a provider must survive. OpenJPEG decodes a cut stream
// without a word, so the tile-parts are checked against the stream's length first.
#include "imaging/HtJ2kCodec.h"

#include <openjph/ojph_arch.h>
#include <openjph/ojph_codestream.h>
#include <openjph/ojph_file.h>
#include <openjph/ojph_mem.h>
#include <openjph/ojph_message.h>
#include <openjph/ojph_params.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "imaging/Jpeg2000Codec.h"

namespace dicomlib::imaging {
namespace {

class OpenJphError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// False when /dev/null cannot be opened: OpenJPH would then print to standard error.
bool QuietenOpenJph() {
    static const bool quiet = [] {
        std::FILE* nowhere = std::fopen("/dev/null", "w");  // kept open for the process
        if (nowhere == nullptr) return false;
        ojph::set_info_stream(nowhere);
        ojph::set_warning_stream(nowhere);
        ojph::set_error_stream(nowhere);
        return true;
    }();
    return quiet;
}

// OpenJPH's own exceptions say only "ojph error"; ours say more.
std::string Failure(const std::exception& e, const char* fallback) {
    const std::string what = e.what();
    return "High-Throughput JPEG 2000: " + (what == "ojph error" ? std::string(fallback) : what);
}

// Where sample (row y, column x, component c) of the frame lies, in samples.
std::size_t SampleIndex(const FrameLayout& l, std::size_t y, std::size_t x, std::size_t c) {
    const std::size_t p = y * l.columns + x;
    return l.planar ? c * l.Pixels() + p : p * l.samplesPerPixel + c;
}

// One row of one component between the frame's bytes and OpenJPH's integer line, in the
// stored representation: the low bits stored, sign-extended for signed images.
void LoadRow(std::span<const uint8_t> frame, const FrameLayout& l, std::size_t y, std::size_t c,
             int32_t* to) {
    const std::size_t bytes = l.SampleBytes();
    const std::size_t step = l.planar ? 1 : l.samplesPerPixel;
    const uint8_t* from = frame.data() + SampleIndex(l, y, 0, c) * bytes;
    for (std::size_t x = 0; x < l.columns; ++x, from += step * bytes) {
        const uint32_t raw = bytes == 1 ? from[0] : uint32_t{from[0]} | uint32_t{from[1]} << 8;
        to[x] = static_cast<int32_t>(StoredSample(raw, l));
    }
}

uint32_t CodestreamWord16(std::span<const uint8_t> s, std::size_t at) {
    return uint32_t{s[at]} << 8 | s[at + 1];
}
uint32_t BigEndian32(std::span<const uint8_t> s, std::size_t at) {
    return CodestreamWord16(s, at) << 16 | CodestreamWord16(s, at + 2);
}

// Whether OpenJPH reads the stream: a bare codestream (SOC, then SIZ) whose capabilities
// include the High-Throughput block coder. Anything else is OpenJPEG's to read or refuse.
bool IsHighThroughput(std::span<const uint8_t> s) {
    return s.size() >= 8 && s[0] == 0xFF && s[1] == 0x4F && s[2] == 0xFF && s[3] == 0x51 &&
           (CodestreamWord16(s, 6) & 0x4000) != 0;
}

struct TileParts {
    std::size_t first = 0;                             // where the first SOT marker is
    std::vector<std::pair<uint32_t, uint32_t>> parts;  // tile index, tile-part length
    std::string error;
};

// Follows the main header's marker segments to the first tile-part, then each tile-part by the
// length its SOT segment gives, to the end-of-codestream marker (a pad of zeros may follow). A
// tile-part that runs past the data, or one of unstated length without that marker, means the
// stream was cut.
TileParts WalkTileParts(std::span<const uint8_t> s) {
    TileParts t;
    std::size_t at = 2;  // after SOC
    while (at + 4 <= s.size() && s[at] == 0xFF && s[at + 1] != 0x90)
        at += 2 + CodestreamWord16(s, at + 2);
    t.first = at;
    std::size_t end = s.size();
    while (end > at && s[end - 1] == 0)
        --end;
    const bool closed = end >= 2 && s[end - 2] == 0xFF && s[end - 1] == 0xD9;
    while (at + 12 <= s.size() && s[at] == 0xFF && s[at + 1] == 0x90) {
        uint32_t length = BigEndian32(s, at + 6);
        if (length == 0 && closed) length = static_cast<uint32_t>(end - 2 - at);  // up to EOC
        if (length < 12 || length > s.size() - at) {
            t.error = "the stream ends inside a tile-part: it was cut short";
            return t;
        }
        t.parts.emplace_back(CodestreamWord16(s, at + 4), length);
        at += length;
    }
    if (t.parts.empty()) {
        t.error = "the stream holds no tile-part";
    } else if (at < end && !(at + 2 <= s.size() && s[at] == 0xFF && s[at + 1] == 0xD9)) {
        t.error = "the stream holds something other than a tile-part after its tile-parts";
    }
    return t;
}

// OpenJPH writes no TLM marker segment, which the RPCL syntax asks for. One is put before the
// first tile-part, giving each tile-part's tile index (16 bits) and length (32 bits) as its SOT
// marker segment states them. False when the codestream is not laid out as expected.
bool AddTileLengths(std::vector<uint8_t>& stream) {
    const TileParts t = WalkTileParts(stream);
    if (!t.error.empty() || t.parts.size() > 10000) return false;
    std::vector<uint8_t> tlm = {0xFF, 0x55};
    const auto segment = static_cast<uint32_t>(4 + 6 * t.parts.size());
    auto put = [&](uint32_t value, int bytes) {
        for (int b = bytes; b-- > 0;)
            tlm.push_back(static_cast<uint8_t>(value >> (8 * b)));
    };
    put(segment, 2);
    put(0, 1);     // Ztlm: the first TLM segment
    put(0x60, 1);  // Stlm: 16-bit tile indices, 32-bit lengths
    for (const auto& [tile, length] : t.parts) {
        put(tile, 2);
        put(length, 4);
    }
    stream.insert(stream.begin() + static_cast<long>(t.first), tlm.begin(), tlm.end());
    return true;
}

// Wavelet levels: five, or more where the RPCL syntax needs a base resolution of at most 64
// samples across; fewer for a small image, where OpenJPH writes streams that no decoder reads
// back right: lossless ones need more than 2^(levels-1) samples on the widest side, lossy ones
// at least 2^levels + 1 on the narrowest.
uint32_t Decompositions(const FrameLayout& layout, const HtJ2kOptions& options) {
    uint32_t levels = 5;
    const uint64_t widest = std::max(layout.rows, layout.columns);
    const uint64_t narrowest = std::min(layout.rows, layout.columns);
    while (options.rpcl && levels < 32 && ((widest + (uint64_t{1} << levels) - 1) >> levels) > 64)
        ++levels;
    while (levels > 0 && (options.lossy ? (uint64_t{1} << levels) + 1 > narrowest
                                        : (uint64_t{1} << (levels - 1)) >= widest))
        --levels;
    return levels;
}

// One encode; step is the quantisation step of the lossy mode (ignored when lossless).
std::vector<uint8_t> EncodeOnce(std::span<const uint8_t> frame, const FrameLayout& layout,
                                const HtJ2kOptions& options, float step) {
    const std::size_t spp = layout.samplesPerPixel;
    ojph::mem_outfile out;
    out.open(std::max<std::size_t>(layout.NativeSize() / 2, 4096));
    ojph::codestream codestream;
    ojph::param_siz siz = codestream.access_siz();
    siz.set_image_extent(ojph::point(layout.columns, layout.rows));
    siz.set_tile_size(ojph::size(layout.columns, layout.rows));
    siz.set_num_components(static_cast<ojph::ui32>(spp));
    for (std::size_t c = 0; c < spp; ++c) {
        siz.set_component(static_cast<ojph::ui32>(c), ojph::point(1, 1), layout.Stored(),
                          layout.isSigned);
    }
    ojph::param_cod cod = codestream.access_cod();
    cod.set_num_decomposition(Decompositions(layout, options));
    cod.set_reversible(!options.lossy);
    // The colour transform is for red, green and blue samples only.
    cod.set_color_transform(spp == 3 && layout.rgb);
    if (options.rpcl) cod.set_progression_order("RPCL");
    if (options.lossy) codestream.access_qcd().set_irrev_quant(step);
    codestream.set_planar(false);
    codestream.write_headers(&out);

    // OpenJPH says which component it takes next; each keeps its own row count.
    std::vector<std::size_t> rowOf(spp, 0);
    ojph::ui32 component = 0;
    ojph::line_buf* line = codestream.exchange(nullptr, component);
    for (std::size_t n = 0; n < layout.rows * spp; ++n) {
        if (line == nullptr || component >= spp) throw OpenJphError("the encoder lost its place");
        LoadRow(frame, layout, rowOf[component]++, component, line->i32);
        line = codestream.exchange(line, component);
    }
    codestream.flush();
    std::vector<uint8_t> bytes(out.get_data(), out.get_data() + out.tell());
    codestream.close();
    return bytes;
}

// The ratio of the native frame to the stream's coded data, its headers left out: the
// quantisation tables alone of a small image would otherwise take most of its bytes.
double RatioOf(const FrameLayout& layout, const std::vector<uint8_t>& bytes) {
    std::size_t headers = bytes.size();
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i) {
        if (bytes[i] == 0xFF && bytes[i + 1] == 0x93) {  // SOD: the coded data follows
            headers = i + 2 + 2;                         // and EOC ends it
            break;
        }
    }
    const std::size_t coded =
        std::max<std::size_t>(bytes.size() - std::min(headers, bytes.size()), 1);
    return static_cast<double>(layout.NativeSize()) / static_cast<double>(coded);
}

// OpenJPH takes a quantisation step, not a size. The step is searched on a log scale (the
// stream shrinks steadily as the step grows) until the coded data comes within a tenth of the
// ratio asked for, in eight encodes at most; the closest one is kept.
std::vector<uint8_t> EncodeToRatio(std::span<const uint8_t> frame, const FrameLayout& layout,
                                   const HtJ2kOptions& options) {
    const double target = std::max(1.0, double(options.ratio));
    // log2 of the finest and the coarsest step tried, as shares of the sample range: however
    // small the image (its headers then weigh most), no step is coarser than a 32nd.
    double fine = -double(layout.Stored()) - 4.0;
    double coarse = -5.0;
    std::vector<uint8_t> best;
    double bestMiss = 0;
    for (int round = 0; round < 8; ++round) {
        const double log2Step = (fine + coarse) / 2;
        std::vector<uint8_t> bytes =
            EncodeOnce(frame, layout, options, static_cast<float>(std::exp2(log2Step)));
        const double ratio = RatioOf(layout, bytes);
        const double miss = std::fabs(std::log(ratio / target));
        if (best.empty() || miss < bestMiss) {
            best = std::move(bytes);
            bestMiss = miss;
        }
        if (miss < std::log(1.1)) break;
        (ratio < target ? fine : coarse) = log2Step;
    }
    return best;
}

}  // namespace

const HtJ2kCodec HTJ2K_CODEC({});
const HtJ2kCodec HTJ2K_RPCL_CODEC({.rpcl = true});
const HtJ2kCodec HTJ2K_LOSSY_CODEC({.lossy = true});

EncodedFrame EncodeHtJ2k(std::span<const uint8_t> frame, const FrameLayout& layout,
                         const HtJ2kOptions& options) {
    EncodedFrame result;
    result.error = CheckLayout(layout);
    if (result.error.empty() && (layout.bitsAllocated > 16 || layout.Stored() > 16)) {
        result.error = "High-Throughput JPEG 2000 is written for up to 16 bits stored";
    }
    if (result.error.empty() && frame.size() < layout.NativeSize()) {
        result.error = "the frame is shorter than its rows and columns";
    }
    if (!result.error.empty()) return result;
    QuietenOpenJph();
    try {
        result.bytes = options.lossy ? EncodeToRatio(frame, layout, options)
                                     : EncodeOnce(frame, layout, options, 0.0f);
    } catch (const std::exception& e) {
        result.bytes.clear();
        result.error = Failure(e, "the encoder failed");
        return result;
    }
    if (options.rpcl && !AddTileLengths(result.bytes)) {
        result.bytes.clear();
        result.error = "High-Throughput JPEG 2000: the codestream has no tile-parts to list";
        return result;
    }
    if (layout.samplesPerPixel == 3 && layout.rgb)
        result.photometric = options.lossy ? "YBR_ICT" : "YBR_RCT";
    return result;
}

DecodedFrame DecodeHtJ2k(std::span<const uint8_t> stream, std::span<uint8_t> output,
                         const FrameLayout& layout) {
    DecodedFrame result;
    result.error = CheckDecodeTarget(layout, output.size());
    if (!result.error.empty()) return result;
    if (IsHighThroughput(stream)) {
        const TileParts tileParts = WalkTileParts(stream);
        if (!tileParts.error.empty()) {
            result.error = "High-Throughput JPEG 2000: " + tileParts.error;
            return result;
        }
    }
    return DecodeJpeg2000(stream, output, layout);
}

}  // namespace dicomlib::imaging
