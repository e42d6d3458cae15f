// Lossless JPEG decoder. It takes predictors 1 to 7, restart intervals, up to four interleaved
// components and any table the stream defines; it keeps all its state in the call and checks
// every read against the input and every write against the caller's buffer.
#include "imaging/LosslessJpeg.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include "imaging/LosslessJpegTables.h"

namespace dicomlib::imaging {
namespace {

using namespace lossless;

constexpr int LOOKAHEAD = 12;
// A look-ahead entry: bits 0-7 the bits it consumes (0: the code is longer than LOOKAHEAD),
// bit 8 set when the entry holds the whole difference (code and extra bits) in bits 16-31,
// modulo 2^16; otherwise bits 16-31 hold the category and bits 0-7 the code length.
constexpr uint32_t COMPLETE = 0x100;

struct HuffmanSpec {
    bool defined = false;
    std::array<uint8_t, 17> counts{};  // by code length, [0] unused
    std::array<uint8_t, 256> symbols{};
};

struct DecodeTable {
    std::array<uint32_t, 1u << LOOKAHEAD> fast{};
    std::array<int32_t, 17> maxCode{};  // by length; -1 when no code has that length
    std::array<int32_t, 17> valueOffset{};
    std::array<uint8_t, 256> symbols{};
    // Whether a category 16 read with a code longer than 8 bits has 16 extra bits (see
    // Category16HasExtraBits); with a shorter code it never has.
    bool longCategory16HasExtraBits = false;
};

// Older encoders of table-0 streams followed category 16 with 16 extra bits when its code is
// longer than 8 bits; every other encoder, ours included, writes no extra bits for category 16
// (the difference is always 32768), and ours then writes a changed table. The table tells the
// two apart: streams with table 0 itself are read the first way, all others the standard way.
bool Category16HasExtraBits(const HuffmanSpec& huffman) {
    return std::equal(TABLE0_COUNTS.begin(), TABLE0_COUNTS.end(), huffman.counts.begin() + 1) &&
           std::equal(TABLE0_SYMBOLS.begin(), TABLE0_SYMBOLS.end(), huffman.symbols.begin());
}

// The difference that `bits` (the s extra bits of category s) stand for, modulo 2^16.
inline uint32_t ExtendDifference(uint32_t bits, int category) {
    if (bits < (1u << (category - 1))) bits -= (1u << category) - 1;
    return bits & 0xFFFF;
}

void BuildDecodeTable(const HuffmanSpec& huffman, DecodeTable& table) {
    table.symbols = huffman.symbols;
    table.longCategory16HasExtraBits = Category16HasExtraBits(huffman);
    int code = 0;
    int k = 0;
    for (int length = 1; length <= 16; ++length) {
        const int count = huffman.counts[static_cast<std::size_t>(length)];
        const auto l = static_cast<std::size_t>(length);
        table.maxCode[l] = count > 0 ? code + count - 1 : -1;
        table.valueOffset[l] = k - code;
        for (int i = 0; i < count; ++i, ++code, ++k) {
            if (length > LOOKAHEAD) continue;
            const int category = huffman.symbols[static_cast<std::size_t>(k)];
            const int spare = LOOKAHEAD - length;
            const uint32_t base = static_cast<uint32_t>(code) << spare;
            for (uint32_t suffix = 0; suffix < (1u << spare); ++suffix) {
                uint32_t entry;
                if (category == 0) {
                    entry = COMPLETE | static_cast<uint32_t>(length);
                } else if (category == 16 && (length <= 8 || !table.longCategory16HasExtraBits)) {
                    entry = COMPLETE | static_cast<uint32_t>(length) | (32768u << 16);
                } else if (category < 16 && length + category <= LOOKAHEAD) {
                    const uint32_t extra = (suffix >> (spare - category)) & ((1u << category) - 1);
                    entry = COMPLETE | static_cast<uint32_t>(length + category) |
                            (ExtendDifference(extra, category) << 16);
                } else {
                    entry = static_cast<uint32_t>(length) | (static_cast<uint32_t>(category) << 16);
                }
                table.fast[base + suffix] = entry;
            }
        }
        code <<= 1;
    }
}

// The bits on hand, most significant first. The decoding loops keep it in a local so that it
// lives in registers; the reader below only refills it.
struct Bits {
    uint64_t buffer = 0;
    int count = 0;

