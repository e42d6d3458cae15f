// A C-FIND identifier as the provider receives it, over arbitrary bytes: decoded in the syntax
// the first byte picks, read into a tree, matched against a record with a nested step and
// answered. Whatever reads as a tree must go out and read back with the same attributes.
#include <cstddef>
#include <cstdint>
#include <span>

#include "data/Datadec.h"
#include "store/QueryMatch.h"

using namespace dicomlib;

namespace {

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const data::DecoderState state{static_cast<uint8_t>(data[0] & 1),
                                   static_cast<uint8_t>((data[0] >> 1) & 1), 0};
    ElementList list;
    data::ReadDataSetBytes(state, std::span<const uint8_t>(data + 1, size - 1), list);
    auto keys = store::QueryDataSetOf(list, state);
    if (!keys) return 0;
    store::QueryDataSet step;
    step.SetText({0x0008, 0x0060}, "MR");
    step.SetText({0x0040, 0x0002}, "20240105");
    store::QueryDataSet record;
    record.SetText({0x0010, 0x0010}, "DOE^JOHN");
    record.SetText({0x0020, 0x000D}, "1.2.3");
    record.Set({{0x0040, 0x0100}, "SQ", "", {step}});
    store::Matches(*keys, record);
    const store::QueryDataSet answer = store::SelectReturnKeys(*keys, record);
    const ElementList flat = store::FlatDataSetOf(answer);
    const auto back = store::QueryDataSetOf(flat, {0, 0, 0});
    Check(back.Ok() && back->attributes.size() == answer.attributes.size());
    return 0;
}
