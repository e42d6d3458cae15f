// A Specific Character Set value and text bytes, as far as the first newline and after it; the
// first byte picks how the value is divided. Whatever the bytes, the text decodes to valid
// UTF-8, and what the set then writes of it decodes back to the same text.
#include <cstdlib>
#include <string_view>

#include "data/CharacterSet.h"

namespace {

bool ValidUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<uint8_t>(text[i]);
        const std::size_t length = lead < 0x80                    ? 1
                                   : lead >= 0xC2 && lead <= 0xDF ? 2
                                   : lead >= 0xE0 && lead <= 0xEF ? 3
                                   : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                                  : 0;
        if (length == 0 || i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k)
            if ((static_cast<uint8_t>(text[i + k]) & 0xC0) != 0x80) return false;
        i += length;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace dicomlib::data;
    if (size == 0) return 0;
    const auto kind = static_cast<TextKind>(data[0] % 3);
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::size_t newline = rest.find('\n');
    const CharacterSet set(rest.substr(0, newline));
    const std::string_view bytes =
        newline == std::string_view::npos ? std::string_view() : rest.substr(newline + 1);
    const std::string text = set.Decode(bytes, kind);
    if (!ValidUtf8(text)) std::abort();
    if (const auto written = set.Encode(text, kind)) {
        if (set.Decode(*written, kind) != text) std::abort();
    }
    return 0;
}
