// Raw inflate of arbitrary bytes, with a small limit so that bombs stop early; whatever
// inflates whole must deflate and inflate back to itself.
#include <cstdlib>

#include "data/Deflate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace dicomlib::data;
    const auto inflated = InflateBytes({data, size}, 1 << 20);
    if (inflated.error.empty() &&
        InflateBytes(DeflateBytes(inflated.bytes)).bytes != inflated.bytes) {
        std::abort();
    }
    return 0;
}
