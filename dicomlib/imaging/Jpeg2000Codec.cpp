// JPEG 2000 over memory streams. OpenJPEG reports through callbacks; the first error it gives
// becomes the result's detail, warnings and information are dropped, so nothing is printed.
// The image size is checked against the data set before any sample is decoded, so a damaged
// header cannot make OpenJPEG allocate a huge image.
#include "imaging/Jpeg2000Codec.h"

#include <openjpeg.h>

#include <algorithm>
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

DecodedFrame DecodeJpeg2000(std::span<const uint8_t> stream, std::span<uint8_t> output,
                            const FrameLayout& layout) {
    DecodedFrame result;
    result.error = CheckDecodeTarget(layout, output.size());
    if (!result.error.empty()) return result;

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
                            (UseEveryCore(codec.get(), layout.Pixels()), true) &&
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

}  // namespace dicomlib::imaging
