#include "data/CharacterSet.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <utility>

#include "data/Tags.h"

namespace dicomlib::data {

// How the bytes of a character of a code element are handed to iconv.
enum class Form : uint8_t {
    Ascii,     // as they are, no conversion
    AsIs,      // as they are, to the element's iconv code set
    HighBits,  // with their high bits set: JIS X 0208 in G0 is EUC-JP's code set 1
    Jisx0212,  // 0x8F, then both with their high bits set: EUC-JP's code set 3
};

struct CodeElement {
    std::string_view escape;  // what follows ESC to designate it
    bool g1;
    uint8_t width;      // bytes per character
    const char* iconv;  // the code set iconv converts it as
    Form form;
    uint8_t low, high;  // the range of each byte of a character, as it stands in a value
};

struct DefinedTerm {
    std::string_view term;
    bool extensions;  // an ISO 2022 term, which allows escape sequences
    const CodeElement* g0;
    const CodeElement* g1;
    const char* whole;  // without code extensions: the code set of the whole value
    bool windows1252;   // shown as it always was: read as Windows-1252
};

namespace {

constexpr char ESC = 0x1B;
constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";  // U+FFFD

constexpr CodeElement ASCII{"(B", false, 1, nullptr, Form::Ascii, 0x00, 0x7F};
constexpr CodeElement ROMAJI{"(J", false, 1, "JIS_C6220-1969-RO", Form::AsIs, 0x00, 0x7F};
constexpr CodeElement KATAKANA{")I", true, 1, "SHIFT_JIS", Form::AsIs, 0xA1, 0xDF};
constexpr CodeElement LATIN1{"-A", true, 1, "ISO-8859-1", Form::AsIs, 0xA0, 0xFF};
constexpr CodeElement LATIN2{"-B", true, 1, "ISO-8859-2", Form::AsIs, 0xA0, 0xFF};
constexpr CodeElement LATIN3{"-C", true, 1, "ISO-8859-3", Form::AsIs, 0xA0, 0xFF};
constexpr CodeElement LATIN4{"-D", true, 1, "ISO-8859-4", Form::AsIs, 0xA0, 0xFF};
constexpr CodeElement CYRILLIC{"-L", true, 1, "ISO-8859-5", Form::AsIs, 0xA0, 0xFF};
constexpr CodeElement ARABIC{"-G", true, 1, "ISO-8859-6", Form::AsIs, 0xA0, 0xFF};
constexpr CodeElement GREEK{"-F", true, 1, "ISO-8859-7", Form::AsIs, 0xA0, 0xFF};
constexpr CodeElement HEBREW{"-H", true, 1, "ISO-8859-8", Form::AsIs, 0xA0, 0xFF};
constexpr CodeElement LATIN5{"-M", true, 1, "ISO-8859-9", Form::AsIs, 0xA0, 0xFF};
constexpr CodeElement LATIN9{"-b", true, 1, "ISO-8859-15", Form::AsIs, 0xA0, 0xFF};
constexpr CodeElement THAI{"-T", true, 1, "TIS-620", Form::AsIs, 0xA0, 0xFF};
constexpr CodeElement JIS_X0208{"$B", false, 2, "EUC-JP", Form::HighBits, 0x21, 0x7E};
constexpr CodeElement JIS_X0212{"$(D", false, 2, "EUC-JP", Form::Jisx0212, 0x21, 0x7E};
constexpr CodeElement KS_X1001{"$)C", true, 2, "EUC-KR", Form::AsIs, 0xA1, 0xFE};
constexpr CodeElement GB2312{"$)A", true, 2, "EUC-CN", Form::AsIs, 0xA1, 0xFE};

constexpr const CodeElement* ESCAPABLE[] = {
    &ASCII, &ROMAJI, &KATAKANA, &LATIN1, &LATIN2, &LATIN3,    &LATIN4,    &CYRILLIC, &ARABIC,
    &GREEK, &HEBREW, &LATIN5,   &LATIN9, &THAI,   &JIS_X0208, &JIS_X0212, &KS_X1001, &GB2312,
};

constexpr DefinedTerm TERMS[] = {
    {"ISO_IR 6", false, &ASCII, nullptr, nullptr, true},
    {"ISO_IR 100", false, &ASCII, &LATIN1, "ISO-8859-1", true},
    {"ISO_IR 101", false, &ASCII, &LATIN2, "ISO-8859-2", false},
    {"ISO_IR 109", false, &ASCII, &LATIN3, "ISO-8859-3", false},
    {"ISO_IR 110", false, &ASCII, &LATIN4, "ISO-8859-4", false},
    {"ISO_IR 144", false, &ASCII, &CYRILLIC, "ISO-8859-5", false},
    {"ISO_IR 127", false, &ASCII, &ARABIC, "ISO-8859-6", false},
    {"ISO_IR 126", false, &ASCII, &GREEK, "ISO-8859-7", false},
    {"ISO_IR 138", false, &ASCII, &HEBREW, "ISO-8859-8", false},
    {"ISO_IR 148", false, &ASCII, &LATIN5, "ISO-8859-9", false},
    {"ISO_IR 203", false, &ASCII, &LATIN9, "ISO-8859-15", false},
    {"ISO_IR 166", false, &ASCII, &THAI, "TIS-620", false},
    {"ISO_IR 13", false, &ROMAJI, &KATAKANA, nullptr, false},
    {"ISO_IR 192", false, nullptr, nullptr, "UTF-8", false},
    {"GB18030", false, nullptr, nullptr, "GB18030", false},
    {"GBK", false, nullptr, nullptr, "GBK", false},
    {"ISO 2022 IR 6", true, &ASCII, nullptr, nullptr, false},
    {"ISO 2022 IR 100", true, &ASCII, &LATIN1, nullptr, false},
    {"ISO 2022 IR 101", true, &ASCII, &LATIN2, nullptr, false},
    {"ISO 2022 IR 109", true, &ASCII, &LATIN3, nullptr, false},
    {"ISO 2022 IR 110", true, &ASCII, &LATIN4, nullptr, false},
    {"ISO 2022 IR 144", true, &ASCII, &CYRILLIC, nullptr, false},
    {"ISO 2022 IR 127", true, &ASCII, &ARABIC, nullptr, false},
    {"ISO 2022 IR 126", true, &ASCII, &GREEK, nullptr, false},
    {"ISO 2022 IR 138", true, &ASCII, &HEBREW, nullptr, false},
    {"ISO 2022 IR 148", true, &ASCII, &LATIN5, nullptr, false},
    {"ISO 2022 IR 203", true, &ASCII, &LATIN9, nullptr, false},
    {"ISO 2022 IR 166", true, &ASCII, &THAI, nullptr, false},
    {"ISO 2022 IR 13", true, &ROMAJI, &KATAKANA, nullptr, false},
    {"ISO 2022 IR 87", true, &JIS_X0208, nullptr, nullptr, false},
    {"ISO 2022 IR 159", true, &JIS_X0212, nullptr, nullptr, false},
    {"ISO 2022 IR 149", true, nullptr, &KS_X1001, nullptr, false},
    {"ISO 2022 IR 58", true, nullptr, &GB2312, nullptr, false},
};

const DefinedTerm* FindTerm(std::string_view term) {
    for (const DefinedTerm& t : TERMS)
        if (t.term == term) return &t;
    return nullptr;
}

// The ISO 2022 term of the same character sets.
const DefinedTerm* ExtendedTwin(const DefinedTerm& term) {
    for (const DefinedTerm& t : TERMS)
        if (t.extensions && t.g0 == term.g0 && t.g1 == term.g1) return &t;
    return nullptr;
}

std::string_view Trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(std::string_view(" \0", 2));
    if (first == std::string_view::npos) return {};
    const std::size_t last = text.find_last_not_of(std::string_view(" \0", 2));
    return text.substr(first, last - first + 1);
}

// One conversion descriptor per pair of code sets and thread: iconv keeps state in it.
class Converters {
  public:
    Converters() = default;
    Converters(const Converters&) = delete;
    Converters& operator=(const Converters&) = delete;
    ~Converters() {
        for (auto& entry : open_)
            if (entry.second != Failed()) iconv_close(entry.second);
    }
    // Null when the C library cannot convert between them.
    iconv_t Get(const char* to, const char* from) {
        auto [it, added] = open_.try_emplace({to, from}, Failed());
        if (added) it->second = iconv_open(to, from);
        if (it->second == Failed()) return nullptr;
        iconv(it->second, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
        return it->second;
    }

  private:
    static iconv_t Failed() { return reinterpret_cast<iconv_t>(-1); }
    std::map<std::pair<std::string_view, std::string_view>, iconv_t> open_;
};

iconv_t Converter(const char* to, const char* from) {
    thread_local Converters converters;
    return converters.Get(to, from);
}

// Converts in to UTF-8 from the code set from; each byte that does not decode becomes
// `invalid`, a truncated character at the end too.
std::string ToUtf8(const char* from, std::string_view in, std::string_view invalid = REPLACEMENT) {
    std::string out;
    iconv_t cd = Converter("UTF-8", from);
    if (cd == nullptr) {
        for (std::size_t i = 0; i < in.size(); ++i)
            out += invalid;
        return out;
    }
    char* input = const_cast<char*>(in.data());
    std::size_t left = in.size();
    std::size_t used = 0;
    out.resize(in.size() * 3 + 8);
    while (left > 0) {
        char* output = out.data() + used;
        std::size_t room = out.size() - used;
        const std::size_t done = iconv(cd, &input, &left, &output, &room);
        used = static_cast<std::size_t>(output - out.data());
        if (done != static_cast<std::size_t>(-1)) break;
        if (errno == E2BIG) {
            out.resize(out.size() * 2);
            continue;
        }
        out.resize(used);
        out += invalid;
        used = out.size();
        out.resize(used + left * 3 + 8);
        if (errno != EILSEQ) break;  // a character cut off by the end of the value
        ++input;
        --left;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    out.resize(used);
    return out;
}

// UTF-8 text in the code set to, all or nothing.
std::optional<std::string> FromUtf8(const char* to, std::string_view in) {
    iconv_t cd = Converter(to, "UTF-8");
    if (cd == nullptr) return std::nullopt;
    std::string out(in.size() * 4 + 8, '\0');
    char* input = const_cast<char*>(in.data());
    std::size_t left = in.size();
    char* output = out.data();
    std::size_t room = out.size();
    if (iconv(cd, &input, &left, &output, &room) == static_cast<std::size_t>(-1))
        return std::nullopt;
    if (iconv(cd, nullptr, nullptr, &output, &room) == static_cast<std::size_t>(-1))
        return std::nullopt;
    out.resize(static_cast<std::size_t>(output - out.data()));
    return out;
}

bool InRange(uint8_t byte, const CodeElement& e) {
    return byte >= e.low && byte <= e.high;
}

// The UTF-8 of characters of one code element, their bytes as they stand in the value.
std::string ElementToUtf8(const CodeElement& e, std::string_view bytes) {
    switch (e.form) {
        case Form::Ascii:
            return std::string(bytes);
        case Form::AsIs:
            return ToUtf8(e.iconv, bytes);
        case Form::HighBits:
        case Form::Jisx0212: {
            std::string euc;
            for (std::size_t i = 0; i < bytes.size(); ++i) {
                if (e.form == Form::Jisx0212 && i % 2 == 0) euc += '\x8F';
                euc += static_cast<char>(bytes[i] | 0x80);
            }
            return ToUtf8(e.iconv, euc);
        }
    }
    return {};
}

// The bytes of one character (UTF-8) in a code element, as they stand in a value.
std::optional<std::string> ElementFromUtf8(const CodeElement& e, std::string_view character) {
    if (e.form == Form::Ascii) {
        if (character.size() == 1 && static_cast<uint8_t>(character[0]) < 0x80)
            return std::string(character);
        return std::nullopt;
    }
    std::optional<std::string> coded = FromUtf8(e.iconv, character);
    if (!coded) return std::nullopt;
    std::string bytes = *coded;
    if (e.form == Form::Jisx0212) {
        if (bytes.size() != 3 || static_cast<uint8_t>(bytes[0]) != 0x8F) return std::nullopt;
        bytes.erase(0, 1);
    }
    if (e.form == Form::HighBits || e.form == Form::Jisx0212) {
        for (char& c : bytes) {
            if (static_cast<uint8_t>(c) < 0xA1) return std::nullopt;
            c = static_cast<char>(c & 0x7F);
        }
    }
    if (bytes.size() != e.width) return std::nullopt;
    for (char c : bytes)
        if (!InRange(static_cast<uint8_t>(c), e)) return std::nullopt;
    return bytes;
}

// The code element an escape sequence designates, and the sequence's length after ESC.
const CodeElement* MatchEscape(std::string_view after, std::size_t& length) {
    for (const CodeElement* e : ESCAPABLE) {
        if (after.starts_with(e->escape)) {
            length = e->escape.size();
            return e;
        }
    }
    // An escape sequence we do not know: intermediate bytes 0x20..0x2F, then one final byte.
    std::size_t i = 0;
    while (i < after.size() && static_cast<uint8_t>(after[i]) >= 0x20 &&
           static_cast<uint8_t>(after[i]) <= 0x2F)
        ++i;
    const bool complete = i > 0 && i < after.size() && static_cast<uint8_t>(after[i]) >= 0x30 &&
                          static_cast<uint8_t>(after[i]) <= 0x7E;
    length = complete ? i + 1 : i;  // a sequence cut off by the end goes as a whole
    return nullptr;
}

bool IsTextDelimiter(uint8_t byte, TextKind kind) {
    if (byte < 0x20 && byte != static_cast<uint8_t>(ESC)) return true;  // CR, LF, TAB, FF, ...
    if (kind == TextKind::Text) return false;
    return byte == '\\' || (kind == TextKind::PersonName && (byte == '^' || byte == '='));
}

// How far the UTF-8 character at text[at] is well formed: its bytes that fit, and whether they
// make the whole character (not an overlong form, a surrogate, beyond U+10FFFF, cut short).
struct Utf8Prefix {
    std::size_t length;
    bool whole;
};

Utf8Prefix Utf8PrefixAt(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) {
        return at + i < text.size() ? static_cast<uint8_t>(text[at + i]) : uint8_t{0};
    };
    const uint8_t lead = byte(0);
    if (lead < 0x80) return {1, true};
    const std::size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                               : lead >= 0xE0 && lead <= 0xEF ? 3
                               : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                              : 0;
    if (length == 0) return {1, false};
    // The second byte's range depends on the lead; the others are 0x80..0xBF.
    const uint8_t low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const uint8_t high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    for (std::size_t i = 1; i < length; ++i) {
        const bool fits =
            i == 1 ? byte(i) >= low && byte(i) <= high : byte(i) >= 0x80 && byte(i) <= 0xBF;
        if (!fits) return {i, false};
    }
    return {length, true};
}

// The length of the well-formed UTF-8 character at text[at]; 0 when there is none.
std::size_t CharacterLength(std::string_view text, std::size_t at) {
    const Utf8Prefix prefix = Utf8PrefixAt(text, at);
    return prefix.whole ? prefix.length : 0;
}

// UTF-8 as it came, each stretch that begins a character but does not end it as one U+FFFD.
std::string WellFormedUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const Utf8Prefix prefix = Utf8PrefixAt(bytes, i);
        out += prefix.whole ? bytes.substr(i, prefix.length) : REPLACEMENT;
        i += prefix.length;
    }
    return out;
}

