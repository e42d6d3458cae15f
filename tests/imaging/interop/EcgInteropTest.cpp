// The ECG drawing of pydicom's sample waveform (two multiplex groups, every sequence of undefined
// length) and of variants pydicom writes from it, judged against pydicom's own reading of each
// file (ecg_reference.py); and tessaly-cli ecg as an operator meets it.
#include <cairo.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "data/Datadec.h"
#include "imaging/Canvas.h"
#include "imaging/EcgDrawing.h"
#include "support/TestSupport.h"

using namespace dicomlib;
using imaging::Bitmap;
using imaging::Rgb;
using testsupport::fs::path;

namespace {

constexpr int WIDTH = 1050;
constexpr int HEIGHT = 720;
const Rgb BLACK{};

struct Channel {
    std::string label;
    bool none = false;
    std::vector<int> xy;  // the vertices, or the first one alone when there is no trace
};

path Sample() {
    return testsupport::PydicomTestFiles() / "waveform_ecg.dcm";
}

Bitmap Drawn(const path& file) {
    data::DecoderState state;
    ElementList meta, list;
    EXPECT_TRUE(data::ReadPart10File(state, file, meta, list)) << file;
    Bitmap bitmap;
    bitmap.Reset(WIDTH, HEIGHT, imaging::PixelFormat::Bgr24);
    EXPECT_EQ(imaging::DrawEcg(bitmap, list), imaging::EcgOutcome::Drawn) << file;
    return bitmap;
}

Rgb At(const Bitmap& b, int x, int y) {
    return b.PixelColor(static_cast<uint32_t>(x), static_cast<uint32_t>(y));
}

// The rows of the channels' labels, whose white boxes cover what was drawn before them.
bool InLabelRow(int y) {
    return y >= 120 && (y - 120) % 90 < 20;
}

// Text drawn with its top-left corner at (x, y): each pixel of its box is as on a lone drawing of
// the text, or black where a trace crossed it afterwards.
void ExpectText(const Bitmap& drawn, int x, int y, bool bold, const std::string& text) {
    Bitmap alone;
    alone.Reset(400, 30, imaging::PixelFormat::Bgr24);
    auto canvas = imaging::Canvas::On(alone);
    canvas->SetFont("Tahoma", 10, bold);
    canvas->TextOut(0, 0, text);
    canvas->Flush();
    int wrong = 0;
    for (int dy = 0; dy < canvas->TextHeight(text); ++dy) {
        for (int dx = 0; dx < canvas->TextWidth(text); ++dx) {
            const Rgb d = At(drawn, x + dx, y + dy);
            wrong += d != At(alone, dx, dy) && d != BLACK;
        }
    }
    EXPECT_EQ(wrong, 0) << text;
}

// Each trace through the reference's vertices (those inside the bitmap and outside the label
// rows); a channel without one leaves its baseline free of black after the pulse.
void ExpectTraces(const Bitmap& b, const std::vector<Channel>& channels) {
    ASSERT_FALSE(channels.empty());
    for (const Channel& c : channels) {
        SCOPED_TRACE(c.label);
        ExpectText(b, c.xy[0] - 25, c.xy[1] - 70, false, c.label);
        int missed = 0;
        for (std::size_t i = 0; !c.none && i + 1 < c.xy.size(); i += 2) {
            const int x = c.xy[i], y = c.xy[i + 1];
            if (x < WIDTH && y >= 0 && y < HEIGHT && !InLabelRow(y)) missed += At(b, x, y) != BLACK;
        }
        EXPECT_EQ(missed, 0);
        for (int x = c.xy[0] + 2; c.none && x < c.xy[0] + WIDTH / 2 - 40; ++x) {
            for (int y = c.xy[1] - 3; y <= c.xy[1] + 3; ++y)
                ASSERT_NE(At(b, x, y), BLACK) << x << "," << y;
        }
    }
}

// The sample first, then each variant: its file and its channels.
std::vector<std::pair<std::string, std::vector<Channel>>> References(const path& folder) {
    const auto run = testsupport::RunCommand(
        {"/usr/bin/python3",
         (testsupport::SourceDir() / "tests/imaging/interop/ecg_reference.py").string(),
         Sample().string(), folder.string(), std::to_string(WIDTH)});
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    std::vector<std::pair<std::string, std::vector<Channel>>> references;
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("file ", 0) == 0) {
            references.push_back({line.substr(5), {}});
            continue;
        }
        Channel c{line.substr(0, line.find('\t')), false, {}};
        std::istringstream numbers(line.substr(line.find('\t') + 1));
        c.none = numbers.peek() == 'n';
        if (c.none) numbers.ignore(5);
        for (int v; numbers >> v;)
            c.xy.push_back(v);
        references.back().second.push_back(c);
    }
    return references;
}

}  // namespace

