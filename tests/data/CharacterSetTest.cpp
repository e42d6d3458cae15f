// Text values in their Specific Character Set: escape sequences within values, the return to
// value 1 at every delimiter, what cannot be decoded or is not understood, and keys written
// in a set. pydicom judges the decoding of its own sample files in the interop suite.
#include <gtest/gtest.h>

#include <string>

#include "data/CharacterSet.h"

using dicomlib::data::CharacterSet;
using dicomlib::data::TextKind;

namespace {

std::string Decoded(const char* set, const std::string& bytes, TextKind kind = TextKind::Values) {
    return CharacterSet(set).Decode(bytes, kind);
}

// A Japanese name in its three component groups, as chrH31.dcm of pydicom's samples holds it:
// every group and component back in ASCII before its delimiter.
const std::string YAMADA_BYTES =
    "Yamada^Tarou=\x1b$B;3ED\x1b(B^\x1b$BB@O:\x1b(B=\x1b$B$d$^$@\x1b(B^\x1b$B$?$m$&\x1b(B";
const std::string YAMADA = "Yamada^Tarou=山田^太郎=やまだ^たろう";

}  // namespace

TEST(CharacterSet, EscapeSequencesSwitchWithinValuesAndValueOneReturnsAtEachDelimiter) {
    EXPECT_EQ(Decoded("\\ISO 2022 IR 87", YAMADA_BYTES, TextKind::PersonName), YAMADA);
    // Two values of an LO, each designating JIS X 0208 again.
    EXPECT_EQ(Decoded("\\ISO 2022 IR 87", "\x1b$B;3ED\x1b(B\\\x1b$B$d$^$@\x1b(B"), "山田\\やまだ");
    // G1 switched to Cyrillic falls back to Latin-1 of value 1 after a component delimiter of a
    // name, after a value delimiter, after a line end of a text; a text has no components.
    const char* latinCyrillic = "ISO 2022 IR 100\\ISO 2022 IR 144";
    EXPECT_EQ(Decoded(latinCyrillic, "\x1b-L\xbb\xee^\xe9", TextKind::PersonName), "Лю^é");
    EXPECT_EQ(Decoded(latinCyrillic, "\x1b-L\xbb\\\xe9"), "Л\\é");
    EXPECT_EQ(Decoded(latinCyrillic, "\x1b-L\xbb^\xbb\r\n\xe9", TextKind::Text), "Л^Л\r\né");
    // JIS X 0212 (three bytes in EUC-JP), KS X 1001 and GB 2312 in their code elements.
    EXPECT_EQ(Decoded("\\ISO 2022 IR 159", "\x1b$(D\x30\x21\x1b(B"), "丂");
    EXPECT_EQ(Decoded("\\ISO 2022 IR 149", "\x1b$)C\xb0\xa1"), "가");
    EXPECT_EQ(Decoded("\\ISO 2022 IR 58", "\x1b$)A\xb0\xa1"), "啊");
    // JIS X 0201 as value 1: katakana in G1, romaji in G0 (where 0x5C is the yen sign).
    EXPECT_EQ(Decoded("ISO 2022 IR 13", "\xd4\xcf\xc0\xde\x5c", TextKind::Text), "ﾔﾏﾀﾞ¥");
    // Sets without code extensions take an escape as a control character.
    EXPECT_EQ(Decoded("ISO_IR 144", "\x1b-A\xbb"), "\x1b-AЛ");
    EXPECT_EQ(Decoded("GB18030", "\xcd\xf5^\x5c", TextKind::PersonName), "王^\\");
}