bool IsAscii(std::string_view bytes) {
    for (char c : bytes)
        if (static_cast<uint8_t>(c) >= 0x80) return false;
    return true;
}

}  // namespace

std::optional<TextKind> TextKindOf(const char vr[2]) {
    const std::string_view v(vr, 2);
    if (v == "PN") return TextKind::PersonName;
    if (v == "SH" || v == "LO" || v == "UC") return TextKind::Values;
    if (v == "ST" || v == "LT" || v == "UT") return TextKind::Text;
    return std::nullopt;
}

CharacterSet::CharacterSet(std::string_view specificCharacterSet) {
    value_ = std::string(Trimmed(specificCharacterSet));
    std::vector<std::string_view> values;
    for (std::size_t start = 0;;) {
        const std::size_t at = std::string_view(value_).find('\\', start);
        values.push_back(Trimmed(std::string_view(value_).substr(
            start, at == std::string::npos ? std::string::npos : at - start)));
        if (at == std::string::npos) break;
        start = at + 1;
    }
    std::vector<std::string> problems;
    auto unknown = [&](std::string_view term) {
        problems.push_back("unknown term \"" + std::string(term) +
                           "\", read as the default repertoire");
    };
    if (values.size() == 1) {
        if (values[0].empty()) return;
        const DefinedTerm* term = FindTerm(values[0]);
        if (term == nullptr) {
            unknown(values[0]);
        } else if (!term->extensions) {
            single_ = term;
        } else {
            extensions_ = true;
            initialG0_ = term->g0 != nullptr && term->g0->width == 1 ? term->g0 : &ASCII;
            initialG1_ = term->g1;
            for (const CodeElement* e : {term->g0, term->g1})
                if (e != nullptr) elements_.push_back(e);
        }
    } else {
        extensions_ = true;
        initialG0_ = &ASCII;
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (values[i].empty()) {
                if (i == 0) elements_.push_back(&ASCII);
                continue;
            }
            const DefinedTerm* term = FindTerm(values[i]);
            if (term == nullptr) {
                unknown(values[i]);
                if (i == 0) elements_.push_back(&ASCII);
                continue;
            }
            if (!term->extensions) {
                const DefinedTerm* twin = ExtendedTwin(*term);
                if (twin == nullptr) {
                    if (i == 0) {
                        // A set that takes no code extensions: the value is read in it alone.
                        problems.push_back("\"" + std::string(term->term) +
                                           "\" takes no code extensions, the terms after it are "
                                           "ignored");
                        extensions_ = false;
                        single_ = term;
                        elements_.clear();
                        break;
                    }
                    problems.push_back("\"" + std::string(term->term) +
                                       "\" cannot follow other terms, ignored");
                    continue;
                }
                problems.push_back("\"" + std::string(term->term) +
                                   "\" beside other terms, read as \"" + std::string(twin->term) +
                                   "\"");
                term = twin;
            }
            if (i == 0) {
                initialG0_ = term->g0 != nullptr && term->g0->width == 1 ? term->g0 : &ASCII;
                initialG1_ = term->g1;
            }
            for (const CodeElement* e : {term->g0, term->g1}) {
                if (e != nullptr &&
                    std::find(elements_.begin(), elements_.end(), e) == elements_.end())
                    elements_.push_back(e);
            }
        }
    }
    // What value 1 starts G0 with can always be returned to.
    if (extensions_ && std::find(elements_.begin(), elements_.end(), initialG0_) == elements_.end())
        elements_.insert(elements_.begin(), initialG0_);
    for (std::size_t i = 0; i < problems.size(); ++i)
        warning_ += (i == 0 ? "Specific Character Set \"" + value_ + "\": " : "; ") + problems[i];
}

