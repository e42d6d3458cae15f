// The JPEG XL frame decoder and the rebuilding of recompressed JPEG streams on arbitrary
// streams, for frames of every layout.
#include "FuzzFrameLayout.h"
#include "imaging/JpegXlCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzframe::DecodeGuarded({data, size}, [](auto stream, auto output, const auto& layout) {
        dicomlib::imaging::DecodeJpegXl(stream, output, layout, true);
        dicomlib::imaging::ReconstructJpeg(stream, layout);
    });
    return 0;
}
