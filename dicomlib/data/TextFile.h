// Appending to text files that several threads write: every write opens the file, appends
// the bytes in one unbuffered write and closes it again.
#pragma once

#include <string>
#include <string_view>

namespace dicomlib::data {

// Appends bytes exactly as given; false when path is empty or cannot be opened.
bool AppendToFile(const std::string& path, std::string_view bytes);

}  // namespace dicomlib::data