std::string CharacterSet::Decode(std::string_view bytes, TextKind kind) const {
    if (extensions_) return DecodeExtended(bytes, kind);
    if (single_ == nullptr || single_->windows1252) return Cp1252ToUtf8(bytes);
    if (single_->whole != nullptr) {
        if (IsAscii(bytes)) return std::string(bytes);
        // iconv lets UTF-8 beyond U+10FFFF through as it is.
        if (single_->whole == std::string_view("UTF-8")) return WellFormedUtf8(bytes);
        return ToUtf8(single_->whole, bytes);
    }
    return DecodeExtended(bytes, kind);  // JIS X 0201 in G0 and G1, without escapes
}

std::string CharacterSet::DecodeExtended(std::string_view bytes, TextKind kind) const {
    const CodeElement* startG0 = extensions_ ? initialG0_ : single_->g0;
    const CodeElement* startG1 = extensions_ ? initialG1_ : single_->g1;
    if (startG0 == &ASCII && IsAscii(bytes) && bytes.find(ESC) == std::string_view::npos)
        return std::string(bytes);
    const CodeElement* g0 = startG0;
    const CodeElement* g1 = startG1;
    std::string out, run;
    const CodeElement* runElement = nullptr;
    auto flush = [&] {
        if (!run.empty()) out += ElementToUtf8(*runElement, run);
        run.clear();
    };
    auto add = [&](const CodeElement* e, std::string_view character) {
        if (e != runElement) flush();
        runElement = e;
        run += character;
    };
    auto literal = [&](std::string_view text) {
        flush();
        out += text;
    };
    for (std::size_t i = 0; i < bytes.size();) {
        const auto byte = static_cast<uint8_t>(bytes[i]);
        if (byte == static_cast<uint8_t>(ESC) && extensions_) {
            std::size_t length = 0;
            if (const CodeElement* e = MatchEscape(bytes.substr(i + 1), length)) {
                (e->g1 ? g1 : g0) = e;
            } else {
                literal(REPLACEMENT);
            }
            i += 1 + length;
            continue;
        }
        const CodeElement* e = byte < 0x80 ? g0 : g1;
        if (byte < 0x80 && (e->width == 1 || byte <= 0x20)) {
            if (IsTextDelimiter(byte, kind)) {
                // Each value, component group and line starts again in the sets of value 1.
                literal(bytes.substr(i, 1));
                g0 = startG0;
                g1 = startG1;
            } else if (e->width == 1) {
                add(e, bytes.substr(i, 1));
            } else {
                literal(" ");  // a space between double-byte characters
            }
            ++i;
            continue;
        }
        if (e == nullptr || !InRange(byte, *e) || i + e->width > bytes.size() ||
            (e->width == 2 && !InRange(static_cast<uint8_t>(bytes[i + 1]), *e))) {
            literal(REPLACEMENT);
            ++i;
            continue;
        }
        add(e, bytes.substr(i, e->width));
        i += e->width;
    }
    flush();
    return out;
}

