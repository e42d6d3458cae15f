#include "Text.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "zedavura.h"

namespace cli {
std::string Cp1252ToUtf8(std::string_view text) {
    const char none[2] = {0, 0};
    return DecodedText(nullptr, none, reinterpret_cast<const uint8_t*>(text.data()),
                       static_cast<uint32_t>(text.size()));
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

std::string Utf8ToTerminal(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto byte = static_cast<uint8_t>(utf8[i]);
        const auto next = i + 1 < utf8.size() ? static_cast<uint8_t>(utf8[i + 1]) : 0;
        if ((byte < 0x20 && byte != '\t') || byte == 0x7F) {
            out += '.';
        } else if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
            out += '.';  // U+0080..U+009F
            ++i;
        } else {
            out += static_cast<char>(byte);
        }
    }
    return out;
}

namespace {

// Text a library call writes as OutcomeText does, whatever its length.
template <class Write>
std::string Written(Write write) {
    std::string text(256, '\0');
    int32_t length = write(text.data(), static_cast<uint32_t>(text.size()));
    if (length >= static_cast<int32_t>(text.size())) {
        text.assign(static_cast<std::size_t>(length) + 1, '\0');
        length = write(text.data(), static_cast<uint32_t>(text.size()));
    }
    text.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return text;
}

}  // namespace

std::string DecodedText(const char* characterSet, const char vr[2], const uint8_t* value,
                        uint32_t length) {
    const char type[3] = {vr[0], vr[0] != 0 ? vr[1] : '\0', '\0'};
    return Written([&](char* text, uint32_t capacity) {
        return DecodeText(characterSet, type, value, length, text, capacity);
    });
}

std::string RecordUtf8(const void* record, uint32_t index) {
    return Written([&](char* text, uint32_t capacity) {
        return RecordTextUtf8(record, index, text, capacity);
    });
}

std::string CharacterSetProblem(const std::string& characterSet) {
    return Written([&](char* text, uint32_t capacity) {
        return CharacterSetWarning(characterSet.c_str(), text, capacity);
    });
}

std::optional<std::string> KeyBytes(const std::string& characterSet, const char* vr,
                                    const std::string& utf8, std::string& why) {
    uint32_t failedAt = 0;
    int32_t outcome = 0;
    std::string bytes = Written([&](char* text, uint32_t capacity) {
        outcome = EncodeText(characterSet.c_str(), vr, utf8.c_str(), text, capacity, &failedAt);
        return outcome;
    });
    if (outcome >= 0) return bytes;
    if (outcome == TEXT_UNKNOWN_CHARACTER_SET) {
        why = CharacterSetProblem(characterSet);
        return std::nullopt;
    }
    // The character as typed: its lead byte and the continuation bytes after it.
    std::size_t end = failedAt + 1;
    while (end < utf8.size() && (static_cast<uint8_t>(utf8[end]) & 0xC0) == 0x80)
        ++end;
    why = "\"" + utf8.substr(failedAt, end - failedAt) + "\" cannot be written in " +
          (characterSet.empty() ? "the default repertoire (ASCII)" : characterSet);
    return std::nullopt;
}

std::string SyntaxFromArgument(const std::string& argument) {
    if (const TransferSyntaxInfo* named = TransferSyntaxByName(argument.c_str())) return named->uid;
    if (!argument.empty() && argument.find_first_not_of("0123456789.") == std::string::npos) {
        return argument;
    }
    return {};
}

std::string OutcomeWords(int32_t family, int32_t code, const std::string& peer) {
    return Written([&](char* text, uint32_t capacity) {
        return OutcomeText(family, code, peer.c_str(), text, capacity);
    });
}

}  // namespace cli
