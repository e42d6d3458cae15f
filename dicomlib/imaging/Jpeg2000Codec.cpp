// JPEG 2000 over memory streams. OpenJPEG reports through callbacks; the first error it gives
// becomes the result's detail, warnings and information are dropped, so nothing is printed.
// The image size is checked against the data set before any sample is decoded, so a damaged
// header cannot make OpenJPEG allocate a huge image.
//
// OpenJPEG's High-Throughput block decoder asserts on damaged code blocks, which ends the
// process (a provider, the window). A stream that may hold such blocks is therefore decoded in
// a child process writing into shared memory; the child's death is a failed decode.
#include "imaging/Jpeg2000Codec.h"

#include <openjpeg.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <thread>

namespace dicomlib::imaging {
namespace {

struct CodecDeleter {
    void operator()(opj_codec_t* c) const { opj_destroy_codec(c); }
};
struct StreamDeleter {
    void operator()(opj_stream_t* s) const { opj_stream_destroy(s); }
};
struct ImageDeleter {
    void operator()(opj_image_t* i) const { opj_image_destroy(i); }
};
using Codec = std::unique_ptr<opj_codec_t, CodecDeleter>;
using Stream = std::unique_ptr<opj_stream_t, StreamDeleter>;
using Image = std::unique_ptr<opj_image_t, ImageDeleter>;

void KeepFirstError(const char* message, void* data) {
    auto* error = static_cast<std::string*>(data);
    if (!error->empty()) return;
    std::string text = message != nullptr ? message : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    *error = "JPEG 2000: " + text;
}
void Ignore(const char*, void*) {}

void Quieten(opj_codec_t* codec, std::string& error) {
    opj_set_error_handler(codec, KeepFirstError, &error);
    opj_set_warning_handler(codec, Ignore, nullptr);
    opj_set_info_handler(codec, Ignore, nullptr);
}

// The bytes a stream reads from, or the growing vector it writes to.
struct Memory {
    const uint8_t* in = nullptr;
    std::vector<uint8_t>* out = nullptr;
    std::size_t size = 0;
    std::size_t pos = 0;
};

OPJ_SIZE_T ReadMemory(void* buffer, OPJ_SIZE_T n, void* data) {
    auto* m = static_cast<Memory*>(data);
    if (m->pos >= m->size) return static_cast<OPJ_SIZE_T>(-1);
    const std::size_t count = std::min<std::size_t>(n, m->size - m->pos);
    std::memcpy(buffer, m->in + m->pos, count);
    m->pos += count;
    return count;
}

OPJ_SIZE_T WriteMemory(void* buffer, OPJ_SIZE_T n, void* data) {
    auto* m = static_cast<Memory*>(data);
    if (m->out->size() < m->pos + n) m->out->resize(m->pos + n);
    std::memcpy(m->out->data() + m->pos, buffer, n);
    m->pos += n;
    m->size = std::max(m->size, m->pos);
    return n;
}

OPJ_OFF_T SkipMemory(OPJ_OFF_T n, void* data) {
    auto* m = static_cast<Memory*>(data);
    const auto target = static_cast<OPJ_OFF_T>(m->pos) + n;
    if (target < 0 || (m->out == nullptr && static_cast<std::size_t>(target) > m->size)) return -1;
    m->pos = static_cast<std::size_t>(target);
    return n;
}

OPJ_BOOL SeekMemory(OPJ_OFF_T n, void* data) {
    auto* m = static_cast<Memory*>(data);
    if (n < 0 || (m->out == nullptr && static_cast<std::size_t>(n) > m->size)) return OPJ_FALSE;
    m->pos = static_cast<std::size_t>(n);
    return OPJ_TRUE;
}

Stream MakeStream(Memory& memory, bool input) {
    Stream stream(opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, input ? OPJ_TRUE : OPJ_FALSE));
    if (!stream) return stream;
    opj_stream_set_user_data(stream.get(), &memory, nullptr);
    if (input) {
        opj_stream_set_user_data_length(stream.get(), memory.size);
        opj_stream_set_read_function(stream.get(), ReadMemory);
    } else {
        opj_stream_set_write_function(stream.get(), WriteMemory);
    }
    opj_stream_set_skip_function(stream.get(), SkipMemory);
    opj_stream_set_seek_function(stream.get(), SeekMemory);
    return stream;
}

uint32_t ReadSample(const uint8_t* p, std::size_t bytes) {
    uint32_t value = 0;
    for (std::size_t i = bytes; i-- > 0;)
        value = value << 8 | p[i];
    return value;
}

constexpr uint8_t JP2_SIGNATURE[] = {0x00, 0x00, 0x00, 0x0C, 0x6A, 0x50, 0x20, 0x20};

// OpenJPEG codes code blocks on a pool of threads, one per core, made for each codec: a frame
// of a quarter megapixel and more gains more than the pool costs.
void UseEveryCore(opj_codec_t* codec, std::size_t pixels) {
    const unsigned cores = std::thread::hardware_concurrency();
    if (pixels >= 512 * 512 && cores > 1 && opj_has_thread_support())
        opj_codec_set_threads(codec, static_cast<int>(std::min(cores, 64u)));
}

// One component's decoded samples into the frame, in the layout's sample order.
void StoreComponent(const OPJ_INT32* from, const FrameLayout& stored, std::size_t c,
                    std::span<uint8_t> output) {
    const std::size_t pixels = stored.Pixels();
    const std::size_t bytes = stored.SampleBytes();
    const std::size_t step = (stored.planar ? 1 : stored.samplesPerPixel) * bytes;
    uint8_t* to = output.data() + (stored.planar ? c * pixels : c) * bytes;
    if (bytes == 2) {
        for (std::size_t p = 0; p < pixels; ++p, to += step) {
            const auto value = static_cast<uint32_t>(StoredSample(from[p], stored));
            to[0] = static_cast<uint8_t>(value);
            to[1] = static_cast<uint8_t>(value >> 8);
        }
        return;
    }
    for (std::size_t p = 0; p < pixels; ++p, to += step) {
        const auto value = static_cast<uint64_t>(StoredSample(from[p], stored));
        for (std::size_t b = 0; b < bytes; ++b)
            to[b] = static_cast<uint8_t>(value >> (8 * b));
    }
}

}  // namespace

