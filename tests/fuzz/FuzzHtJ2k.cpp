// The High-Throughput JPEG 2000 frame decoder on arbitrary streams, for frames of every layout.
#include "FuzzFrameLayout.h"
#include "imaging/HtJ2kCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzframe::DecodeGuarded({data, size}, [](auto stream, auto output, const auto& layout) {
        dicomlib::imaging::DecodeHtJ2k(stream, output, layout);
    });
    return 0;
}