std::optional<std::string> CharacterSet::Encode(std::string_view utf8, TextKind kind,
                                                std::size_t* failedAt) const {
    auto fail = [&](std::size_t at) -> std::optional<std::string> {
        if (failedAt != nullptr) *failedAt = at;
        return std::nullopt;
    };
    for (std::size_t i = 0; i < utf8.size();) {
        const std::size_t length = CharacterLength(utf8, i);
        if (length == 0) return fail(i);
        i += length;
    }
    if (!extensions_ &&
        (single_ == nullptr || (single_->whole == nullptr && single_->g0 == &ASCII))) {
        for (std::size_t i = 0; i < utf8.size(); ++i)
            if (static_cast<uint8_t>(utf8[i]) >= 0x80) return fail(i);
        return std::string(utf8);
    }
    if (!extensions_ && single_->whole != nullptr) {
        if (std::optional<std::string> whole = FromUtf8(single_->whole, utf8)) return whole;
        for (std::size_t i = 0; i < utf8.size(); i += CharacterLength(utf8, i))
            if (!FromUtf8(single_->whole, utf8.substr(i, CharacterLength(utf8, i)))) return fail(i);
        return fail(0);
    }
    // With code extensions, or JIS X 0201 in its two halves without them.
    const CodeElement* startG0 = extensions_ ? initialG0_ : single_->g0;
    const CodeElement* startG1 = extensions_ ? initialG1_ : single_->g1;
    std::vector<const CodeElement*> candidates = elements_;
    if (!extensions_) candidates = {startG0, startG1};
    const CodeElement* g0 = startG0;
    const CodeElement* g1 = startG1;
    std::string out;
    auto designate = [&](const CodeElement* e) {
        out += ESC;
        out += e->escape;
        (e->g1 ? g1 : g0) = e;
    };
    auto backToStart = [&] {
        if (g0 != startG0) designate(startG0);
        if (startG1 != nullptr && g1 != startG1) designate(startG1);
        g1 = startG1;
    };
    for (std::size_t i = 0; i < utf8.size();) {
        const std::size_t length = CharacterLength(utf8, i);
        const std::string_view character = utf8.substr(i, length);
        if (length == 1 && IsTextDelimiter(static_cast<uint8_t>(character[0]), kind)) {
            backToStart();
            out += character;
            i += length;
            continue;
        }
        bool written = false;
        std::vector<const CodeElement*> order = {g0, g1};
        order.insert(order.end(), candidates.begin(), candidates.end());
        for (const CodeElement* e : order) {
            if (e == nullptr) continue;
            const std::optional<std::string> coded = ElementFromUtf8(*e, character);
            if (!coded) continue;
            // A byte that would read as a delimiter or an escape is no way to write another
            // character (the yen sign of JIS X 0201 is 0x5C).
            const auto first = static_cast<uint8_t>((*coded)[0]);
            if (coded->size() == 1 &&
                (IsTextDelimiter(first, kind) || (extensions_ && first == 0x1B)))
                continue;
            if (e != (e->g1 ? g1 : g0)) {
                if (!extensions_) continue;
                designate(e);
            }
            out += *coded;
            written = true;
            break;
        }
        if (!written) return fail(i);
        i += length;
    }
    backToStart();
    return out;
}

