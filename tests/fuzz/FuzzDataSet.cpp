// Feeds arbitrary bytes to the Part 10 reader and the bare data set reader in each syntax, then
// opens every defined-length sequence and item that came out.
#include <cstddef>
#include <cstdint>
#include <span>

#include "data/Datadec.h"

using namespace dicomlib::data;

namespace {

void ExpandAll(const DecoderState& state, const ElementList& list) {
    for (const DicomElement* e : list) {
        const bool container =
            (e->group == 0xFFFE && e->element == 0xE000) || (e->vr[0] == 'S' && e->vr[1] == 'Q');
        if (!container || !HasValue(*e)) continue;
        ElementList flat;
        ExpandSequence(state, *e, flat);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> bytes(data, size);
    {
        DecoderState state;
        ElementList meta, body;
        ReadPart10Bytes(state, bytes, meta, body);
        ExpandAll(state, body);
    }
    {
        ElementList list;
        ReadPart10Header(bytes, list);
    }
    if (size > 0) {
        const uint8_t mode = data[0] % 3;
        const DecoderState state{static_cast<uint8_t>(mode != 0), static_cast<uint8_t>(mode == 2),
                                 0};
        ElementList list;
        ReadDataSetBytes(state, bytes.subspan(1), list);
        ExpandAll(state, list);
    }
    return 0;
}
