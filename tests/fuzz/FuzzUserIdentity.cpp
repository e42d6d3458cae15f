// The user identity sub-item decoders over arbitrary bytes: whatever decodes must encode back
// to the same bytes, and masking never changes a size.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "net/UserIdentity.h"

using namespace dicomlib::net;

namespace {

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    // The reserved byte is not kept, and the response flag is read as any non-zero byte and
    // written as 1; every other byte comes back.
    const auto same = [&](const std::vector<uint8_t>& again, std::size_t skip) {
        for (std::size_t i = 0; i < size; ++i)
            if (i != 1 && i != skip && again[i] != data[i]) return false;
        return again.size() == size;
    };
    if (auto rq = DecodeUserIdentityRQ(bytes)) {
        auto again = EncodeUserIdentityRQ(*rq);
        Check(again.Ok() && again->size() == size && same(*again, 5));
    }
    if (auto ac = DecodeUserIdentityAC(bytes)) {
        auto again = EncodeUserIdentityAC(*ac);
        Check(again.Ok() && again->size() == size && same(*again, 1));
    }
    Check(MaskUserIdentity(bytes).size() == size);
    return 0;
}
