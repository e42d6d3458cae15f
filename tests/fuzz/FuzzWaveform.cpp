// The waveform reader and the ECG drawing on arbitrary bytes: the first byte picks explicit (odd)
// or implicit (even) VR little endian for the data set that follows, which is read and drawn on
// a small bitmap.
#include <cstddef>
#include <cstdint>
#include <span>

#include "data/Datadec.h"
#include "imaging/EcgDrawing.h"

using namespace dicomlib;

// Fontconfig keeps what it allocates for the first text for the life of the process, out of
// reach of the leak checker; that is not a leak of ours.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig\n";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const data::DecoderState state{static_cast<uint8_t>(data[0] & 1), 0, 0};
    ElementList list;
    data::ReadDataSetBytes(state, std::span<const uint8_t>(data + 1, size - 1), list);
    imaging::Bitmap bitmap;
    bitmap.Reset(160, 120, imaging::PixelFormat::Bgr24);
    imaging::DrawEcg(bitmap, list);
    return 0;
}
