// Text for the terminal: the library speaks Windows-1252, the terminal UTF-8.
#pragma once

#include <cstdint>
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

// A transfer syntax UID from a UID or the library's name for a syntax (implicit, explicit, big,
// jpeg-lossless); empty for an unknown name.
std::string SyntaxFromArgument(const std::string& argument);

// What the library's outcome code of the family (OUTCOME_STORE, ...) means, in its words; peer
// names the peer where the words speak of it.
std::string OutcomeWords(int32_t family, int32_t code, const std::string& peer = "");

}  // namespace cli
