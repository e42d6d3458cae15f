// The multipart reader over arbitrary bodies. The first byte picks where the body is cut in
// two; the parts and the end must be the same whole and cut, every part must lie within the
// body, and a body that completes must have delivered its parts.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "web/Multipart.h"

using namespace dicomlib::web;

namespace {

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

using Parts = std::vector<std::pair<std::string, std::vector<uint8_t>>>;

MultipartState Read(std::span<const uint8_t> body, std::size_t cut, Parts& parts) {
    MultipartReader reader("b0und");
    const auto take = [&](MultipartPart& part) {
        parts.emplace_back(part.contentType, part.body);
        return true;
    };
    reader.Feed(body.first(cut), take);
    reader.Feed(body.subspan(cut), take);
    return reader.Finish();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::span<const uint8_t> body(data + 1, size - 1);
    const std::size_t cut = body.empty() ? 0 : data[0] % (body.size() + 1);
    Parts whole, split;
    const MultipartState a = Read(body, 0, whole);
    const MultipartState b = Read(body, cut, split);
    Check(a == b);
    Check(whole == split);
    std::size_t total = 0;
    for (const auto& part : whole)
        total += part.first.size() + part.second.size();
    Check(total <= body.size());
    Check(a != MultipartState::Reading);
    return 0;
}