TEST(CharacterSet, MalformedBytesAndUnknownTermsFallBackWithoutFailing) {
    // An unknown term reads as the default repertoire, shown as it always was, and says so.
    const CharacterSet unknown("ISO_IR 999 ");
    EXPECT_EQ(unknown.Decode("Ren\xe9\x81", TextKind::Values), "René.");
    EXPECT_NE(unknown.Warning().find("unknown term \"ISO_IR 999\""), std::string::npos);
    EXPECT_TRUE(CharacterSet("ISO_IR 100").Warning().empty());
    EXPECT_TRUE(CharacterSet("").Warning().empty());
    // A set without code extensions is read alone; the terms after it are named.
    const CharacterSet utf8First("ISO_IR 192\\ISO 2022 IR 87");
    EXPECT_EQ(utf8First.Decode("王\xff", TextKind::Values), "王\xEF\xBF\xBD");
    EXPECT_NE(utf8First.Warning().find("takes no code extensions"), std::string::npos);
    // ISO_IR 100 beside other terms is its ISO 2022 twin.
    EXPECT_EQ(Decoded("ISO_IR 100\\ISO 2022 IR 144", "\xe9\x1b-L\xbb"), "éЛ");

    const char* korean = "\\ISO 2022 IR 149";
    // An escape sequence nobody defined is one U+FFFD; bytes above 0x7F with nothing in G1
    // are one each.
    EXPECT_EQ(Decoded(korean, "A\x1b$)Z\xb0\xa1"), "A\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    // An escape cut off by the end of the value, a lone byte of a double-byte set, and a
    // double-byte character missing its second byte.
    EXPECT_EQ(Decoded(korean, "AB\x1b$"), "AB\xEF\xBF\xBD");
    EXPECT_EQ(Decoded("\\ISO 2022 IR 87", "\x1b$B;3E"), "山\xEF\xBF\xBD");
    EXPECT_EQ(Decoded(korean, "\x1b$)C\xb0"), "\xEF\xBF\xBD");
    EXPECT_EQ(Decoded("ISO_IR 192", "\xe7\x8e"), "\xEF\xBF\xBD");
    // No UTF-8 beyond U+10FFFF or of a surrogate gets through.
    EXPECT_EQ(Decoded("ISO_IR 192", "a\xf6\xa7\xed\xa0"),
              "a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(Decoded("ISO_IR 127", "\xa1"), "\xEF\xBF\xBD");  // unassigned in ISO 8859-6
}

TEST(CharacterSet, EncodesKeysAsTheSetsOwnSamplesAreWritten) {
    // Byte for byte as pydicom's samples chrH31.dcm and chrI2.dcm: G0 back to ASCII before
    // each delimiter, G1 designated again in each component.
    EXPECT_EQ(CharacterSet("\\ISO 2022 IR 87").Encode(YAMADA, TextKind::PersonName), YAMADA_BYTES);
    EXPECT_EQ(CharacterSet("\\ISO 2022 IR 149")
                  .Encode("Hong^Gildong=洪^吉洞=홍^길동", TextKind::PersonName),
              "Hong^Gildong=\x1b$)C\xfb\xf3^\x1b$)C\xd1\xce\xd4\xd7=\x1b$)C\xc8\xab^\x1b$)C\xb1\xe6"
              "\xb5\xbf");
    EXPECT_EQ(CharacterSet("ISO_IR 144").Encode("Люкceмбypг", TextKind::PersonName),
              "\xbb\xee\xda"
              "ce\xdc\xd1yp\xd3");
    EXPECT_EQ(CharacterSet("ISO_IR 192").Encode("王^小東", TextKind::PersonName), "王^小東");
    // Each character in the first element of the set list that holds it.
    const CharacterSet mixed("ISO 2022 IR 100\\ISO 2022 IR 144\\ISO 2022 IR 87");
    const std::string text = "Zoë Лю 山";
    const auto bytes = mixed.Encode(text, TextKind::Values);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, "Zo\xeb \x1b-L\xbb\xee \x1b$B;3\x1b(B\x1b-A");
    EXPECT_EQ(mixed.Decode(*bytes, TextKind::Values), text);

    // What a set cannot hold is refused at the character that does not fit.
    std::size_t at = 99;
    EXPECT_FALSE(CharacterSet("ISO_IR 100").Encode("Müller 王", TextKind::PersonName, &at));
    EXPECT_EQ(at, 8u);
    EXPECT_FALSE(CharacterSet().Encode("Zoë", TextKind::PersonName, &at));
    EXPECT_EQ(at, 2u);
    EXPECT_FALSE(CharacterSet("ISO_IR 192").Encode("ab\xff", TextKind::Values, &at));
    EXPECT_EQ(at, 2u);
    EXPECT_EQ(CharacterSet().Encode("DOE*", TextKind::PersonName), "DOE*");
    // A multi-byte set alone as value 1 still starts, and goes on, in ASCII.
    EXPECT_EQ(CharacterSet("ISO 2022 IR 87").Encode("山 a", TextKind::Values), "\x1b$B;3\x1b(B a");
}
