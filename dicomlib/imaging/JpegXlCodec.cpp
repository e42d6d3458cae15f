// JPEG XL over memory buffers. libjxl takes and gives integer samples scaled to the whole range
// of their type (255 or 65535), whatever the codestream's bit depth: a 12-bit sample goes in as
// v * 65535 / 4095 rounded, and comes back through the inverse, which is exact for every depth.
// Frames of a quarter megapixel and more use all cores through libjxl's thread runner.
#include "imaging/JpegXlCodec.h"

#include <jxl/decode.h>
#include <jxl/decode_cxx.h>
#include <jxl/encode.h>
#include <jxl/encode_cxx.h>
#include <jxl/thread_parallel_runner.h>
#include <jxl/thread_parallel_runner_cxx.h>

#include <algorithm>
#include <string>

#include "imaging/BaselineJpeg.h"

namespace dicomlib::imaging {
namespace {

// Effort 2 packs 16-bit images within a few percent of the default effort at several times the
// speed; lossy and recompressed streams take a little more.
constexpr int LOSSLESS_EFFORT = 2;
constexpr int LOSSY_EFFORT = 3;
constexpr int RECOMPRESSION_EFFORT = 3;

constexpr std::size_t THREADED_PIXELS = 512 * 512;

JxlThreadParallelRunnerPtr RunnerFor(std::size_t pixels) {
    if (pixels < THREADED_PIXELS) return JxlThreadParallelRunnerPtr(nullptr);
    return JxlThreadParallelRunnerMake(nullptr, JxlThreadParallelRunnerDefaultNumWorkerThreads());
}

// The scale between a sample of `bits` bits and the pixel format's full range.
struct SampleScale {
    uint32_t top;   // 2^bits - 1
    uint32_t full;  // 255 or 65535

