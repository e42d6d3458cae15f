// The live line of what a storage provider saw, as tessaly-cli scp prints it and the window
// lists it: the local time of day to the millisecond, "#" and the association's number, then
// the association answered, the message and its answer, or the end.
#pragma once

#include <string>

#include "zedavura.h"

namespace cli {

// One line, without its line end; texts are the library's (Windows-1252).
std::string ProviderEventLine(const ProviderEvent& event);

}  // namespace cli
