// Every PDU decoder over arbitrary bytes. The input goes to each decoder as it is, and once more
// with its length field made to agree with its size, so that the item parsers are reached even
// when the length is off. Whatever an A-ASSOCIATE decoder accepts must survive
// encode-and-decode unchanged.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "net/PduCodec.h"

using namespace dicomlib::net;

namespace {

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

template <class T, class Encode, class Decode>
void RoundTrip(const Result<T>& decoded, Encode encode, Decode decode) {
    if (!decoded) return;
    T expected = *decoded;
    expected.userInformation.skippedBytes = 0;  // skipped sub-items are not written again
    auto again = decode(encode(expected));
    Check(again.Ok());
    Check(*again == expected);
}

void DecodeAll(std::span<const uint8_t> bytes) {
    (void)DecodePduHeader(bytes);
    RoundTrip(DecodeAssociateRQ(bytes), EncodeAssociateRQ, DecodeAssociateRQ);
    RoundTrip(DecodeAssociateAC(bytes), EncodeAssociateAC, DecodeAssociateAC);
    (void)DecodeAssociateRJ(bytes);
    (void)DecodeReleaseRQ(bytes);
    (void)DecodeReleaseRP(bytes);
    (void)DecodeAbortRQ(bytes);
    auto pdvs = DecodePDataTF(bytes);
    if (pdvs) {
        std::size_t total = 0;
        for (const auto& pdv : *pdvs) {
            Check(pdv.data.data() >= bytes.data() &&
                  pdv.data.data() + pdv.data.size() <= bytes.data() + bytes.size());
            total += pdv.data.size() + 6;
        }
        Check(total + 6 == bytes.size());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    DecodeAll(bytes);
    if (size >= PDU_HEADER_SIZE) {
        std::vector<uint8_t> agreed(data, data + size);
        const auto length = static_cast<uint32_t>(size - PDU_HEADER_SIZE);
        agreed[2] = static_cast<uint8_t>(length >> 24);
        agreed[3] = static_cast<uint8_t>(length >> 16);
        agreed[4] = static_cast<uint8_t>(length >> 8);
        agreed[5] = static_cast<uint8_t>(length);
        DecodeAll(agreed);
    }
    return 0;
}
