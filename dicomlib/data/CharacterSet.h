// Text values in the character set a data set names in Specific Character Set (0008,0005),
// turned into UTF-8 for people and JSON, and UTF-8 turned into such a set for the keys we send.
// The characters themselves are converted by iconv; this module only knows the defined terms,
// their escape sequences and where ISO 2022 code extensions return to the set of value 1.
// Without (0008,0005), and with "ISO_IR 100", bytes are read as Windows-1252, as they always
// were shown, so that existing listings and dumps stay as they are.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data/ElementList.h"

namespace dicomlib::data {

// How a value is divided: a person name into component groups, components and values; other
// strings into values at the backslash; texts (ST, LT, UT) not at all.
enum class TextKind : uint8_t { Values, PersonName, Text };

// The kind of the VRs that the character set applies to (SH, LO, UC, PN, ST, LT, UT); none for
// every other VR, whose values are in the default repertoire.
std::optional<TextKind> TextKindOf(const char vr[2]);

struct CodeElement;
struct DefinedTerm;

class CharacterSet {
  public:
    // The default repertoire.
    CharacterSet() = default;
    // The set named by a value of (0008,0005): defined terms separated by backslashes, blanks
    // around them ignored. Unknown terms are left out (the default repertoire in their place)
    // and named in Warning().
    explicit CharacterSet(std::string_view specificCharacterSet);

    // The value as given, without its padding.
    const std::string& Value() const { return value_; }
    // What could not be used, in words; empty when every term was understood.
    const std::string& Warning() const { return warning_; }

    // UTF-8 of a value's bytes (all of them: a NUL stays a NUL). Bytes that do not decode
    // become U+FFFD; ISO 2022 escape sequences are taken out.
    std::string Decode(std::string_view bytes, TextKind kind) const;

    // The bytes of UTF-8 text in this set, escape sequences included and every value (and
    // person name component group) back in the set of value 1 at its end. None when a
    // character cannot be written in the set or the text is no UTF-8; *failedAt then gets the
    // offset of that character.
    std::optional<std::string> Encode(std::string_view utf8, TextKind kind,
                                      std::size_t* failedAt = nullptr) const;

  private:
    std::string DecodeExtended(std::string_view bytes, TextKind kind) const;
    std::string value_, warning_;
    // Without code extensions: the one term (null: the default repertoire).
    const DefinedTerm* single_ = nullptr;
    bool extensions_ = false;
    // With code extensions: what value 1 puts in G0 and G1, and every element the terms name.
    const CodeElement* initialG0_ = nullptr;
    const CodeElement* initialG1_ = nullptr;
    std::vector<const CodeElement*> elements_;
};

// Windows-1252 to UTF-8, every byte kept (the five bytes the code page leaves unassigned show
// as '.'): the library's dictionary names, and values outside the character set's reach.
std::string Cp1252ToUtf8(std::string_view text);

// The UTF-8 text of an element's value for people: the value up to its first NUL, decoded by
// the set when its VR is one the set applies to, read as Windows-1252 otherwise.
std::string ValueToUtf8(const CharacterSet& set, const DicomElement& element);

// The UTF-8 of the bytes of a value whose VR is vr (two letters, or none) in the set named by
// the (0008,0005) value characterSet: decoded when the set applies to the VR, read as
// Windows-1252 otherwise. NUL bytes stay.
std::string TextToUtf8(std::string_view characterSet, const char vr[2], std::string_view bytes);

// The character set in force at each element of a flat list, which holds sequences as items
// and delimiters: the list's own (0008,0005), or the one an item declares for its elements up
// to its delimiter; an item without one keeps the set around it.
class CharacterSetScopes {
  public:
    explicit CharacterSetScopes(std::shared_ptr<const CharacterSet> outer = nullptr);
    // Takes the next element of the list, in order; the set that holds for its value.
    const std::shared_ptr<const CharacterSet>& Take(const DicomElement& element);
    const std::shared_ptr<const CharacterSet>& Current() const { return levels_.back().set; }

  private:
    struct Level {
        bool item;
        std::shared_ptr<const CharacterSet> set;
    };
    std::vector<Level> levels_;
};

}  // namespace dicomlib::data
