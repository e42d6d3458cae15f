#include "data/FileBytes.h"

#include <cstdio>
#include <utility>

#if defined(__unix__)
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace dicomlib::data {

FileBytes::~FileBytes() {
#if defined(__unix__)
    if (mapped_) ::munmap(const_cast<uint8_t*>(data_), size_);
#endif
}

FileBytes::FileBytes(FileBytes&& other) noexcept {
    *this = std::move(other);
}

FileBytes& FileBytes::operator=(FileBytes&& other) noexcept {
    if (this != &other) {
        this->~FileBytes();
        copy_ = std::move(other.copy_);
        mapped_ = std::exchange(other.mapped_, false);
        size_ = std::exchange(other.size_, 0);
        data_ = mapped_ ? std::exchange(other.data_, nullptr) : copy_.data();
        other.data_ = nullptr;
    }
    return *this;
}

std::optional<FileBytes> FileBytes::Read(const std::filesystem::path& path) {
    FileBytes bytes;
#if defined(__unix__)
    // A mapping spares the copy into a buffer that is read once and thrown away.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
        const auto size = static_cast<std::size_t>(info.st_size);
        void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
        if (map != MAP_FAILED) {
            ::close(fd);
            bytes.data_ = static_cast<const uint8_t*>(map);
            bytes.size_ = size;
            bytes.mapped_ = true;
            return bytes;
        }
    }
    ::close(fd);
#endif
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return std::nullopt;
    uint8_t chunk[1 << 16];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        bytes.copy_.insert(bytes.copy_.end(), chunk, chunk + got);
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) return std::nullopt;
    bytes.data_ = bytes.copy_.data();
    bytes.size_ = bytes.copy_.size();
    return bytes;
}

}  // namespace dicomlib::data
