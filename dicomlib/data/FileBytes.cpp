#include "data/FileBytes.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <utility>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dicomlib::data {

ValueFile::~ValueFile() {
    ::close(descriptor_);
}

std::shared_ptr<const ValueFile> ValueFile::Open(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    return std::shared_ptr<const ValueFile>(new ValueFile(fd, static_cast<uint64_t>(info.st_size)));
}

bool ValueFile::Read(uint64_t offset, std::span<uint8_t> out) const {
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t got = ::pread(descriptor_, out.data() + done, out.size() - done,
                                    static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;  // an error, or the file ends before the value does
        done += static_cast<std::size_t>(got);
    }
    return true;
}

FileBytes::~FileBytes() {
    if (mapped_) ::munmap(const_cast<uint8_t*>(data_), size_);
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
        released_ = std::exchange(other.released_, 0);
        data_ = mapped_ ? std::exchange(other.data_, nullptr) : copy_.data();
        other.data_ = nullptr;
    }
    return *this;
}

std::optional<FileBytes> FileBytes::Read(const std::filesystem::path& path) {
    if (const auto file = ValueFile::Open(path)) return Read(*file);
    // A pipe or a device is read to its end.
    std::FILE* stream = std::fopen(path.c_str(), "rb");
    if (stream == nullptr) return std::nullopt;
    FileBytes bytes;
    uint8_t chunk[1 << 16];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, stream)) > 0)
        bytes.copy_.insert(bytes.copy_.end(), chunk, chunk + got);
    const bool failed = std::ferror(stream) != 0;
    std::fclose(stream);
    if (failed) return std::nullopt;
    bytes.data_ = bytes.copy_.data();
    bytes.size_ = bytes.copy_.size();
    return bytes;
}

void FileBytes::Release(std::size_t offset) {
    if (!mapped_) return;
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t end = std::min(offset, size_) / page * page;
    // Only a stretch worth a call: released a megabyte at a time at most.
    if (end < released_ + (std::size_t{1} << 20)) return;
    ::madvise(const_cast<uint8_t*>(data_) + released_, end - released_, MADV_DONTNEED);
    released_ = end;
}

std::optional<FileBytes> FileBytes::Read(const ValueFile& file) {
    FileBytes bytes;
    if (file.Size() == 0) return bytes;
    if (file.Size() > SIZE_MAX) return std::nullopt;
    const auto size = static_cast<std::size_t>(file.Size());
    // Not populated: the pages a reader never touches are never read.
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, file.descriptor_, 0);
    if (map != MAP_FAILED) {
        bytes.data_ = static_cast<const uint8_t*>(map);
        bytes.size_ = size;
        bytes.mapped_ = true;
        return bytes;
    }
    bytes.copy_.resize(size);
    if (!file.Read(0, bytes.copy_)) return std::nullopt;
    bytes.data_ = bytes.copy_.data();
    bytes.size_ = size;
    return bytes;
}

}  // namespace dicomlib::data