    uint32_t Peek(int n) const { return static_cast<uint32_t>(buffer >> (64 - n)); }
    void Skip(int n) {
        buffer <<= n;
        count -= n;
    }
    uint32_t Take(int n) {
        const uint32_t value = Peek(n);
        Skip(n);
        return value;
    }
};

// Entropy-coded data. Stuffed FF 00 pairs read as FF; at a marker (or the end of the input,
// which reads as FF and then a marker) the reader stops taking bytes and supplies zero bits,
// counting them so that a caller can tell whether the image needed more data than there was.
class BitReader {
  public:
    BitReader(std::span<const uint8_t> data, std::size_t pos)
        : data_(data.data()), size_(data.size()), pos_(pos) {}

    // Guarantees at least 32 bits, enough for any code and its extra bits.
    void Fill(Bits& bits) {
        if (bits.count >= 32) return;
        if (!atMarker_ && pos_ + 8 <= size_) {
            uint64_t next = 0;
            for (int i = 0; i < 8; ++i)
                next = (next << 8) | data_[pos_ + static_cast<std::size_t>(i)];
            const uint64_t inverted = ~next;
            if (((inverted - 0x0101010101010101ull) & ~inverted & 0x8080808080808080ull) == 0) {
                // Bits below the new count are the following bytes, which a later fill
                // writes again in the same place.
                bits.buffer |= next >> bits.count;
                pos_ += static_cast<std::size_t>((63 - bits.count) >> 3);
                bits.count |= 56;
                return;
            }
        }
        bits = FillByBytes(bits);
    }

    // The bits between decoding loops.
    Bits& Saved() { return saved_; }

    // True when more bits were used than the data held.
    bool Overrun() const { return saved_.count < padBits_; }

    // Drops the buffered bits and returns the next marker code from the current position, or
    // -1 when the input ends first.
    int NextMarkerAfterReset() {
        saved_ = Bits{};
        padBits_ = 0;
        atMarker_ = false;
        for (;;) {
            while (pos_ < size_ && data_[pos_] != 0xFF)
                ++pos_;
            while (pos_ < size_ && data_[pos_] == 0xFF)
                ++pos_;
            if (pos_ >= size_) return -1;
            const int code = data_[pos_++];
            if (code != 0) return code;
        }
    }

  private:
    [[gnu::noinline]] Bits FillByBytes(Bits bits) {
        while (bits.count <= 56) {
            uint8_t byte = 0;
            if (atMarker_) {
                padBits_ += 8;
            } else if (pos_ < size_ && data_[pos_] != 0xFF) {
                byte = data_[pos_++];
            } else if (pos_ + 1 < size_ && data_[pos_ + 1] == 0x00) {
                byte = 0xFF;
                pos_ += 2;
            } else {
                atMarker_ = true;
                padBits_ += 8;
            }
            bits.buffer |= static_cast<uint64_t>(byte) << (56 - bits.count);
            bits.count += 8;
        }
        return bits;
    }

    const uint8_t* data_;
    std::size_t size_;
    std::size_t pos_;
    Bits saved_;
    int padBits_ = 0;
    bool atMarker_ = false;
};

struct Difference {
    Bits bits;
    uint32_t value;
};

struct FrameComponent {
    int id = 0;
    int sampling = 0;
};

struct ScanComponent {
    int frameIndex = 0;
    int table = 0;
};

template <int Predictor>
inline int Predict(int ra, int rb, int rc) {
    if constexpr (Predictor == 1) return ra;
    if constexpr (Predictor == 2) return rb;
    if constexpr (Predictor == 3) return rc;
    if constexpr (Predictor == 4) return ra + rb - rc;
    if constexpr (Predictor == 5) return ra + ((rb - rc) >> 1);
    if constexpr (Predictor == 6) return rb + ((ra - rc) >> 1);
    if constexpr (Predictor == 7) return (ra + rb) >> 1;
    return 0;
}

class Decoder {
  public:
    Decoder(std::span<const uint8_t> stream, bool quiet) : data_(stream), quiet_(quiet) {}