const Jpeg2000Codec JPEG_2000_CODEC(false);
const Jpeg2000Codec JPEG_2000_LOSSY_CODEC(true);

EncodedFrame EncodeJpeg2000(std::span<const uint8_t> frame, const FrameLayout& layout,
                            const Jpeg2000Options& options) {
    EncodedFrame result;
    result.error = CheckLayout(layout);
    if (result.error.empty() && layout.Stored() > 16) {
        result.error = "JPEG 2000 is written for up to 16 bits stored";
    }
    if (result.error.empty() && frame.size() < layout.NativeSize()) {
        result.error = "the frame is shorter than its rows and columns";
    }
    if (!result.error.empty()) return result;

    const std::size_t spp = layout.samplesPerPixel;
    std::vector<opj_image_cmptparm_t> parameters(spp);
    for (auto& p : parameters) {
        p.dx = p.dy = 1;
        p.w = layout.columns;
        p.h = layout.rows;
        p.prec = layout.Stored();
        p.sgnd = layout.isSigned ? 1 : 0;
    }
    Image image(opj_image_create(static_cast<OPJ_UINT32>(spp), parameters.data(),
                                 spp == 3 ? OPJ_CLRSPC_SRGB : OPJ_CLRSPC_GRAY));
    if (!image) {
        result.error = "JPEG 2000: no memory for the image";
        return result;
    }
    image->x1 = layout.columns;
    image->y1 = layout.rows;
    const std::size_t pixels = layout.Pixels();
    const std::size_t bytes = layout.SampleBytes();
    for (std::size_t c = 0; c < spp; ++c) {
        OPJ_INT32* to = image->comps[c].data;
        for (std::size_t p = 0; p < pixels; ++p) {
            const std::size_t at = layout.planar ? c * pixels + p : p * spp + c;
            to[p] = static_cast<OPJ_INT32>(
                StoredSample(ReadSample(frame.data() + at * bytes, bytes), layout));
        }
    }

    opj_cparameters_t settings;
    opj_set_default_encoder_parameters(&settings);
    settings.tcp_numlayers = 1;
    settings.cp_disto_alloc = 1;
    settings.tcp_rates[0] = options.lossy ? options.ratio : 0.0f;
    settings.irreversible = options.lossy ? 1 : 0;
    // The colour transform is for red, green and blue samples only.
    const bool transform = spp == 3 && layout.rgb;
    settings.tcp_mct = transform ? 1 : 0;
    // Each further resolution halves the image; the smallest must keep at least one sample.
    const uint32_t smaller = std::min(layout.rows, layout.columns);
    while (settings.numresolution > 1 && (smaller >> (settings.numresolution - 1)) == 0)
        --settings.numresolution;

    Codec codec(opj_create_compress(OPJ_CODEC_J2K));
    std::string error;
    Quieten(codec.get(), error);
    Memory memory;
    memory.out = &result.bytes;
    result.bytes.reserve(layout.NativeSize() / 2 + 1024);
    Stream stream = MakeStream(memory, false);
    const bool ok = stream && opj_setup_encoder(codec.get(), &settings, image.get()) &&
                    (UseEveryCore(codec.get(), pixels), true) &&
                    opj_start_compress(codec.get(), image.get(), stream.get()) &&
                    opj_encode(codec.get(), stream.get()) &&
                    opj_end_compress(codec.get(), stream.get());
    if (!ok) {
        result.bytes.clear();
        result.error = error.empty() ? "JPEG 2000: the encoder failed" : error;
        return result;
    }
    result.bytes.resize(memory.size);
    if (transform) result.photometric = options.lossy ? "YBR_ICT" : "YBR_RCT";
    return result;
}