std::string Cp1252ToUtf8(std::string_view text) {
    if (IsAscii(text)) return std::string(text);
    return ToUtf8("CP1252", text, ".");
}

std::string ValueToUtf8(const CharacterSet& set, const DicomElement& e) {
    if (!HasValue(e)) return {};
    const ValueView value(e);
    std::string_view bytes(reinterpret_cast<const char*>(value.Data()), value.Bytes().size());
    bytes = bytes.substr(0, bytes.find('\0'));
    const std::optional<TextKind> kind = TextKindOf(e.vr);
    return kind ? set.Decode(bytes, *kind) : Cp1252ToUtf8(bytes);
}

std::string TextToUtf8(std::string_view characterSet, const char vr[2], std::string_view bytes) {
    const std::optional<TextKind> kind = vr[0] != '\0' ? TextKindOf(vr) : std::nullopt;
    if (!kind) return Cp1252ToUtf8(bytes);
    // Listings decode field after field in the same set: it is parsed once.
    thread_local std::string lastValue;
    thread_local std::optional<CharacterSet> last;
    if (!last || lastValue != characterSet) {
        last.emplace(characterSet);
        lastValue = characterSet;
    }
    return last->Decode(bytes, *kind);
}

CharacterSetScopes::CharacterSetScopes(std::shared_ptr<const CharacterSet> outer) {
    levels_.push_back(
        {false, outer != nullptr ? std::move(outer) : std::make_shared<const CharacterSet>()});
}

const std::shared_ptr<const CharacterSet>& CharacterSetScopes::Take(const DicomElement& e) {
    const Tag t = TagOf(e);
    if (t == tag::Item) {
        if (e.length == UNDEFINED_LENGTH) levels_.push_back({true, Current()});
    } else if (t == tag::ItemDelimitationItem) {
        if (levels_.size() > 1 && levels_.back().item) levels_.pop_back();
    } else if (t == tag::SequenceDelimitationItem) {
        // Closes the innermost sequence, with an item left open inside it.
        while (levels_.size() > 1 && levels_.back().item)
            levels_.pop_back();
        if (levels_.size() > 1) levels_.pop_back();
    } else if (e.length == UNDEFINED_LENGTH) {
        levels_.push_back({false, Current()});
    } else if (t == tag::SpecificCharacterSet && HasValue(e)) {
        const std::string_view value(reinterpret_cast<const char*>(e.value), e.length);
        levels_.back().set =
            std::make_shared<const CharacterSet>(value.substr(0, value.find('\0')));
    }
    return Current();
}

}  // namespace dicomlib::data
