// Text for the terminal: the library speaks Windows-1252, the terminal UTF-8.
#pragma once

#include <string>
#include <string_view>

#include "zedavura.h"

namespace cli {

// Windows-1252 to UTF-8, every byte kept (the code page's five unassigned bytes become '.').
std::string Cp1252ToUtf8(std::string_view text);

// Windows-1252 to UTF-8; control characters other than TAB become '.', so that a value's bytes
// cannot move the cursor or change the terminal.
std::string ToTerminal(std::string_view text);

// A transfer syntax UID from a UID or one of the names implicit, explicit, big, jpeg-lossless;
// empty for an unknown name.
std::string SyntaxFromArgument(const std::string& argument);

// The transfer syntax UID of a file meta group list, without its pad; empty when absent.
std::string TransferSyntaxOf(const ElementList* meta);

}  // namespace cli