namespace {

uint32_t BigEndian16(std::span<const uint8_t> s, std::size_t at) {
    return uint32_t{s[at]} << 8 | s[at + 1];
}

// Whether the marker segments from `at` to the first SOT (main header) or SOD (tile-part
// header) declare High-Throughput code blocks in a COD or COC; false only when the walk got
// through and none did.
bool SegmentsDeclareHt(std::span<const uint8_t> s, std::size_t& at, uint8_t endMarker,
                       std::size_t componentBytes, bool& ht) {
    while (at + 4 <= s.size() && s[at] == 0xFF && s[at + 1] != endMarker) {
        const uint8_t marker = s[at + 1];
        const std::size_t length = BigEndian16(s, at + 2);
        if (length < 2 || at + 2 + length > s.size()) return false;
        // COD: Scod, progression, layers (2), transform, levels, width, height, then the style;
        // COC: the component, Scoc, levels, width, height, then the style.
        std::size_t style = 0;
        if (marker == 0x52) style = at + 4 + 8;
        if (marker == 0x53) style = at + 4 + componentBytes + 4;
        if (style != 0) {
            if (style >= at + 2 + length) return false;
            if ((s[style] & 0x40) != 0) ht = true;
        }
        at += 2 + length;
    }
    return at + 2 <= s.size() && s[at] == 0xFF && s[at + 1] == endMarker;
}

// Whether OpenJPEG would use its High-Throughput block decoder on this stream: a COD or COC of
// the main header or of a tile-part header says so. A stream that cannot be walked, or a JP2
// file, is taken to be one.
bool MayHoldHtBlocks(std::span<const uint8_t> s) {
    if (s.size() < 4 + 38 || s[0] != 0xFF || s[1] != 0x4F || s[2] != 0xFF || s[3] != 0x51)
        return true;
    const std::size_t components = BigEndian16(s, 2 + 38);  // Csiz, after Rsiz and 8 sizes
    const std::size_t componentBytes = components < 257 ? 1 : 2;
    bool ht = false;
    std::size_t at = 2;
    if (!SegmentsDeclareHt(s, at, 0x90, componentBytes, ht)) return true;
    while (!ht && at + 12 <= s.size() && s[at] == 0xFF && s[at + 1] == 0x90) {
        const std::size_t sot = at;
        const std::size_t length = uint32_t{s[at + 6]} << 24 | uint32_t{s[at + 7]} << 16 |
                                   uint32_t{s[at + 8]} << 8 | s[at + 9];
        at += 12;  // the SOT segment
        if (!SegmentsDeclareHt(s, at, 0x93, componentBytes, ht)) return true;
        if (length == 0) break;  // the last tile-part runs to the end
        if (length < 14 || length > s.size() - sot) return true;
        at = sot + length;
    }
    return ht;
}

// The shared page the child writes its outcome into, before the frame's bytes.
struct ApartOutcome {
    int done;
    char photometric[16];
    char error[496];
};

DecodedFrame DecodeInProcess(std::span<const uint8_t> stream, std::span<uint8_t> output,
                             const FrameLayout& layout, bool threads);

DecodedFrame DecodeApart(std::span<const uint8_t> stream, std::span<uint8_t> output,
                         const FrameLayout& layout) {
    DecodedFrame result;
    // The frame only: what output holds past it is the caller's.
    output = output.first(layout.NativeSize());
    const std::size_t size = sizeof(ApartOutcome) + output.size();
    void* shared = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) {
        result.error =
            std::string("JPEG 2000: no shared memory for the decoder: ") + std::strerror(errno);
        return result;
    }
    auto* outcome = static_cast<ApartOutcome*>(shared);
    outcome->done = 0;
    const pid_t child = fork();
    if (child == 0) {
        // An assertion in the decoder ends the child alone, without a word on standard error.
        std::signal(SIGABRT, SIG_DFL);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        const int nowhere = open("/dev/null", O_WRONLY);
        if (nowhere >= 0) dup2(nowhere, STDERR_FILENO);
#endif
        std::span<uint8_t> frame(static_cast<uint8_t*>(shared) + sizeof(ApartOutcome),
                                 output.size());
#if defined(__SANITIZE_THREAD__)
        const bool threads = false;  // threads after a fork are not followed by the sanitizer
#else
        const bool threads = true;
#endif
        const DecodedFrame decoded = DecodeInProcess(stream, frame, layout, threads);
        std::snprintf(outcome->photometric, sizeof outcome->photometric, "%s",
                      decoded.photometric.c_str());
        std::snprintf(outcome->error, sizeof outcome->error, "%s", decoded.error.c_str());
        outcome->done = 1;
        _exit(0);
    }
    if (child < 0) {
        result.error =
            std::string("JPEG 2000: the decoder could not be started: ") + std::strerror(errno);
        munmap(shared, size);
        return result;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // A sanitizer's report in the child is a fault of ours, not damaged data.
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0) std::abort();
#endif
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && outcome->done == 1) {
        result.error = outcome->error;
        result.photometric = outcome->photometric;
        if (result.error.empty())
            std::memcpy(output.data(), static_cast<uint8_t*>(shared) + sizeof(ApartOutcome),
                        output.size());
    } else {
        result.error =
            "JPEG 2000: the High-Throughput block decoder stopped on damaged code "
            "blocks";
    }
    munmap(shared, size);
    return result;
}

