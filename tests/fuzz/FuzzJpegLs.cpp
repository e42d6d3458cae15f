// The JPEG-LS frame decoder on arbitrary streams, for frames of every layout.
#include "FuzzFrameLayout.h"
#include "imaging/JpegLsCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzframe::DecodeGuarded({data, size}, [](auto stream, auto output, const auto& layout) {
        dicomlib::imaging::DecodeJpegLs(stream, output, layout);
    });
    return 0;
}
