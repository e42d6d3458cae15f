// Text for the terminal: the library speaks Windows-1252, the terminal UTF-8.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "zedavura.h"

namespace cli {

// Windows-1252 to UTF-8, every byte kept (the code page's five unassigned bytes become '.').
std::string Cp1252ToUtf8(std::string_view text);

// UTF-8, as the command line gives it, to Windows-1252; '?' for what the code page lacks.
std::string Utf8ToCp1252(std::string_view text);

// Windows-1252 to UTF-8; control characters other than TAB become '.', so that a value's bytes
// cannot move the cursor or change the terminal.
std::string ToTerminal(std::string_view text);

// UTF-8 for the terminal: control characters other than TAB (C0, DEL and C1) become '.'.
std::string Utf8ToTerminal(std::string_view utf8);

// The UTF-8 of a value (the element's VR, its bytes) in the character set named by the
// (0008,0005) value characterSet: DecodeText.
std::string DecodedText(const char* characterSet, const char vr[2], const uint8_t* value,
                        uint32_t length);

// A record's field in UTF-8 (RecordTextUtf8).
std::string RecordUtf8(const void* record, uint32_t index);

// What of a (0008,0005) value cannot be used, in words; empty when all of it can.
std::string CharacterSetProblem(const std::string& characterSet);

// UTF-8 text as a value of the VR in the character set named by characterSet (EncodeText);
// none, with why in words ("王" cannot be written in ISO_IR 100), when it cannot be.
std::optional<std::string> KeyBytes(const std::string& characterSet, const char* vr,
                                    const std::string& utf8, std::string& why);

// A transfer syntax UID from a UID or the library's name for a syntax (implicit, explicit, big,
// jpeg-lossless); empty for an unknown name.
std::string SyntaxFromArgument(const std::string& argument);

// What the library's outcome code of the family (OUTCOME_STORE, ...) means, in its words; peer
// names the peer where the words speak of it.
std::string OutcomeWords(int32_t family, int32_t code, const std::string& peer = "");

}  // namespace cli
