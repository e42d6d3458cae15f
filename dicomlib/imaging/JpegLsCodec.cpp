// JPEG-LS through CharLS's C interface, whose failures are error codes: nothing here throws.
// CharLS takes and gives samples of one byte up to 8 bits per sample and of two (host order)
// above; DICOM frames have bitsAllocated / 8 bytes per sample, so frames whose two sizes differ,
// or whose unused high bits are set (signed images), go through a staging buffer.
#include "imaging/JpegLsCodec.h"

#include <charls/charls.h>

#include <cstring>
#include <memory>

namespace dicomlib::imaging {
namespace {

struct EncoderDeleter {
    void operator()(charls_jpegls_encoder* e) const { charls_jpegls_encoder_destroy(e); }
};
struct DecoderDeleter {
    void operator()(charls_jpegls_decoder* d) const { charls_jpegls_decoder_destroy(d); }
};

std::string CharlsMessage(charls::jpegls_errc code) {
    return std::string("JPEG-LS: ") + charls_get_error_message(code);
}

bool Failed(charls::jpegls_errc code) {
    return code != charls::jpegls_errc::success;
}

uint32_t ReadFrameSample(const uint8_t* p, std::size_t bytes) {
    uint32_t value = 0;
    for (std::size_t i = bytes; i-- > 0;)
        value = value << 8 | p[i];
    return value;
}

void WriteSample(uint8_t* p, std::size_t bytes, uint32_t value) {
    for (std::size_t i = 0; i < bytes; ++i)
        p[i] = static_cast<uint8_t>(value >> (8 * i));
}

// A buffer of samples in CharLS's size: 1 byte up to 8 bits, 2 bytes (host order) above.
std::size_t CharlsSampleBytes(int bits) {
    return bits <= 8 ? 1 : 2;
}

void PutHostU16(uint8_t* p, uint16_t v) {
    std::memcpy(p, &v, 2);
}
uint16_t GetHostU16(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

bool HostIsLittleEndian() {
    const uint16_t probe = 1;
    uint8_t first;
    std::memcpy(&first, &probe, 1);
    return first == 1;
}

}  // namespace

const JpegLsCodec JPEG_LS_CODEC(0);
const JpegLsCodec JPEG_LS_NEAR_CODEC(2);

EncodedFrame EncodeJpegLs(std::span<const uint8_t> frame, const FrameLayout& layout,
                          int nearLossless) {
    EncodedFrame result;
    result.error = CheckLayout(layout);
    if (result.error.empty() && (layout.Stored() < 2 || layout.Stored() > 16)) {
        result.error = "JPEG-LS takes 2 to 16 bits stored, not " + std::to_string(layout.Stored());
    }
    if (result.error.empty() && (layout.rows > 65535 || layout.columns > 65535)) {
        result.error = "JPEG-LS takes at most 65535 rows and columns";
    }
    if (result.error.empty() && frame.size() < layout.NativeSize()) {
        result.error = "the frame is shorter than its rows and columns";
    }
    if (!result.error.empty()) return result;

    // The samples as CharLS takes them, masked to the bits stored.
    const std::size_t fromBytes = layout.SampleBytes();
    const std::size_t toBytes = CharlsSampleBytes(layout.Stored());
    const std::size_t samples = layout.Pixels() * layout.samplesPerPixel;
    std::span<const uint8_t> source = frame.first(layout.NativeSize());
    std::vector<uint8_t> staged;
    const bool direct = fromBytes == toBytes && layout.Stored() == layout.bitsAllocated &&
                        (toBytes == 1 || HostIsLittleEndian());
    if (!direct) {
        staged.resize(samples * toBytes);
        const uint32_t mask = (1u << layout.Stored()) - 1;
        for (std::size_t i = 0; i < samples; ++i) {
            const uint32_t value = ReadFrameSample(frame.data() + i * fromBytes, fromBytes) & mask;
            if (toBytes == 1) {
                staged[i] = static_cast<uint8_t>(value);
            } else {
                PutHostU16(staged.data() + 2 * i, static_cast<uint16_t>(value));
            }
        }
        source = staged;
    }

    std::unique_ptr<charls_jpegls_encoder, EncoderDeleter> encoder(charls_jpegls_encoder_create());
    if (!encoder) {
        result.error = "JPEG-LS: no memory for the encoder";
        return result;
    }
    const charls_frame_info info{layout.columns, layout.rows, layout.Stored(),
                                 layout.samplesPerPixel};
    const auto mode = layout.samplesPerPixel == 1 || layout.planar
                          ? charls::interleave_mode::none
                          : charls::interleave_mode::sample;
    charls::jpegls_errc code = charls_jpegls_encoder_set_frame_info(encoder.get(), &info);
    if (!Failed(code)) code = charls_jpegls_encoder_set_near_lossless(encoder.get(), nearLossless);
    if (!Failed(code)) code = charls_jpegls_encoder_set_interleave_mode(encoder.get(), mode);
    std::size_t estimate = 0;
    if (!Failed(code)) {
        code = charls_jpegls_encoder_get_estimated_destination_size(encoder.get(), &estimate);
    }
    if (!Failed(code)) {
        result.bytes.resize(estimate);
        code = charls_jpegls_encoder_set_destination_buffer(encoder.get(), result.bytes.data(),
                                                            result.bytes.size());
    }
    if (!Failed(code)) {
        code = charls_jpegls_encoder_encode_from_buffer(encoder.get(), source.data(), source.size(),
                                                        0);
    }
    std::size_t written = 0;
    if (!Failed(code)) code = charls_jpegls_encoder_get_bytes_written(encoder.get(), &written);
    if (Failed(code)) {
        result.bytes.clear();
        result.error = CharlsMessage(code);
        return result;
    }
    result.bytes.resize(written);
    return result;
}

DecodedFrame DecodeJpegLs(std::span<const uint8_t> stream, std::span<uint8_t> output,
                          const FrameLayout& layout) {
    DecodedFrame result;
    result.error = CheckDecodeTarget(layout, output.size());
    if (!result.error.empty()) return result;

    // CharLS crawls through a stream that ends without a marker (many seconds for a small
    // image), so a stream cut short gets its end marker back first; the missing data then fails
    // at once. A fragment's pad byte after the marker is no cut.
    std::size_t end = stream.size();
    while (end > 0 && stream[end - 1] == 0x00)
        --end;
    std::vector<uint8_t> completed;
    if (end < 2 || stream[end - 2] != 0xFF || stream[end - 1] != 0xD9) {
        completed.assign(stream.begin(), stream.end());
        completed.insert(completed.end(), {0xFF, 0xD9});
        stream = completed;
    }

    std::unique_ptr<charls_jpegls_decoder, DecoderDeleter> decoder(charls_jpegls_decoder_create());
    if (!decoder) {
        result.error = "JPEG-LS: no memory for the decoder";
        return result;
    }
    charls::jpegls_errc code =
        charls_jpegls_decoder_set_source_buffer(decoder.get(), stream.data(), stream.size());
    if (!Failed(code)) code = charls_jpegls_decoder_read_header(decoder.get());
    charls_frame_info info{};
    if (!Failed(code)) code = charls_jpegls_decoder_get_frame_info(decoder.get(), &info);
    charls::interleave_mode mode{};
    if (!Failed(code)) code = charls_jpegls_decoder_get_interleave_mode(decoder.get(), &mode);
    if (Failed(code)) {
        result.error = CharlsMessage(code);
        return result;
    }
    if (info.width != layout.columns || info.height != layout.rows ||
        info.component_count != layout.samplesPerPixel ||
        CharlsSampleBytes(info.bits_per_sample) > layout.SampleBytes()) {
        result.error = "the JPEG-LS stream holds a " + std::to_string(info.width) + " x " +
                       std::to_string(info.height) + " image of " +
                       std::to_string(info.component_count) + " components at " +
                       std::to_string(info.bits_per_sample) +
                       " bits, not the image its data set describes";
        return result;
    }
    std::size_t size = 0;
    code = charls_jpegls_decoder_get_destination_size(decoder.get(), 0, &size);
    std::vector<uint8_t> decoded;
    if (!Failed(code)) {
        decoded.resize(size);
        code = charls_jpegls_decoder_decode_to_buffer(decoder.get(), decoded.data(), decoded.size(),
                                                      0);
    }
    if (Failed(code)) {
        result.error = CharlsMessage(code);
        return result;
    }

    // CharLS gives planes for a stream without interleaving, pixels otherwise.
    const bool decodedPlanar = mode == charls::interleave_mode::none;
    const std::size_t fromBytes = CharlsSampleBytes(info.bits_per_sample);
    const std::size_t toBytes = layout.SampleBytes();
    const std::size_t samples = layout.Pixels() * layout.samplesPerPixel;
    const bool reorder = layout.samplesPerPixel > 1 && decodedPlanar != layout.planar;
    std::vector<uint8_t> staged;
    uint8_t* target = output.data();
    if (reorder) {
        staged.resize(layout.NativeSize());
        target = staged.data();
    }
    // A stream more precise than the data set says keeps all its bits.
    FrameLayout stored = layout;
    if (info.bits_per_sample > stored.Stored()) {
        stored.bitsStored = static_cast<uint16_t>(info.bits_per_sample);
    }
    for (std::size_t i = 0; i < samples; ++i) {
        const uint32_t raw = fromBytes == 1 ? decoded[i] : GetHostU16(decoded.data() + 2 * i);
        WriteSample(target + i * toBytes, toBytes,
                    static_cast<uint32_t>(StoredSample(raw, stored)));
    }
    if (reorder) {
        FrameLayout from = layout;
        from.planar = decodedPlanar;
        if (decodedPlanar) {
            ToPixelOrder(staged, output, from);
        } else {
            ToPlaneOrder(staged, output, from);
        }
    }
    return result;
}

}  // namespace dicomlib::imaging