DecodedFrame DecodeInProcess(std::span<const uint8_t> stream, std::span<uint8_t> output,
                             const FrameLayout& layout, bool threads) {
    DecodedFrame result;
    const bool jp2 = stream.size() >= sizeof JP2_SIGNATURE &&
                     std::equal(std::begin(JP2_SIGNATURE), std::end(JP2_SIGNATURE), stream.begin());
    Codec codec(opj_create_decompress(jp2 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K));
    std::string error;
    Quieten(codec.get(), error);
    opj_dparameters_t settings;
    opj_set_default_decoder_parameters(&settings);
    Memory memory;
    memory.in = stream.data();
    memory.size = stream.size();
    Stream input = MakeStream(memory, true);
    opj_image_t* raw = nullptr;
    const bool headerRead = input && opj_setup_decoder(codec.get(), &settings) &&
                            (!threads || (UseEveryCore(codec.get(), layout.Pixels()), true)) &&
                            opj_read_header(input.get(), codec.get(), &raw);
    Image image(raw);
    auto fail = [&](const std::string& fallback) {
        result.error = error.empty() ? fallback : error;
        return result;
    };
    if (!headerRead || !image) return fail("JPEG 2000: the stream has no usable header");

    const std::size_t spp = layout.samplesPerPixel;
    const uint32_t width = image->x1 - image->x0;
    const uint32_t height = image->y1 - image->y0;
    if (image->numcomps != spp || width != layout.columns || height != layout.rows) {
        result.error = "the JPEG 2000 stream holds a " + std::to_string(width) + " x " +
                       std::to_string(height) + " image of " + std::to_string(image->numcomps) +
                       " components, not the image its data set describes";
        return result;
    }
    for (std::size_t c = 0; c < spp; ++c) {
        const opj_image_comp_t& comp = image->comps[c];
        if (comp.dx != 1 || comp.dy != 1 || comp.prec > 32) {
            return fail("JPEG 2000: subsampled components are not supported");
        }
    }
    bool transformed = false;
    if (spp == 3) {
        opj_codestream_info_v2_t* info = opj_get_cstr_info(codec.get());
        if (info != nullptr) {
            transformed = info->m_default_tile_info.mct != 0;
            opj_destroy_cstr_info(&info);
        }
    }
    if (!opj_decode(codec.get(), input.get(), image.get()) ||
        !opj_end_decompress(codec.get(), input.get())) {
        return fail("JPEG 2000: the stream could not be decoded");
    }
    for (std::size_t c = 0; c < spp; ++c) {
        const opj_image_comp_t& comp = image->comps[c];
        if (comp.data == nullptr || comp.w != layout.columns || comp.h != layout.rows) {
            return fail("JPEG 2000: a component was not decoded whole");
        }
    }

    for (std::size_t c = 0; c < spp; ++c) {
        const opj_image_comp_t& comp = image->comps[c];
        // A stream more precise than the data set says keeps all its bits.
        FrameLayout stored = layout;
        stored.bitsStored = static_cast<uint16_t>(std::clamp<uint32_t>(
            std::max<uint32_t>(comp.prec, layout.Stored()), 1, layout.bitsAllocated));
        StoreComponent(comp.data, stored, c, output);
    }
    if (transformed) result.photometric = "RGB";
    return result;
}

}  // namespace

DecodedFrame DecodeJpeg2000(std::span<const uint8_t> stream, std::span<uint8_t> output,
                            const FrameLayout& layout) {
    DecodedFrame result;
    result.error = CheckDecodeTarget(layout, output.size());
    if (!result.error.empty()) return result;
    if (MayHoldHtBlocks(stream)) return DecodeApart(stream, output, layout);
    return DecodeInProcess(stream, output, layout, true);
}

}  // namespace dicomlib::imaging
