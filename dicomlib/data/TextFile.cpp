#include "data/TextFile.h"

#include <cstdio>

namespace dicomlib::data {

bool AppendToFile(const std::string& path, std::string_view bytes) {
    if (path.empty()) return false;
    std::FILE* file = std::fopen(path.c_str(), "ab");
    if (file == nullptr) return false;
    // Unbuffered, so the record reaches the file in one write and is not cut by another
    // thread's record.
    std::setvbuf(file, nullptr, _IONBF, 0);
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

}  // namespace dicomlib::data