    uint32_t Out(uint32_t v) const {
        return top == full ? v : uint32_t((uint64_t{v} * full + top / 2) / top);
    }
    uint32_t In(uint32_t u) const {
        return top == full ? u : uint32_t((uint64_t{u} * top + full / 2) / full);
    }
};

std::string CheckEncodable(const FrameLayout& layout, std::size_t frameSize) {
    std::string error = CheckLayout(layout);
    if (error.empty() && (layout.bitsAllocated > 16 || layout.Stored() > 16))
        error = "JPEG XL is written for up to 16 bits stored";
    if (error.empty() && frameSize < layout.NativeSize())
        error = "the frame is shorter than its rows and columns";
    return error;
}

// Runs the encoder to its end into bytes.
bool TakeOutput(JxlEncoder* encoder, std::vector<uint8_t>& bytes) {
    bytes.resize(64 * 1024);
    std::size_t used = 0;
    for (;;) {
        uint8_t* next = bytes.data() + used;
        std::size_t left = bytes.size() - used;
        const JxlEncoderStatus status = JxlEncoderProcessOutput(encoder, &next, &left);
        used = bytes.size() - left;
        if (status == JXL_ENC_SUCCESS) break;
        if (status != JXL_ENC_NEED_MORE_OUTPUT) return false;
        bytes.resize(bytes.size() * 2);
    }
    bytes.resize(used);
    return true;
}

JxlEncoderPtr NewEncoder(const JxlThreadParallelRunnerPtr& runner) {
    JxlEncoderPtr encoder = JxlEncoderMake(nullptr);
    if (encoder && runner)
        JxlEncoderSetParallelRunner(encoder.get(), JxlThreadParallelRunner, runner.get());
    return encoder;
}

JxlDecoderPtr NewDecoder(const JxlThreadParallelRunnerPtr& runner) {
    JxlDecoderPtr decoder = JxlDecoderMake(nullptr);
    if (decoder && runner)
        JxlDecoderSetParallelRunner(decoder.get(), JxlThreadParallelRunner, runner.get());
    return decoder;
}

// The image in the stream's basic information is the layout's: its size and its channels.
std::string CheckImage(const JxlBasicInfo& info, const FrameLayout& layout) {
    if (info.xsize != layout.columns || info.ysize != layout.rows ||
        info.num_color_channels != layout.samplesPerPixel) {
        return "the JPEG XL stream holds a " + std::to_string(info.xsize) + " x " +
               std::to_string(info.ysize) + " image of " + std::to_string(info.num_color_channels) +
               " channels, not the image its data set describes";
    }
    if (info.exponent_bits_per_sample != 0) return "JPEG XL: floating-point samples are not read";
    if (info.bits_per_sample == 0 || info.bits_per_sample > layout.bitsAllocated) {
        return "the JPEG XL stream holds " + std::to_string(info.bits_per_sample) +
               "-bit samples where the data set allocates " + std::to_string(layout.bitsAllocated);
    }
    return {};
}

JxlPixelFormat FormatOf(const FrameLayout& layout) {
    return {layout.samplesPerPixel, layout.bitsAllocated == 8 ? JXL_TYPE_UINT8 : JXL_TYPE_UINT16,
            JXL_LITTLE_ENDIAN, 0};
}

}  // namespace

const JpegXlCodec JPEG_XL_CODEC(JpegXlCodec::Kind::Lossless);
const JpegXlCodec JPEG_XL_LOSSY_CODEC(JpegXlCodec::Kind::Lossy);
const JpegXlCodec JPEG_XL_JPEG_CODEC(JpegXlCodec::Kind::JpegRecompression);

EncodedFrame EncodeJpegXl(std::span<const uint8_t> frame, const FrameLayout& layout,
                          const JpegXlOptions& options) {
    EncodedFrame result;
    result.error = CheckEncodable(layout, frame.size());
    if (result.error.empty() && options.lossy && layout.isSigned)
        result.error = "JPEG XL lossy is written for unsigned samples only";
    if (!result.error.empty()) return result;

    // The samples, pixel by pixel, as libjxl takes them: their bits stored without a sign,
    // scaled to the format's range.
    const std::size_t bytes = layout.SampleBytes();
    const std::size_t count = layout.Pixels() * layout.samplesPerPixel;
    const SampleScale scale{(1u << layout.Stored()) - 1, bytes == 1 ? 0xFFu : 0xFFFFu};
    std::vector<uint8_t> pixels(layout.NativeSize());
    if (layout.planar) {
        ToPixelOrder(frame.first(layout.NativeSize()), pixels, layout);
    } else {
        std::copy_n(frame.begin(), pixels.size(), pixels.begin());
    }
    for (std::size_t i = 0; i < count; ++i) {
        uint8_t* p = pixels.data() + i * bytes;
        const uint32_t raw = bytes == 1 ? p[0] : uint32_t{p[0]} | uint32_t{p[1]} << 8;
        const uint32_t u = scale.Out(raw & scale.top);
        p[0] = static_cast<uint8_t>(u);
        if (bytes == 2) p[1] = static_cast<uint8_t>(u >> 8);
    }

    const JxlThreadParallelRunnerPtr runner = RunnerFor(layout.Pixels());
    JxlEncoderPtr encoder = NewEncoder(runner);
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = layout.columns;
    info.ysize = layout.rows;
    info.bits_per_sample = layout.Stored();
    info.num_color_channels = layout.samplesPerPixel;
    // Lossy red, green and blue go through the perceptual colour space; everything else keeps
    // its samples' own space.
    const bool perceptual = options.lossy && layout.samplesPerPixel == 3 && layout.rgb;
    info.uses_original_profile = perceptual ? JXL_FALSE : JXL_TRUE;
    JxlColorEncoding colour;
    JxlColorEncodingSetToSRGB(&colour, layout.samplesPerPixel == 1 ? JXL_TRUE : JXL_FALSE);
    JxlEncoderFrameSettings* settings = nullptr;
    const JxlPixelFormat format = FormatOf(layout);
    const bool ok =
        encoder && JxlEncoderSetBasicInfo(encoder.get(), &info) == JXL_ENC_SUCCESS &&
        JxlEncoderSetColorEncoding(encoder.get(), &colour) == JXL_ENC_SUCCESS &&
        (settings = JxlEncoderFrameSettingsCreate(encoder.get(), nullptr)) != nullptr &&
        JxlEncoderFrameSettingsSetOption(settings, JXL_ENC_FRAME_SETTING_EFFORT,
                                         options.lossy ? LOSSY_EFFORT : LOSSLESS_EFFORT) ==
            JXL_ENC_SUCCESS &&
        (options.lossy ? JxlEncoderSetFrameDistance(settings, options.distance)
                       : JxlEncoderSetFrameLossless(settings, JXL_TRUE)) == JXL_ENC_SUCCESS &&
        JxlEncoderAddImageFrame(settings, &format, pixels.data(), pixels.size()) ==
            JXL_ENC_SUCCESS &&
        (JxlEncoderCloseInput(encoder.get()), TakeOutput(encoder.get(), result.bytes));
    if (!ok) {
        result.bytes.clear();
        result.error = "JPEG XL: the encoder failed (error " +
                       std::to_string(encoder ? int(JxlEncoderGetError(encoder.get())) : -1) + ")";
    }
    return result;
}

DecodedFrame DecodeJpegXl(std::span<const uint8_t> stream, std::span<uint8_t> output,
                          const FrameLayout& layout, bool rgbFromJpeg) {
    DecodedFrame result;
    result.error = CheckDecodeTarget(layout, output.size());
    if (result.error.empty() && layout.bitsAllocated > 16)
        result.error = "JPEG XL is read into 8- or 16-bit samples";
    if (!result.error.empty()) return result;

    const JxlThreadParallelRunnerPtr runner = RunnerFor(layout.Pixels());
    JxlDecoderPtr decoder = NewDecoder(runner);
    if (!decoder ||
        JxlDecoderSubscribeEvents(decoder.get(), JXL_DEC_BASIC_INFO | JXL_DEC_FULL_IMAGE) !=
            JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(decoder.get(), stream.data(), stream.size()) != JXL_DEC_SUCCESS) {
        result.error = "JPEG XL: the decoder cannot start";
        return result;
    }
    JxlDecoderCloseInput(decoder.get());

    // Pixel by pixel straight into the frame, or through a copy for a planar frame.
    std::vector<uint8_t> copy(layout.planar ? layout.NativeSize() : 0);
    const std::span<uint8_t> pixels =
        layout.planar ? std::span<uint8_t>(copy) : output.first(layout.NativeSize());
    const JxlPixelFormat format = FormatOf(layout);
    JxlBasicInfo info{};
    bool decoded = false;
    while (!decoded) {
        const JxlDecoderStatus status = JxlDecoderProcessInput(decoder.get());
        if (status == JXL_DEC_BASIC_INFO) {
            if (JxlDecoderGetBasicInfo(decoder.get(), &info) != JXL_DEC_SUCCESS) {
                result.error = "JPEG XL: the image header cannot be read";
                return result;
            }
            result.error = CheckImage(info, layout);
            if (!result.error.empty()) return result;
        } else if (status == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
            std::size_t needed = 0;
            if (JxlDecoderImageOutBufferSize(decoder.get(), &format, &needed) != JXL_DEC_SUCCESS ||
                needed != pixels.size() ||
                JxlDecoderSetImageOutBuffer(decoder.get(), &format, pixels.data(), pixels.size()) !=
                    JXL_DEC_SUCCESS) {
                result.error = "JPEG XL: the image does not fit the frame";
                return result;
            }
        } else if (status == JXL_DEC_FULL_IMAGE) {
            decoded = true;  // the first frame of an animation is the image
        } else if (status == JXL_DEC_NEED_MORE_INPUT) {
            result.error = "the JPEG XL stream ends before its image";
            return result;
        } else {
            result.error = "JPEG XL: the stream could not be decoded";
            return result;
        }
    }

    // Back from the format's range to the stream's bits, then to the data set's samples.
    FrameLayout stored = layout;
    stored.bitsStored = static_cast<uint16_t>(std::clamp<uint32_t>(
        std::max<uint32_t>(info.bits_per_sample, layout.Stored()), 1, layout.bitsAllocated));
    const std::size_t bytes = layout.SampleBytes();
    const SampleScale scale{(1u << info.bits_per_sample) - 1, bytes == 1 ? 0xFFu : 0xFFFFu};
    const std::size_t count = layout.Pixels() * layout.samplesPerPixel;
    for (std::size_t i = 0; i < count; ++i) {
        uint8_t* p = pixels.data() + i * bytes;
        const uint32_t u = bytes == 1 ? p[0] : uint32_t{p[0]} | uint32_t{p[1]} << 8;
        const auto v = static_cast<uint64_t>(StoredSample(scale.In(u), stored));
        p[0] = static_cast<uint8_t>(v);
        if (bytes == 2) p[1] = static_cast<uint8_t>(v >> 8);
    }
    if (layout.planar) ToPlaneOrder(copy, output, layout);
    if (rgbFromJpeg && layout.samplesPerPixel == 3) result.photometric = "RGB";
    return result;
}

EncodedFrame RecompressJpeg(std::span<const uint8_t> jpeg, const FrameLayout& layout) {
    EncodedFrame result;
    const JxlThreadParallelRunnerPtr runner = RunnerFor(layout.Pixels());
    JxlEncoderPtr encoder = NewEncoder(runner);
    JxlEncoderFrameSettings* settings = nullptr;
    const bool ok = encoder && JxlEncoderUseContainer(encoder.get(), JXL_TRUE) == JXL_ENC_SUCCESS &&
                    JxlEncoderStoreJPEGMetadata(encoder.get(), JXL_TRUE) == JXL_ENC_SUCCESS &&
                    (settings = JxlEncoderFrameSettingsCreate(encoder.get(), nullptr)) != nullptr &&
                    JxlEncoderFrameSettingsSetOption(settings, JXL_ENC_FRAME_SETTING_EFFORT,
                                                     RECOMPRESSION_EFFORT) == JXL_ENC_SUCCESS &&
                    JxlEncoderAddJPEGFrame(settings, jpeg.data(), jpeg.size()) == JXL_ENC_SUCCESS &&
                    (JxlEncoderCloseInput(encoder.get()), TakeOutput(encoder.get(), result.bytes));
    if (!ok) {
        result.bytes.clear();
        result.error =
            "JPEG XL: the JPEG stream cannot be recompressed (only baseline and "
            "progressive 8-bit Huffman-coded JPEG can)";
    }
    return result;
}

EncodedFrame ReconstructJpeg(std::span<const uint8_t> stream, const FrameLayout& layout) {
    EncodedFrame result;
    JxlDecoderPtr decoder = JxlDecoderMake(nullptr);
    if (!decoder ||
        JxlDecoderSubscribeEvents(decoder.get(), JXL_DEC_BASIC_INFO | JXL_DEC_JPEG_RECONSTRUCTION |
                                                     JXL_DEC_FULL_IMAGE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(decoder.get(), stream.data(), stream.size()) != JXL_DEC_SUCCESS) {
        result.error = "JPEG XL: the decoder cannot start";
        return result;
    }
    JxlDecoderCloseInput(decoder.get());
    std::vector<uint8_t>& jpeg = result.bytes;
    std::size_t written = 0;  // bytes of jpeg the decoder has filled
    bool reconstructing = false;
    for (;;) {
        const JxlDecoderStatus status = JxlDecoderProcessInput(decoder.get());
        if (status == JXL_DEC_BASIC_INFO) {
            JxlBasicInfo info;
            if (JxlDecoderGetBasicInfo(decoder.get(), &info) != JXL_DEC_SUCCESS ||
                info.xsize != layout.columns || info.ysize != layout.rows) {
                result.error = "the JPEG XL stream does not hold the image its data set describes";
                break;
            }
        } else if (status == JXL_DEC_JPEG_RECONSTRUCTION) {
            reconstructing = true;
            jpeg.resize(std::max<std::size_t>(stream.size() * 2, 4096));
            JxlDecoderSetJPEGBuffer(decoder.get(), jpeg.data(), jpeg.size());
        } else if (status == JXL_DEC_JPEG_NEED_MORE_OUTPUT) {
            written = jpeg.size() - JxlDecoderReleaseJPEGBuffer(decoder.get());
            jpeg.resize(jpeg.size() * 2);
            JxlDecoderSetJPEGBuffer(decoder.get(), jpeg.data() + written, jpeg.size() - written);
        } else if (status == JXL_DEC_FULL_IMAGE && reconstructing) {
            written = jpeg.size() - JxlDecoderReleaseJPEGBuffer(decoder.get());
            jpeg.resize(written);
            return result;
        } else if (status == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
            result.error = "the JPEG XL stream keeps no JPEG stream to give back";
            break;
        } else {
            result.error = "JPEG XL: the JPEG stream could not be rebuilt";
            break;
        }
    }
    jpeg.clear();
    return result;
}

FrameCodecResult JpegXlCodec::Decode(std::span<const uint8_t> stream, const FrameLayout& layout,
                                     std::span<uint8_t> output) const {
    if (kind_ == Kind::JpegRecompression) {
        EncodedFrame jpeg = ReconstructJpeg(stream, layout);
        if (jpeg.error.empty()) {
            // libjpeg gives colour as RGB, pixel by pixel.
            FrameLayout byPixel = layout;
            byPixel.planar = false;
            std::vector<uint8_t> copy(layout.planar ? layout.NativeSize() : 0);
            FrameCodecResult decoded = BASELINE_JPEG_CODEC.Decode(
                jpeg.bytes, byPixel, layout.planar ? std::span<uint8_t>(copy) : output);
            if (decoded.Ok() && layout.planar) ToPlaneOrder(copy, output, layout);
            if (decoded.Ok() && layout.samplesPerPixel == 3) decoded.photometric = "RGB";
            return decoded;
        }
    }
    return ResultOfDecode(layout,
                          DecodeJpegXl(stream, output, layout, kind_ == Kind::JpegRecompression));
}

FrameCodecResult JpegXlCodec::Encode(std::span<const uint8_t> samples, const FrameLayout& layout,
                                     std::vector<uint8_t>& stream) const {
    if (kind_ == Kind::JpegRecompression) {
        return {FrameCodecOutcome::UnsupportedLayout,
                "JPEG XL JPEG recompression is made from JPEG baseline pixel data only",
                {}};
    }
    return ResultOfEncode(EncodeJpegXl(samples, layout, {.lossy = kind_ == Kind::Lossy}), stream);
}

bool JpegXlCodec::Rewrites(const FrameCodec& from, const FrameCodec& to) const {
    if (kind_ != Kind::JpegRecompression) return false;
    return (&from == &BASELINE_JPEG_CODEC && &to == this) ||
           (&from == this && &to == &BASELINE_JPEG_CODEC);
}

FrameCodecResult JpegXlCodec::Rewrite(const FrameCodec& from, const FrameCodec& to,
                                      std::span<const uint8_t> stream, const FrameLayout& layout,
                                      std::vector<uint8_t>& rewritten) const {
    if (!Rewrites(from, to)) return FrameCodec::Rewrite(from, to, stream, layout, rewritten);
    EncodedFrame done =
        &to == this ? RecompressJpeg(stream, layout) : ReconstructJpeg(stream, layout);
    if (!done.error.empty()) {
        return {FrameCodecOutcome::Malformed, std::move(done.error), {}};
    }
    rewritten = std::move(done.bytes);
    return {};
}

}  // namespace dicomlib::imaging
