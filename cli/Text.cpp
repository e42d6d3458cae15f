#include "Text.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "zedavura.h"

namespace cli {
namespace {

// Windows-1252 0x80..0x9F; 0 where the code page has no character.
constexpr uint16_t kHighControls[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

void AppendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

}  // namespace

std::string Cp1252ToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<uint8_t>(c);
        if (byte < 0x80) {
            out += c;
        } else if (byte < 0xA0) {
            const uint16_t code = kHighControls[byte - 0x80];
            out += code == 0 ? std::string(".") : std::string();
            if (code != 0) AppendUtf8(out, code);
        } else {
            AppendUtf8(out, byte);
        }
    }
    return out;
}

std::string Utf8ToCp1252(std::string_view text) {
    iconv_t cd = iconv_open("WINDOWS-1252", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(text);
    std::string out(text.size(), '\0');
    char* in = const_cast<char*>(text.data());
    char* to = out.data();
    std::size_t inLeft = text.size(), toLeft = out.size();
    // A character the code page lacks, or a byte that is no UTF-8, becomes one '?'.
    while (inLeft > 0 && toLeft > 0 &&
           iconv(cd, &in, &inLeft, &to, &toLeft) == static_cast<std::size_t>(-1)) {
        std::size_t skip = 1;
        const auto lead = static_cast<uint8_t>(*in);
        if (errno == EILSEQ && lead >= 0xC0) skip = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        skip = std::min(skip, inLeft);
        in += skip;
        inLeft -= skip;
        *to++ = '?';
        --toLeft;
    }
    iconv_close(cd);
    out.resize(out.size() - toLeft);
    return out;
}

std::string ToTerminal(std::string_view text) {
    std::string filtered(text);
    for (char& c : filtered) {
        const auto byte = static_cast<uint8_t>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7F) c = '.';
    }
    return Cp1252ToUtf8(filtered);
}

std::string SyntaxFromArgument(const std::string& argument) {
    if (const TransferSyntaxInfo* named = TransferSyntaxByName(argument.c_str())) return named->uid;
    if (!argument.empty() && argument.find_first_not_of("0123456789.") == std::string::npos) {
        return argument;
    }
    return {};
}

std::string OutcomeWords(int32_t family, int32_t code, const std::string& peer) {
    std::string words(128, '\0');
    int32_t length =
        OutcomeText(family, code, peer.c_str(), words.data(), static_cast<uint32_t>(words.size()));
    if (length >= static_cast<int32_t>(words.size())) {
        words.assign(static_cast<std::size_t>(length) + 1, '\0');
        length = OutcomeText(family, code, peer.c_str(), words.data(),
                             static_cast<uint32_t>(words.size()));
    }
    words.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return words;
}

}  // namespace cli