    // SOI, then tables up to and including the frame header. False after a fatal error.
    bool ReadFrameHeader();
    // Tables up to and including the scan header. False after a fatal error or at EOI.
    bool ReadScanHeader();
    LosslessJpegDecodeResult DecodeScan(std::span<uint8_t> output, int bits);

    const LosslessJpegFrame& Frame() const { return frame_; }
    // Every diagnostic written so far, each ending in a line feed.
    std::string& Diagnostics() { return diagnostics_; }
    int ScanComponents() const { return scanCount_; }

  private:
    // A diagnostic goes to standard error as it is met and is kept for the result as well.
    [[gnu::format(printf, 2, 3)]] void Message(const char* format, ...) {
        if (quiet_) return;
        char text[256];
        va_list args;
        va_start(args, format);
        const int length = std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
        if (length < 0) return;
        std::fputs(text, stderr);
        diagnostics_ += text;
    }

    int Byte() {
        if (pos_ < data_.size()) return data_[pos_++];
        truncated_ = true;
        return 0;
    }
    int U16() {
        const int high = Byte();
        return (high << 8) | Byte();
    }
    bool Truncated() {
        if (truncated_) Message("Premature end of JPEG data\n");
        return truncated_;
    }

    int NextMarker();
    int ProcessTables();
    bool ReadSof();
    bool ReadSos();
    bool ReadDht();
    bool ReadDri();
    void SkipSegment();

    template <int Predictor, bool Single>
    void DecodeRow(BitReader& reader, uint16_t* current, const uint16_t* previous,
                   const uint16_t* firstPredictions, std::size_t rowLength);
    uint32_t DecodeDifference(BitReader& reader, Bits& bits, const DecodeTable& table);
    [[gnu::noinline]] Difference DecodeDifferenceSlowly(BitReader& reader, Bits bits,
                                                        const DecodeTable& table, uint32_t entry);
    void DecodeRowWithPredictor(int predictor, BitReader& reader, uint16_t* current,
                                const uint16_t* previous, const uint16_t* firstPredictions,
                                std::size_t rowLength);
    void Restart(BitReader& reader);

    std::span<const uint8_t> data_;
    std::size_t pos_ = 0;
    bool truncated_ = false;
    bool quiet_;
    std::string diagnostics_;

    std::array<HuffmanSpec, 4> specs_{};
    uint32_t restartInterval_ = 0;
    LosslessJpegFrame frame_;
    std::vector<FrameComponent> frameComponents_;
    std::array<ScanComponent, 4> scan_{};
    int scanCount_ = 0;
    int predictor_ = 0;
    int pointTransform_ = 0;

