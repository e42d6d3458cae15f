// Draws a waveform object as ECG paper: a grid of 20-pixel squares (200 ms across at 100
// pixels per second, 0.5 mV up at 40 pixels per millivolt), a header with the patient and the
// study, and for each channel of the first multiplex group its label, a 1 mV calibration pulse
// and its trace, six channels to a column.
#pragma once

#include <cstdint>
#include <string_view>

#include "data/ElementList.h"
#include "imaging/Bitmap.h"

namespace dicomlib::imaging {

// The same numbers cross the exported interface.
enum class EcgOutcome : int32_t {
    Drawn = 0,
    NotWaveformModality = -1,  // Modality is none of "ECG", "HD", "AU"
    NoWaveform = -2,           // no item of the Waveform Sequence holds Waveform Data
    BitmapUnusable = -3,       // an indexed or empty bitmap, or one too large to draw on
};

// What an outcome means, in words: "not a waveform object (its modality is not ECG, HD or AU)".
std::string_view EcgOutcomeText(EcgOutcome outcome);

// Draws over the whole of a 24- or 32-bit bitmap; unless the outcome is Drawn the bitmap is left
// as it was.
EcgOutcome DrawEcg(Bitmap& bitmap, const ElementList& elements);

}  // namespace dicomlib::imaging
