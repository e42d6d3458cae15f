// Lossless JPEG encoder. It always writes predictor 1 with the fixed table 0 (or, for 16-bit
// images with a difference of 32768, table 0 with two categories trading codes), keeping all
// its state in the call.
#include "imaging/LosslessJpeg.h"

#include <algorithm>
#include <array>
#include <bit>

#include "imaging/LosslessJpegTables.h"

namespace dicomlib::imaging {
namespace {

using namespace lossless;

// Table 0 with categories 15 and 16 trading codes. Streams that hold a difference of 32768
// (a 16-bit image whose first sample is 0, or a step of exactly half the range) use it: their
// category 16 is then written as every decoder reads it, with no extra bits, and the changed
// table tells our own decoder not to expect the 16 extra bits that table 0 streams carry.
constexpr std::array<uint8_t, 17> FULL_STEP_SYMBOLS = {0, 1,  2,  3,  4,  5,  6,  7, 8,
                                                       9, 10, 11, 12, 13, 14, 16, 15};

struct CategoryCode {
    uint32_t code = 0;
    int length = 0;
    int extraBits = 0;
};

// Codes are assigned in order of length, counting up, as every JPEG table is. Category 16 is
// followed by 16 extra bits unless its code fits in 8 bits; with table 0 it never does, and
// streams written that way must keep decoding the same.
constexpr std::array<CategoryCode, 17> BuildCategoryCodes(const std::array<uint8_t, 17>& symbols,
                                                          bool category16ExtraBits) {
    std::array<CategoryCode, 17> codes{};
    uint32_t code = 0;
    std::size_t k = 0;
    for (int length = 1; length <= 16; ++length) {
        for (int i = 0; i < TABLE0_COUNTS[static_cast<std::size_t>(length - 1)]; ++i) {
            const int category = symbols[k++];
            auto& entry = codes[static_cast<std::size_t>(category)];
            entry.code = code++;
            entry.length = length;
            entry.extraBits = category;
            if (category == 16 && (length <= 8 || !category16ExtraBits)) entry.extraBits = 0;
        }
        code <<= 1;
    }
    return codes;
}

constexpr std::array<CategoryCode, 17> CATEGORY_CODES = BuildCategoryCodes(TABLE0_SYMBOLS, true);
constexpr std::array<CategoryCode, 17> FULL_STEP_CODES =
    BuildCategoryCodes(FULL_STEP_SYMBOLS, false);

// Packs codes most significant bit first into 32-bit words; a word without an 0xFF byte is
// stored as it is, any other byte by byte with a 0x00 after each 0xFF.
class EntropyWriter {
  public:
    explicit EntropyWriter(std::vector<uint8_t>& out) : out_(out), pos_(out.size()) {}

    // Makes room for `bytes` more output bytes, so Put needs no checks of its own.
    void Reserve(std::size_t bytes) {
        if (out_.size() - pos_ < bytes) out_.resize(std::max(pos_ + bytes, out_.size() * 2));
    }

    void Put(uint32_t bits, int length) {
        acc_ = (acc_ << length) | bits;
        count_ += length;
        if (count_ >= 32) {
            count_ -= 32;
            PutWord(static_cast<uint32_t>(acc_ >> count_));
        }
    }

    // Fills the last partial byte with 1-bits and writes what is left.
    void Finish() {
        if (count_ % 8 != 0) {
            const int fill = 8 - count_ % 8;
            acc_ = (acc_ << fill) | ((1u << fill) - 1);
            count_ += fill;
        }
        while (count_ > 0) {
            count_ -= 8;
            PutByte(static_cast<uint8_t>(acc_ >> count_));
        }
    }

    std::size_t Position() const { return pos_; }