    // Per scan.
    std::array<const DecodeTable*, 4> scanTables_{};
    int nextRestart_ = 0;
    bool reportedBadCode_ = false;
    bool reportedRestart_ = false;
    bool dataErrors_ = false;
};

// Skips to an 0xFF, past any further 0xFF fill bytes, and takes the next byte as the marker
// code; a 0x00 there was a stuffed byte and the search goes on. -1 when the input ends first.
int Decoder::NextMarker() {
    for (;;) {
        while (pos_ < data_.size() && data_[pos_] != 0xFF)
            ++pos_;
        while (pos_ < data_.size() && data_[pos_] == 0xFF)
            ++pos_;
        if (pos_ >= data_.size()) return -1;
        const int code = data_[pos_++];
        if (code != 0) return code;
    }
}

void Decoder::SkipSegment() {
    const std::size_t start = pos_;
    const int length = U16();
    pos_ = std::min(data_.size(), start + static_cast<std::size_t>(std::max(length, 2)));
    truncated_ = false;  // a segment cut by the end shows up as the end at the next marker
}

// Handles markers between the start of the stream and the scan header; returns the first frame,
// SOI, EOI or SOS marker, -1 at the end of the input, -2 after a fatal error.
int Decoder::ProcessTables() {
    for (;;) {
        const int marker = NextMarker();
        if (marker < 0) return marker;
        if ((marker >= 0xC0 && marker <= 0xC3) || (marker >= 0xC5 && marker <= 0xCB) ||
            (marker >= 0xCD && marker <= 0xCF) || (marker >= SOI && marker <= SOS)) {
            return marker;
        }
        if (marker == DHT) {
            if (!ReadDht()) return -2;
        } else if (marker == DQT) {
            Message("Not a lossless JPEG file.\n");
            SkipSegment();
        } else if (marker == DRI) {
            if (!ReadDri()) return -2;
        } else if (marker == TEM || (marker >= RST0 && marker <= RST0 + 7)) {
            Message("Warning: unexpected marker 0x%02x\n", marker);
        } else {
            SkipSegment();
        }
    }
}

bool Decoder::ReadFrameHeader() {
    const int first = data_.size() > 0 ? data_[0] : 0xFF;
    const int second = data_.size() > 1 ? data_[1] : 0xFF;
    if (first != 0xFF || second != SOI) {
        Message("Not a JPEG file. Found %02X %02X\n", first, second);
        return false;
    }
    pos_ = 2;
    const int marker = ProcessTables();
    if (marker == -2) return false;
    if (marker == -1) {
        Message("Premature end of JPEG data\n");
        return false;
    }
    if (marker != SOF0 && marker != SOF1 && marker != SOF3) {
        Message("Unsupported SOF marker type 0x%02x\n", marker);
        return false;
    }
    return ReadSof();
}

bool Decoder::ReadSof() {
    const int length = U16();
    const int precision = Byte();
    const int lines = U16();
    const int samplesPerLine = U16();
    const int components = Byte();
    if (Truncated()) return false;
    if (lines <= 0 || samplesPerLine <= 0 || components <= 0) {
        Message("Empty JPEG image (DNL not supported)\n");
        return false;
    }
    if (precision < 2 || precision > 16) {
        Message("Unsupported JPEG data precision\n");
        return false;
    }
    if (length != 3 * components + 8) {
        Message("Bogus SOF length\n");
        return false;
    }
    frameComponents_.resize(static_cast<std::size_t>(components));
    for (auto& component : frameComponents_) {
        component.id = Byte();
        component.sampling = Byte();
        Byte();  // quantisation table: none in lossless coding
    }
    if (Truncated()) return false;
    frame_.width = static_cast<uint32_t>(samplesPerLine);
    frame_.height = static_cast<uint32_t>(lines);
    frame_.precision = precision;
    frame_.components = components;
    return true;
}

bool Decoder::ReadDht() {
    const std::size_t start = pos_;
    const int length = U16();
    const std::size_t end = start + static_cast<std::size_t>(std::max(length, 2));
    int remaining = length - 2;
    while (remaining > 0) {
        const int index = Byte();
        HuffmanSpec huffman;
        int total = 0;
        for (std::size_t l = 1; l <= 16; ++l) {
            huffman.counts[l] = static_cast<uint8_t>(Byte());
            total += huffman.counts[l];
        }
        if (Truncated()) return false;
        // Too many codes for their lengths is as bogus as too many in all.
        bool oversubscribed = false;
        for (int l = 1, code = 0; l <= 16; ++l) {
            code += huffman.counts[static_cast<std::size_t>(l)];
            if (code > (1 << l)) oversubscribed = true;
            code <<= 1;
        }
        if (total > 256 || 17 + total > remaining || oversubscribed) {
            Message("Bogus DHT counts\n");
            break;
        }
        for (int i = 0; i < total; ++i)
            huffman.symbols[static_cast<std::size_t>(i)] = static_cast<uint8_t>(Byte());
        if (Truncated()) return false;
        remaining -= 17 + total;
        if ((index >> 4) == 1) {
            Message("Huffman table for lossless JPEG is not defined.\n");
            continue;
        }
        if (index > 3) {
            Message("Bogus DHT index %d\n", index);
            break;
        }
        huffman.defined = true;
        specs_[static_cast<std::size_t>(index)] = huffman;
    }
    pos_ = std::min(end, data_.size());
    return true;
}

bool Decoder::ReadDri() {
    const int length = U16();
    const int interval = U16();
    if (Truncated()) return false;
    if (length != 4) {
        Message("Bogus length in DRI\n");
        return false;
    }
    restartInterval_ = static_cast<uint32_t>(interval);
    return true;
}

bool Decoder::ReadScanHeader() {
    const int marker = ProcessTables();
    if (marker == -2 || marker == EOI) return false;
    if (marker == -1) {
        Message("Premature end of JPEG data\n");
        return false;
    }
    if (marker != SOS) {
        Message("Unexpected marker 0x%02x\n", marker);
        return false;
    }
    return ReadSos();
}

bool Decoder::ReadSos() {
    const int length = U16();
    const int count = Byte();
    if (Truncated()) return false;
    if (length != 2 * count + 6 || count < 1 || count > 4) {
        Message("Bogus SOS length\n");
        return false;
    }
    for (int i = 0; i < count; ++i) {
        const int selector = Byte();
        const int tables = Byte();
        if (Truncated()) return false;
        const auto found = std::find_if(frameComponents_.begin(), frameComponents_.end(),
                                        [selector](const auto& c) { return c.id == selector; });
        if (found == frameComponents_.end()) {
            Message("Invalid component number in SOS\n");
            return false;
        }
        auto& component = scan_[static_cast<std::size_t>(i)];
        component.frameIndex = static_cast<int>(found - frameComponents_.begin());
        component.table = tables >> 4;
    }
    predictor_ = Byte();
    Byte();  // Se: unused in lossless coding
    pointTransform_ = Byte() & 0x0F;
    if (Truncated()) return false;
    scanCount_ = count;
    return true;
}

inline uint32_t Decoder::DecodeDifference(BitReader& reader, Bits& bits, const DecodeTable& table) {
    reader.Fill(bits);
    const uint32_t entry = table.fast[bits.Peek(LOOKAHEAD)];
    if (entry & COMPLETE) [[likely]] {
        bits.Skip(static_cast<int>(entry & 0xFF));
        return entry >> 16;
    }
    const Difference slow = DecodeDifferenceSlowly(reader, bits, table, entry);
    bits = slow.bits;
    return slow.value;
}

// Codes longer than the look-ahead, and differences whose extra bits reach beyond it.
Difference Decoder::DecodeDifferenceSlowly(BitReader&, Bits bits, const DecodeTable& table,
                                           uint32_t entry) {
    int length = static_cast<int>(entry & 0xFF);
    int category;
    if (length != 0) {
        category = static_cast<int>(entry >> 16);
    } else {
        length = LOOKAHEAD + 1;
        while (length <= 16 && static_cast<int32_t>(bits.Peek(length)) >
                                   table.maxCode[static_cast<std::size_t>(length)]) {
            ++length;
        }
        if (length > 16) {
            if (!reportedBadCode_) Message("Corrupt JPEG data: bad Huffman code\n");
            reportedBadCode_ = true;
            dataErrors_ = true;
            bits.Skip(17);
            return {bits, 0};
        }
        const int code = static_cast<int>(bits.Peek(length));
        category = table.symbols[static_cast<std::size_t>(
            table.valueOffset[static_cast<std::size_t>(length)] + code)];
    }
    bits.Skip(length);
    if (category > 16) {
        // Not a difference category at all: as damaged as an unknown code.
        if (!reportedBadCode_) Message("Corrupt JPEG data: bad Huffman code\n");
        reportedBadCode_ = true;
        dataErrors_ = true;
        return {bits, 0};
    }
    if (category == 0) return {bits, 0};
    if (category == 16 && (length <= 8 || !table.longCategory16HasExtraBits)) {
        return {bits, 32768};
    }
    const uint32_t extra = bits.Take(category);
    return {bits, ExtendDifference(extra, category)};
}

// One row of samples (interleaved when the scan has several components). The first sample of
// each component is predicted by firstPredictions, the others by the predictor.
template <int Predictor, bool Single>
void Decoder::DecodeRow(BitReader& reader, uint16_t* current, const uint16_t* previous,
                        const uint16_t* firstPredictions, std::size_t rowLength) {
    Bits bits = reader.Saved();
    if constexpr (Single) {
        const DecodeTable& table = *scanTables_[0];
        current[0] =
            static_cast<uint16_t>(firstPredictions[0] + DecodeDifference(reader, bits, table));
        int left = current[0];
        for (std::size_t i = 1; i < rowLength; ++i) {
            const int prediction = Predict<Predictor>(left, previous[i], previous[i - 1]);
            left = static_cast<uint16_t>(prediction +
                                         static_cast<int>(DecodeDifference(reader, bits, table)));
            current[i] = static_cast<uint16_t>(left);
        }
    } else {
        const auto n = static_cast<std::size_t>(scanCount_);
        for (std::size_t c = 0; c < n; ++c) {
            current[c] = static_cast<uint16_t>(firstPredictions[c] +
                                               DecodeDifference(reader, bits, *scanTables_[c]));
        }
        std::size_t c = 0;
        for (std::size_t i = n; i < rowLength; ++i) {
            const int prediction = Predict<Predictor>(current[i - n], previous[i], previous[i - n]);
            current[i] = static_cast<uint16_t>(
                prediction + static_cast<int>(DecodeDifference(reader, bits, *scanTables_[c])));
            if (++c == n) c = 0;
        }
    }
    reader.Saved() = bits;
}

void Decoder::DecodeRowWithPredictor(int predictor, BitReader& reader, uint16_t* current,
                                     const uint16_t* previous, const uint16_t* firstPredictions,
                                     std::size_t rowLength) {
    using Row =
        void (Decoder::*)(BitReader&, uint16_t*, const uint16_t*, const uint16_t*, std::size_t);
    static constexpr std::array<Row, 7> single = {
        &Decoder::DecodeRow<1, true>, &Decoder::DecodeRow<2, true>, &Decoder::DecodeRow<3, true>,
        &Decoder::DecodeRow<4, true>, &Decoder::DecodeRow<5, true>, &Decoder::DecodeRow<6, true>,
        &Decoder::DecodeRow<7, true>};
    static constexpr std::array<Row, 7> interleaved = {
        &Decoder::DecodeRow<1, false>, &Decoder::DecodeRow<2, false>, &Decoder::DecodeRow<3, false>,
        &Decoder::DecodeRow<4, false>, &Decoder::DecodeRow<5, false>, &Decoder::DecodeRow<6, false>,
        &Decoder::DecodeRow<7, false>};
    const auto& rows = scanCount_ == 1 ? single : interleaved;
    (this->*rows[static_cast<std::size_t>(predictor - 1)])(reader, current, previous,
                                                           firstPredictions, rowLength);
}

void Decoder::Restart(BitReader& reader) {
    if (reader.Overrun()) dataErrors_ = true;
    const int marker = reader.NextMarkerAfterReset();
    if (marker != RST0 + nextRestart_) {
        if (!reportedRestart_) Message("Error: Corrupt JPEG data.  Exiting...\n");
        reportedRestart_ = true;
        dataErrors_ = true;
    }
    nextRestart_ = (nextRestart_ + 1) & 7;
}

LosslessJpegDecodeResult Decoder::DecodeScan(std::span<uint8_t> output, int bits) {
    LosslessJpegDecodeResult result;
    result.frame = frame_;
    result.scanComponents = scanCount_;
    const auto scan = std::span(scan_).first(static_cast<std::size_t>(scanCount_));
    for (const ScanComponent& component : scan) {
        if (frameComponents_[static_cast<std::size_t>(component.frameIndex)].sampling != 0x11) {
            Message("Error: Downsampling is not supported.\n");
            return result;
        }
    }
    for (const ScanComponent& component : scan) {
        if (component.table > 3 || !specs_[static_cast<std::size_t>(component.table)].defined) {
            Message("Error: Use of undefined Huffman table\n");
            return result;
        }
    }
    if (predictor_ < 1 || predictor_ > 7) {
        Message("Unsupported predictor selection value %d\n", predictor_);
        return result;
    }
    if (pointTransform_ >= frame_.precision) {
        Message("Unsupported point transform %d\n", pointTransform_);
        return result;
    }
    const std::size_t width = frame_.width;
    if (restartInterval_ % width != 0) {
        Message("Unsupported restart interval %u: not a whole number of lines\n", restartInterval_);
        return result;
    }
    const std::size_t rowLength = width * static_cast<std::size_t>(scanCount_);
    const std::size_t sampleBytes = bits == 8 ? 1 : 2;
    const std::size_t needed = rowLength * frame_.height * sampleBytes;
    if (needed > output.size()) {
        Message("JPEG image of %u x %u x %d samples does not fit the output buffer of %zu bytes\n",
                frame_.width, frame_.height, scanCount_, output.size());
        return result;
    }

    // Only the tables the scan uses, each once; on the heap, as they are large.
    std::array<std::unique_ptr<DecodeTable>, 4> built;
    for (std::size_t i = 0; i < scan.size(); ++i) {
        const auto table = static_cast<std::size_t>(scan[i].table);
        if (!built[table]) {
            built[table] = std::make_unique<DecodeTable>();
            BuildDecodeTable(specs_[table], *built[table]);
        }
        scanTables_[i] = built[table].get();
    }

    std::array<uint16_t, 4> initial{};
    initial.fill(static_cast<uint16_t>(1u << (frame_.precision - pointTransform_ - 1)));
    std::vector<uint16_t> rowA(rowLength), rowB(rowLength);
    uint16_t* current = rowA.data();
    uint16_t* previous = rowB.data();
    const uint32_t rowsPerInterval = restartInterval_ == 0 ? 0 : restartInterval_ / frame_.width;
    uint32_t rowsToGo = rowsPerInterval;
    BitReader reader(data_, pos_);
    uint8_t* out = output.data();
    const int shift = pointTransform_;

    for (uint32_t y = 0; y < frame_.height; ++y) {
        // The first line of the scan and of every restart interval is predicted from the left
        // only, starting from the middle of the sample range.
        bool firstLine = y == 0;
        if (rowsPerInterval != 0) {
            if (rowsToGo == 0) {
                Restart(reader);
                rowsToGo = rowsPerInterval;
                firstLine = true;
            }
            --rowsToGo;
        }
        if (firstLine) {
            DecodeRowWithPredictor(1, reader, current, previous, initial.data(), rowLength);
        } else {
            DecodeRowWithPredictor(predictor_, reader, current, previous, previous, rowLength);
        }
        if (sampleBytes == 1) {
            for (std::size_t i = 0; i < rowLength; ++i)
                out[i] = static_cast<uint8_t>(current[i] << shift);
        } else {
            for (std::size_t i = 0; i < rowLength; ++i) {
                const auto value = static_cast<uint16_t>(current[i] << shift);
                out[2 * i] = static_cast<uint8_t>(value);
                out[2 * i + 1] = static_cast<uint8_t>(value >> 8);
            }
        }
        out += rowLength * sampleBytes;
        std::swap(current, previous);
    }
    if (reader.Overrun()) {
        Message("Warning: JPEG data ends before the image is complete\n");
        dataErrors_ = true;
    }
    result.decoded = dataErrors_ ? LosslessJpegDecoded::DataErrors : LosslessJpegDecoded::Image;
    return result;
}

}  // namespace

std::optional<LosslessJpegFrame> ReadLosslessJpegFrame(std::span<const uint8_t> stream) {
    Decoder decoder(stream, true);
    if (!decoder.ReadFrameHeader()) return std::nullopt;
    return decoder.Frame();
}

LosslessJpegDecodeResult DecodeLosslessJpeg(std::span<const uint8_t> stream,
                                            std::span<uint8_t> output, int bits) {
    Decoder decoder(stream, false);
    LosslessJpegDecodeResult result;
    if (decoder.ReadFrameHeader()) {
        result.frame = decoder.Frame();
        if (decoder.ReadScanHeader()) result = decoder.DecodeScan(output, bits);
    }
    result.diagnostics = std::move(decoder.Diagnostics());
    return result;
}

}  // namespace dicomlib::imaging
