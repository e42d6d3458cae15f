// Print image preparation speed: a 2048 x 2048 16-bit CT-like Part 10 file (12 bits stored,
// rescaled, no window, so the window spans its values) read and rendered to 8-bit gray, then
// reduced to the gray bytes an image box carries. Throughput is counted in pixel data bytes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <random>
#include <string>

#include <unistd.h>

#include "data/Part10File.h"
#include "data/Tags.h"
#include "services/PrintImage.h"

namespace {

using namespace dicomlib;
namespace fs = std::filesystem;

constexpr uint16_t SIZE = 2048;

fs::path WriteImage() {
    std::mt19937 random(1);
    std::normal_distribution<double> noise(0.0, 12.0);
    std::vector<uint8_t> pixels;
    pixels.reserve(std::size_t{SIZE} * SIZE * 2);
    for (int y = 0; y < SIZE; ++y) {
        for (int x = 0; x < SIZE; ++x) {
            const double dx = (x - 1024.0) / 860.0, dy = (y - 1024.0) / 650.0;
            double value = 24;  // air
            if (dx * dx + dy * dy < 1.0) value = 1064 + 40 * std::sin(x / 17.0);
            const auto sample =
                static_cast<uint16_t>(std::clamp(value + noise(random), 0.0, 4095.0));
            pixels.push_back(static_cast<uint8_t>(sample));
            pixels.push_back(static_cast<uint8_t>(sample >> 8));
        }
    }
    ElementList meta, data;
    data::BuildMetaHeader(meta, "1.2.840.10008.5.1.4.1.1.2", "1.2.3.4", "1.2.840.10008.1.2.1");
    data.Append(data::NewUsElement(tag::SamplesPerPixel, 1));
    data.Append(data::NewTextElement(tag::PhotometricInterpretation, "CS", "MONOCHROME2 "));
    data.Append(data::NewUsElement(tag::Rows, SIZE));
    data.Append(data::NewUsElement(tag::Columns, SIZE));
    data.Append(data::NewUsElement(tag::BitsAllocated, 16));
    data.Append(data::NewUsElement(tag::BitsStored, 12));
    data.Append(data::NewUsElement(tag::HighBit, 11));
    data.Append(data::NewUsElement(tag::PixelRepresentation, 0));
    data.Append(data::NewTextElement(tag::RescaleIntercept, "DS", "-1024 "));
    data.Append(data::NewTextElement(tag::RescaleSlope, "DS", "1 "));
    data.Append(data::NewElement(0x7FE0, 0x0010, static_cast<uint32_t>(pixels.size()),
                                 pixels.data(), "OW"));
    const fs::path path =
        fs::temp_directory_path() / ("print_bench_" + std::to_string(::getpid()) + ".dcm");
    data::WritePart10File(path, &meta, data, true);
    return path;
}

void PrepareForPrint(benchmark::State& state) {
    const fs::path path = WriteImage();
    std::vector<uint8_t> gray(std::size_t{SIZE} * SIZE);
    for (auto _ : state) {
        services::PrintImage image;
        if (!services::LoadPrintImage(path, image).empty()) state.SkipWithError("not loaded");
        services::BitmapToGray8(image, gray);
        benchmark::DoNotOptimize(gray.data());
    }
    state.SetBytesProcessed(state.iterations() * int64_t{SIZE} * SIZE * 2);
    fs::remove(path);
}
BENCHMARK(PrepareForPrint)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