  private:
    void PutWord(uint32_t word) {
        const uint32_t inverted = ~word;
        const bool hasFF = ((inverted - 0x01010101u) & ~inverted & 0x80808080u) != 0;
        if (!hasFF) {
            uint8_t* p = out_.data() + pos_;
            p[0] = static_cast<uint8_t>(word >> 24);
            p[1] = static_cast<uint8_t>(word >> 16);
            p[2] = static_cast<uint8_t>(word >> 8);
            p[3] = static_cast<uint8_t>(word);
            pos_ += 4;
            return;
        }
        for (int shift = 24; shift >= 0; shift -= 8)
            PutByte(static_cast<uint8_t>(word >> shift));
    }

    void PutByte(uint8_t byte) {
        out_[pos_++] = byte;
        if (byte == 0xFF) out_[pos_++] = 0x00;
    }

    std::vector<uint8_t>& out_;
    std::size_t pos_;
    uint64_t acc_ = 0;
    int count_ = 0;
};

// Differences of 16-bit samples are taken modulo 2^16, from -32768 to 32767, as every decoder
// reconstructs them: a step of more than 32768 between neighbours (the sign change of signed
// data) then costs a category of at most 15, which any decoder reads back, instead of a
// category 16 with extra bits that only decoders of table-0 streams understand.
inline int WrapDifference(int difference) {
    return ((difference + 32768) & 0xFFFF) - 32768;
}

inline void EncodeDifference(EntropyWriter& writer, const std::array<CategoryCode, 17>& codes,
                             int difference) {
    const unsigned magnitude = static_cast<unsigned>(difference < 0 ? -difference : difference);
    const auto category = static_cast<int>(std::bit_width(magnitude));
    const CategoryCode& c = codes[static_cast<std::size_t>(category)];
    // Negative differences send the low bits of difference - 1.
    const unsigned extra = static_cast<unsigned>(difference < 0 ? difference - 1 : difference) &
                           ((1u << c.extraBits) - 1);
    writer.Put((c.code << c.extraBits) | extra, c.length + c.extraBits);
}

void PutU16(std::vector<uint8_t>& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

void PutHeaders(std::vector<uint8_t>& out, uint32_t width, uint32_t height, int precision,
                int components, const std::array<uint8_t, 17>& symbols) {
    const auto n = static_cast<uint32_t>(components);
    out.insert(out.end(), {0xFF, SOI});
    // SOF3: precision, lines, samples per line, the components (ids 0, 1, 2; 1x1; no
    // quantisation).
    out.insert(out.end(), {0xFF, SOF3});
    PutU16(out, 8 + 3 * n);
    out.push_back(static_cast<uint8_t>(precision));
    PutU16(out, height);
    PutU16(out, width);
    out.push_back(static_cast<uint8_t>(n));
    for (uint32_t c = 0; c < n; ++c)
        out.insert(out.end(), {static_cast<uint8_t>(c), 0x11, 0});
    // DHT: table 0 as a DC table.
    out.insert(out.end(), {0xFF, DHT});
    PutU16(out, 19 + static_cast<uint32_t>(symbols.size()));
    out.push_back(0x00);
    out.insert(out.end(), TABLE0_COUNTS.begin(), TABLE0_COUNTS.end());
    out.insert(out.end(), symbols.begin(), symbols.end());
    // SOS: every component, interleaved, with table 0; predictor 1, Se 0, point transform 0.
    out.insert(out.end(), {0xFF, SOS});
    PutU16(out, 6 + 2 * n);
    out.push_back(static_cast<uint8_t>(n));
    for (uint32_t c = 0; c < n; ++c)
        out.insert(out.end(), {static_cast<uint8_t>(c), 0x00});
    out.insert(out.end(), {1, 0, 0x00});
}

// Whether predicting a 16-bit image gives a difference of 32768 somewhere: a first sample 0
// (predicted by 32768), or two neighbours that the prediction pairs half the range apart.
// Samples of n interleaved components are predicted from the same component's neighbours.
bool HasFullStep(const uint8_t* samples, uint32_t width, uint32_t height, std::size_t n) {
    auto sample = [samples](std::size_t i) {
        return static_cast<unsigned>(samples[2 * i] | (samples[2 * i + 1] << 8));
    };
    const std::size_t rowLength = std::size_t{width} * n;
    for (std::size_t c = 0; c < n; ++c) {
        if (sample(c) == 0) return true;
    }
    for (uint32_t y = 0; y < height; ++y) {
        const std::size_t row = y * rowLength;
        for (std::size_t c = 0; c < n && y > 0; ++c) {
            if (((sample(row + c) - sample(row + c - rowLength)) & 0xFFFF) == 0x8000) return true;
        }
        for (std::size_t i = n; i < rowLength; ++i) {
            if (((sample(row + i) - sample(row + i - n)) & 0xFFFF) == 0x8000) return true;
        }
    }
    return false;
}

// N interleaved components share table 0; each sample is predicted from its own component.
template <bool Wide, std::size_t N>
void EncodeSamples(EntropyWriter& writer, const std::array<CategoryCode, 17>& codes,
                   const uint8_t* samples, uint32_t width, uint32_t height) {
    auto sample = [samples](std::size_t i) -> int {
        if constexpr (Wide) return samples[2 * i] | (samples[2 * i + 1] << 8);
        return samples[i];
    };
    auto wrap = [](int difference) {
        if constexpr (Wide) return WrapDifference(difference);
        return difference;
    };
    const std::size_t rowLength = std::size_t{width} * N;
    // Worst case per sample: a 14-bit code and 16 extra bits, every byte of it stuffed.
    const std::size_t rowBound = rowLength * 8 + 16;
    writer.Reserve(rowLength * height + rowBound);
    std::array<int, N> left{};
    for (uint32_t y = 0; y < height; ++y) {
        writer.Reserve(rowBound);
        const std::size_t row = y * rowLength;
        for (std::size_t c = 0; c < N; ++c) {
            const int prediction = y > 0 ? sample(row + c - rowLength) : (Wide ? 32768 : 128);
            left[c] = sample(row + c);
            EncodeDifference(writer, codes, wrap(left[c] - prediction));
        }
        for (std::size_t x = 1; x < width; ++x) {
            for (std::size_t c = 0; c < N; ++c) {
                const int current = sample(row + x * N + c);
                EncodeDifference(writer, codes, wrap(current - left[c]));
                left[c] = current;
            }
        }
    }
    writer.Reserve(16);
    writer.Finish();
}

}  // namespace

std::vector<uint8_t> EncodeLosslessJpeg(std::span<const uint8_t> samples, uint32_t width,
                                        uint32_t height, int bits, int components) {
    const bool wide = bits != 8;
    if (width == 0 || height == 0 || width > 65535 || height > 65535) return {};
    if (components != 1 && components != 3) return {};
    const auto n = static_cast<std::size_t>(components);
    const std::size_t sampleCount = std::size_t{width} * height * n;
    if (samples.size() < sampleCount * (wide ? 2 : 1)) return {};

    std::vector<uint8_t> out;
    const bool fullStep = wide && HasFullStep(samples.data(), width, height, n);
    PutHeaders(out, width, height, wide ? 16 : 8, components,
               fullStep ? FULL_STEP_SYMBOLS : TABLE0_SYMBOLS);
    EntropyWriter writer(out);
    const auto& codes = fullStep ? FULL_STEP_CODES : CATEGORY_CODES;
    using Encode = void (*)(EntropyWriter&, const std::array<CategoryCode, 17>&, const uint8_t*,
                            uint32_t, uint32_t);
    const Encode encode = wide ? (n == 1 ? EncodeSamples<true, 1> : EncodeSamples<true, 3>)
                               : (n == 1 ? EncodeSamples<false, 1> : EncodeSamples<false, 3>);
    encode(writer, codes, samples.data(), width, height);
    out.resize(writer.Position());
    // Room for EOI and the caller's pad byte without another allocation.
    out.reserve(out.size() + 3);
    out.insert(out.end(), {0xFF, EOI});
    return out;
}

}  // namespace dicomlib::imaging
