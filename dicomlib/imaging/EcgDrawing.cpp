// Layout in whole pixels: every real coordinate is truncated toward zero. Channel k sits in
// column k / 6 and row k % 6, its baseline 90 pixels below the last; up to twelve channels
// make the two columns of the left and right half, more add columns. A trace starts 30 pixels
// right of its column's edge, after the calibration pulse, and its first point lies on the
// baseline whatever the first sample is.
#include "imaging/EcgDrawing.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "imaging/Canvas.h"
#include "imaging/EcgDocument.h"

namespace dicomlib::imaging {
namespace {

constexpr double GAIN = 40.0;  // pixels per millivolt
constexpr int ROWS = 6;
constexpr const char* BANNER = "ZEDAVURA Waveform";
constexpr const char* FONT = "Tahoma";

// Far enough outside any bitmap to look the same, near enough for every coordinate type.
constexpr double OFF_BITMAP = 1 << 20;

void DrawPaper(Canvas& canvas, int width, int height) {
    canvas.Rectangle(0, 0, width, height);
    const auto lines = [&](int across, int down) {
        for (int y = 0; y < height; y += down) {
            canvas.MoveTo(0, y);
            canvas.LineTo(width, y);
        }
        for (int x = 0; x < width; x += across) {
            canvas.MoveTo(x, 0);
            canvas.LineTo(x, height);
        }
    };
    canvas.SetPenColor(RgbOf(0xC0C0C0));
    lines(20, 20);
    canvas.SetPenColor(RgbOf(0x808080));
    lines(100, 40);
}

void DrawHeader(Canvas& canvas, const EcgDocument& document, int width) {
    canvas.SetFont(FONT, 18, true);
    canvas.TextOut((width - canvas.TextWidth(BANNER)) / 2, 5, BANNER);
    canvas.SetFont(FONT, 10, true);
    canvas.TextOut(10, 10, document.studyDate + " " + document.studyTime);
    canvas.TextOut(30, 30, "Name: " + document.patientName);
    canvas.TextOut(30, 50, "ID: " + document.patientId);
    canvas.TextOut(30, 70, "DOB: " + document.birthDate);
    canvas.TextOut(30, 90, "Sex: " + document.sex);
    canvas.TextOut(150, 80, "200 mS/div");
}

// The samples per vertical pixel for a channel's units, and the scale its label names; false
// for units without a scale.
bool Scale(const WaveformChannel& channel, double& divisor, std::string& label) {
    const double perPixel = channel.sensitivity * GAIN;
    if (channel.units == "uV" || channel.units == "mV") {
        label = " 0.5 mV/div";
        divisor = (channel.units == "uV" ? 1000 : 1) / perPixel;
        return true;
    }
    if (channel.units.find("mm") != std::string::npos) {
        label = " 50 mm Hg/div";
        divisor = 100 / perPixel;
        return true;
    }
    return false;
}

void DrawChannels(Canvas& canvas, const WaveformGroup& group, int width) {
    canvas.SetFont(FONT, 10, false);
    canvas.SetPenColor(Rgb{});
    const int count = static_cast<int>(group.channels.size());
    const int columns = std::max(2, (count + ROWS - 1) / ROWS);
    const uint32_t usable = group.UsableSamples();
    const double samplesPerPixel = group.samplingFrequency / 100.0;  // 100 pixels per second
    const double traceSamples =
        std::min((width - 50) * samplesPerPixel / columns, static_cast<double>(usable));
    const int gain = static_cast<int>(GAIN);

    for (int k = 0; k < count; ++k) {
        const WaveformChannel& channel = group.channels[static_cast<std::size_t>(k)];
        const int x = static_cast<int>(int64_t{k / ROWS} * width / columns);
        const int y = 100 + 90 * (k % ROWS + 1);
        std::string scale;
        double divisor = 0;
        const bool scaled = Scale(channel, divisor, scale);
        canvas.TextOut(x + 5, y - 70, channel.label + scale);
        if (!scaled) continue;

        canvas.MoveTo(x, y);
        canvas.LineTo(x + 7, y);
        canvas.LineTo(x + 7, y - gain);
        canvas.LineTo(x + 22, y - gain);
        canvas.LineTo(x + 22, y);
        canvas.LineTo(x + 30, y);
        // A sensitivity of zero or below has no scale; a column beyond Number of Waveform
        // Channels has no samples.
        if (!(channel.sensitivity > 0) || k >= group.channelCount || traceSamples < 1) continue;
        const auto n = static_cast<uint32_t>(traceSamples);
        for (uint32_t i = 0; i < n; ++i) {
            const double v = i == 0 ? 0 : group.Sample(i, static_cast<uint32_t>(k));
            double row = y - v / divisor;
            if (std::isnan(row)) row = y;  // a zero sample over an infinitely fine scale
            canvas.LineTo(static_cast<int>(x + 30 + i / samplesPerPixel),
                          static_cast<int>(std::clamp(row, -OFF_BITMAP, OFF_BITMAP)));
        }
    }
}

}  // namespace

std::string_view EcgOutcomeText(EcgOutcome outcome) {
    switch (outcome) {
        case EcgOutcome::Drawn:
            return "drawn";
        case EcgOutcome::NotWaveformModality:
            return "not a waveform object (its modality is not ECG, HD or AU)";
        case EcgOutcome::NoWaveform:
            return "holds no waveform (no Waveform Sequence item with data)";
        case EcgOutcome::BitmapUnusable:
            return "could not be drawn (no usable bitmap)";
    }
    return "could not be drawn";
}

EcgOutcome DrawEcg(Bitmap& bitmap, const ElementList& elements) {
    const EcgDocument document = ReadEcgDocument(elements);
    const std::string& modality = document.modality;
    if (modality != "ECG" && modality != "HD" && modality != "AU") {
        return EcgOutcome::NotWaveformModality;
    }
    if (document.groups.empty()) return EcgOutcome::NoWaveform;
    auto canvas = Canvas::On(bitmap);
    if (canvas == nullptr) return EcgOutcome::BitmapUnusable;
    const int width = static_cast<int>(bitmap.Width());
    DrawPaper(*canvas, width, static_cast<int>(bitmap.Height()));
    DrawHeader(*canvas, document, width);
    // Later multiplex groups (median beats, often) are not drawn.
    DrawChannels(*canvas, document.groups.front(), width);
    return EcgOutcome::Drawn;
}

}  // namespace dicomlib::imaging
