// Codec speed on a 512 x 512 16-bit CT-like slice (a noisy body on a zero background) and an
// 8-bit image of the same shape: lossless JPEG, RLE, JPEG-LS, JPEG 2000, High-Throughput JPEG
// 2000 and JPEG XL, without file or data set work. Throughput is counted in raw sample bytes.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "imaging/HtJ2kCodec.h"
#include "imaging/Jpeg2000Codec.h"
#include "imaging/JpegLsCodec.h"
#include "imaging/JpegXlCodec.h"
#include "imaging/LosslessJpeg.h"
#include "imaging/RleCodec.h"

namespace {

using dicomlib::imaging::DecodeLosslessJpeg;
using dicomlib::imaging::EncodeLosslessJpeg;

constexpr uint32_t SIZE = 512;

std::vector<uint8_t> CtSlice(int bits) {
    std::mt19937 random(1);
    std::normal_distribution<double> noise(0.0, bits == 8 ? 3.0 : 20.0);
    std::vector<uint8_t> raw;
    for (uint32_t y = 0; y < SIZE; ++y) {
        for (uint32_t x = 0; x < SIZE; ++x) {
            const double dx = (x - 256.0) / 230.0, dy = (y - 270.0) / 190.0;
            double value = 0;
            if (dx * dx + dy * dy < 1.0) {
                value = 1040 + 60 * std::sin(x / 17.0) * std::cos(y / 23.0) + noise(random);
                if ((x / 40 + y / 40) % 7 == 0) value += 700;  // bone-like patches
            }
            if (bits == 8) value /= 8;
            const auto sample = static_cast<uint16_t>(std::max(0.0, value));
            raw.push_back(static_cast<uint8_t>(sample));
            if (bits != 8) raw.push_back(static_cast<uint8_t>(sample >> 8));
        }
    }
    return raw;
}

void Encode(benchmark::State& state) {
    const int bits = static_cast<int>(state.range(0));
    const std::vector<uint8_t> raw = CtSlice(bits);
    size_t compressed = 0;
    for (auto _ : state) {
        auto stream = EncodeLosslessJpeg(raw, SIZE, SIZE, bits);
        compressed = stream.size();
        benchmark::DoNotOptimize(stream.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * raw.size()));
    state.counters["ratio"] = static_cast<double>(raw.size()) / static_cast<double>(compressed);
}

void Decode(benchmark::State& state) {
    const int bits = static_cast<int>(state.range(0));
    const std::vector<uint8_t> raw = CtSlice(bits);
    const std::vector<uint8_t> stream = EncodeLosslessJpeg(raw, SIZE, SIZE, bits);
    std::vector<uint8_t> out(raw.size());
    for (auto _ : state) {
        DecodeLosslessJpeg(stream, out, bits);
        benchmark::DoNotOptimize(out.data());
    }
    if (out != raw) state.SkipWithError("decoded image differs");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * raw.size()));
}

BENCHMARK(Encode)->Arg(16)->Arg(8)->Unit(benchmark::kMicrosecond);
BENCHMARK(Decode)->Arg(16)->Arg(8)->Unit(benchmark::kMicrosecond);

using namespace dicomlib::imaging;

FrameLayout SliceLayout(int bits) {
    const auto b = static_cast<uint16_t>(bits);
    return {.rows = SIZE, .columns = SIZE, .bitsAllocated = b, .bitsStored = b};
}

// One frame codec: encoder and decoder under the same names.
template <class EncodeFrame, class DecodeFrame>
void RegisterFrameCodec(const char* name, EncodeFrame encode, DecodeFrame decode) {
    benchmark::RegisterBenchmark(
        (std::string(name) + "Encode").c_str(),
        [encode](benchmark::State& state) {
            const int bits = static_cast<int>(state.range(0));
            const auto raw = CtSlice(bits);
            std::size_t compressed = 0;
            for (auto _ : state) {
                auto e = encode(raw, SliceLayout(bits));
                compressed = e.bytes.size();
                benchmark::DoNotOptimize(e.bytes.data());
            }
            state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * raw.size()));
            state.counters["ratio"] =
                static_cast<double>(raw.size()) / static_cast<double>(compressed);
        })
        ->Arg(16)
        ->Arg(8)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(
        (std::string(name) + "Decode").c_str(),
        [encode, decode](benchmark::State& state) {
            const int bits = static_cast<int>(state.range(0));
            const auto raw = CtSlice(bits);
            const auto stream = encode(raw, SliceLayout(bits)).bytes;
            std::vector<uint8_t> out(raw.size());
            for (auto _ : state) {
                decode(stream, out, SliceLayout(bits));
                benchmark::DoNotOptimize(out.data());
            }
            if (out != raw) state.SkipWithError("decoded image differs");
            state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * raw.size()));
        })
        ->Arg(16)
        ->Arg(8)
        ->Unit(benchmark::kMicrosecond);
}

const bool REGISTERED = [] {
    RegisterFrameCodec("Rle", EncodeRle, DecodeRle);
    RegisterFrameCodec(
        "JpegLs", [](auto frame, const FrameLayout& l) { return EncodeJpegLs(frame, l, 0); },
        DecodeJpegLs);
    RegisterFrameCodec(
        "Jpeg2000", [](auto frame, const FrameLayout& l) { return EncodeJpeg2000(frame, l, {}); },
        DecodeJpeg2000);
    RegisterFrameCodec(
        "HtJ2k", [](auto frame, const FrameLayout& l) { return EncodeHtJ2k(frame, l, {}); },
        DecodeHtJ2k);
    RegisterFrameCodec(
        "JpegXl", [](auto frame, const FrameLayout& l) { return EncodeJpegXl(frame, l, {}); },
        [](auto stream, auto out, const FrameLayout& l) { return DecodeJpegXl(stream, out, l); });
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
