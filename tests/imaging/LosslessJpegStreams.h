// A deliberately plain lossless JPEG writer for the decoder tests: any predictor, point
// transform, restart interval and up to four interleaved components, each with table 0 or the
// long table (codes up to 16 bits). The library's encoder writes only predictor 1 with table 0.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <vector>

namespace testjpeg {

struct StreamOptions {
    int precision = 16;
    uint32_t width = 0;
    uint32_t height = 0;
    int components = 1;
    int predictor = 1;
    int pointTransform = 0;
    uint32_t restartInterval = 0;     // in pixels; a multiple of the width
    bool longTableForOthers = false;  // components after the first use table 1
};

struct Table {
    std::vector<uint8_t> counts;  // 16 entries
    std::vector<uint8_t> symbols;
};

inline Table Table0() {
    return {{0, 1, 5, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0},
            {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}};
}

inline Table LongTable() {
    return {{0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
            {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}};
}

// Packs bits most significant first, stuffing a 0x00 after every 0xFF; Flush fills with 1-bits.
class BitWriter {
  public:
    explicit BitWriter(std::vector<uint8_t>& out) : out_(out) {}
    void Put(uint32_t bits, int length) {
        for (int i = length - 1; i >= 0; --i) {
            byte_ = (byte_ << 1) | ((bits >> i) & 1);
            if (++count_ < 8) continue;
            out_.push_back(static_cast<uint8_t>(byte_));
            if (byte_ == 0xFF) out_.push_back(0x00);
            byte_ = 0;
            count_ = 0;
        }
    }
    void Flush() {
        while (count_ != 0)
            Put(1, 1);
    }

  private:
    std::vector<uint8_t>& out_;
    uint32_t byte_ = 0;
    int count_ = 0;
};

struct Code {
    uint32_t code = 0;
    int length = 0;
};

inline std::vector<Code> CodesOf(const Table& table) {
    std::vector<Code> codes(17);
    uint32_t code = 0;
    size_t k = 0;
    for (int length = 1; length <= 16; ++length) {
        for (int i = 0; i < table.counts[static_cast<size_t>(length - 1)]; ++i)
            codes[table.symbols[k++]] = {code++, length};
        code <<= 1;
    }
    return codes;
}

inline void PutDifference(BitWriter& w, const std::vector<Code>& codes, int d) {
    if (d < -32767 || d > 32767) throw std::runtime_error("test image has too large a step");
    int magnitude = d < 0 ? -d : d;
    int category = 0;
    while (magnitude >> category)
        ++category;
    w.Put(codes[static_cast<size_t>(category)].code, codes[static_cast<size_t>(category)].length);
    if (category > 0) {
        const int extra = d < 0 ? d - 1 : d;
        w.Put(static_cast<uint32_t>(extra) & ((1u << category) - 1), category);
    }
}

// The predictors 1 to 7 from the left (ra), upper (rb) and upper-left (rc) neighbours.
inline int Predict(int predictor, int ra, int rb, int rc) {
    const int all[] = {
        0, ra, rb, rc, ra + rb - rc, ra + ((rb - rc) >> 1), rb + ((ra - rc) >> 1), (ra + rb) >> 1};
    return all[predictor];
}

inline void PutU16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

inline void PutTable(std::vector<uint8_t>& out, int index, const Table& table) {
    out.insert(out.end(), {0xFF, 0xC4});
    PutU16(out, static_cast<uint32_t>(19 + table.symbols.size()));
    out.push_back(static_cast<uint8_t>(index));
    out.insert(out.end(), table.counts.begin(), table.counts.end());
    out.insert(out.end(), table.symbols.begin(), table.symbols.end());
}

// samples: interleaved, already reduced by the point transform (below 2^(precision - Pt)).
inline std::vector<uint8_t> Encode(const StreamOptions& o, const std::vector<int>& samples) {
    std::vector<uint8_t> out = {0xFF, 0xD8, 0xFF, 0xC3};
    PutU16(out, static_cast<uint32_t>(8 + 3 * o.components));
    out.push_back(static_cast<uint8_t>(o.precision));
    PutU16(out, o.height);
    PutU16(out, o.width);
    out.push_back(static_cast<uint8_t>(o.components));
    for (int c = 0; c < o.components; ++c)
        out.insert(out.end(), {static_cast<uint8_t>(c + 1), 0x11, 0});
    PutTable(out, 0, Table0());
    if (o.longTableForOthers) PutTable(out, 1, LongTable());
    if (o.restartInterval != 0) {
        out.insert(out.end(), {0xFF, 0xDD, 0, 4});
        PutU16(out, o.restartInterval);
    }
    out.insert(out.end(), {0xFF, 0xDA});
    PutU16(out, static_cast<uint32_t>(6 + 2 * o.components));
    out.push_back(static_cast<uint8_t>(o.components));
    for (int c = 0; c < o.components; ++c) {
        out.push_back(static_cast<uint8_t>(c + 1));
        out.push_back(c > 0 && o.longTableForOthers ? 0x10 : 0x00);
    }
    out.insert(out.end(),
               {static_cast<uint8_t>(o.predictor), 0, static_cast<uint8_t>(o.pointTransform)});

    const std::vector<Code> codes0 = CodesOf(Table0());
    const std::vector<Code> codes1 = CodesOf(LongTable());
    BitWriter w(out);
    const size_t n = static_cast<size_t>(o.components);
    const size_t rowLength = o.width * n;
    const uint32_t rowsPerInterval = o.restartInterval / o.width;
    int nextRestart = 0;
    for (uint32_t y = 0; y < o.height; ++y) {
        bool first = y == 0;
        if (rowsPerInterval != 0 && y != 0 && y % rowsPerInterval == 0) {
            w.Flush();
            out.insert(out.end(), {0xFF, static_cast<uint8_t>(0xD0 + nextRestart)});
            nextRestart = (nextRestart + 1) & 7;
            first = true;
        }
        const int* row = samples.data() + y * rowLength;
        const int* above = row - rowLength;
        for (size_t i = 0; i < rowLength; ++i) {
            const size_t c = i % n;
            int prediction;
            if (i < n) {
                prediction = first ? 1 << (o.precision - o.pointTransform - 1) : above[i];
            } else if (first) {
                prediction = row[i - n];
            } else {
                prediction = Predict(o.predictor, row[i - n], above[i], above[i - n]);
            }
            PutDifference(w, c > 0 && o.longTableForOthers ? codes1 : codes0, row[i] - prediction);
        }
    }
    w.Flush();
    out.insert(out.end(), {0xFF, 0xD9});
    return out;
}

}  // namespace testjpeg