TEST(EcgDrawing, SampleAndVariantsLieWherePydicomPutsEachTraceWithTheHeaderText) {
    if (testsupport::PydicomTestFiles().empty()) GTEST_SKIP() << "no pydicom test files";
    testsupport::TempDir dir;
    const auto references = References(dir.Path());
    ASSERT_EQ(references.size(), 9u);
    const Bitmap sample = Drawn(Sample());
    for (const auto& [file, channels] : references) {
        SCOPED_TRACE(file);
        const Bitmap b = Drawn(file);
        // The sample's first group only: its second group's channels join nothing.
        ExpectTraces(b, channels);
        // Defined lengths, implicit VR and a channel without Channel Baseline change nothing.
        if (file.find("defined-lengths") != file.npos || file.find("implicit") != file.npos) {
            EXPECT_TRUE(std::ranges::equal(b.Pixels(), sample.Pixels()));
        }
        if (file.find("pressure") != file.npos) ExpectText(b, 10, 10, true, "01/2013 10:59");
    }
    const std::pair<int, const char*> header[] = {
        {10, "25/01/2013 10:59:19"}, {30, "Name: Anonymous"}, {50, "ID: 642341"},
        {70, "DOB: 19710123"},       {90, "Sex: F"},
    };
    for (const auto& [y, text] : header)
        ExpectText(sample, y == 10 ? 10 : 30, y, true, text);
    ExpectText(sample, 150, 80, true, "200 mS/div");
    // Lines are not smoothed: below the header, outside the labels, only the paper's and the
    // pen's colours occur.
    const Rgb colours[] = {imaging::RgbOf(0xFFFFFF), imaging::RgbOf(0xC0C0C0),
                           imaging::RgbOf(0x808080), BLACK};
    int other = 0;
    for (int y = 110; y < HEIGHT; ++y) {
        for (int x = 0; x < WIDTH && !InLabelRow(y); ++x)
            other += std::count(std::begin(colours), std::end(colours), At(sample, x, y)) == 0;
    }
    EXPECT_EQ(other, 0);
}

TEST(CliEcg, WritesThePngOrSaysWhyNotAndLeavesNoFile) {
    if (testsupport::PydicomTestFiles().empty()) GTEST_SKIP() << "no pydicom test files";
    testsupport::TempDir dir;
    const auto cli = [](std::vector<std::string> args) {
        args.insert(args.begin(), testsupport::CliPath());
        return testsupport::RunCommand(args);
    };
    const path png = dir / "ecg.png", big = dir / "big.dcm";
    auto r = cli({"ecg", Sample().string(), png.string()});
    ASSERT_EQ(r.exitCode, 0) << r.errors;
    EXPECT_EQ(r.output, "ECG written: " + png.string() + " (1050 x 720)\n");
    // A big endian file is drawn the same; the size is the caller's.
    ASSERT_EQ(cli({"convert", Sample().string(), big.string(), "--ts", "big"}).exitCode, 0);
    ASSERT_EQ(cli({"ecg", big.string(), (dir / "big.png").string()}).exitCode, 0);
    EXPECT_EQ(testsupport::ReadFileBytes(dir / "big.png"), testsupport::ReadFileBytes(png));
    ASSERT_EQ(
        cli({"ecg", big.string(), png.string(), "--height", "400", "--width", "600"}).exitCode, 0);
    cairo_surface_t* read = cairo_image_surface_create_from_png(png.c_str());
    EXPECT_EQ(cairo_image_surface_get_width(read), 600);
    EXPECT_EQ(cairo_image_surface_get_height(read), 400);
    cairo_surface_destroy(read);

    const std::pair<path, std::string> refusals[] = {
        {testsupport::PydicomTestFiles() / "MR_small.dcm", "not a waveform object"},
        {testsupport::SourceDir() / "README.md", "not a DICOM file"},
        {dir / "missing.dcm", "cannot read the file"},
    };
    for (const auto& [file, reason] : refusals) {
        r = cli({"ecg", file.string(), (dir / "refused.png").string()});
        EXPECT_EQ(r.exitCode, 1) << file;
        EXPECT_NE(r.errors.find(reason), std::string::npos) << r.errors;
        EXPECT_EQ(std::count(r.errors.begin(), r.errors.end(), '\n'), 1) << r.errors;
        EXPECT_FALSE(testsupport::fs::exists(dir / "refused.png"));
    }
    EXPECT_EQ(cli({"ecg", Sample().string()}).exitCode, 2);
    EXPECT_EQ(cli({"ecg", Sample().string(), png.string(), "--width", "40000"}).exitCode, 2);
}
