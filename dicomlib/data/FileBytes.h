// Reading files without holding them: a whole file's bytes, mapped read-only where the platform
// can and read otherwise, and an open file that values left in it are read from later with
// positioned reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace dicomlib::data {

// An open file, read at any offset from any thread. Values read from a file and left where they
// lie share it; it is closed when the last of them goes. A file replaced under the same name
// stays readable as it was; one cut short in place gives failed reads, never bytes past its end.
class ValueFile {
  public:
    ~ValueFile();
    ValueFile(const ValueFile&) = delete;
    ValueFile& operator=(const ValueFile&) = delete;

    // Null when the file cannot be opened for reading or is no regular file.
    static std::shared_ptr<const ValueFile> Open(const std::filesystem::path& path);

    // The size when it was opened.
    uint64_t Size() const { return size_; }
    // Fills out from offset on; false when the file no longer holds all those bytes.
    bool Read(uint64_t offset, std::span<uint8_t> out) const;

  private:
    ValueFile(int descriptor, uint64_t size) : descriptor_(descriptor), size_(size) {}
    friend class FileBytes;
    int descriptor_;
    uint64_t size_;
};

class FileBytes {
  public:
    FileBytes() = default;
    ~FileBytes();
    FileBytes(FileBytes&& other) noexcept;
    FileBytes& operator=(FileBytes&& other) noexcept;
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;

    const uint8_t* Data() const { return data_; }
    std::size_t Size() const { return size_; }
    std::span<const uint8_t> Span() const { return {data_, size_}; }

    // The whole file. A mapping is read only where it is touched, so a reader that skips
    // large values never brings them into memory.
    static std::optional<FileBytes> Read(const std::filesystem::path& path);
    // The whole of an open file, as it was when it was opened.
    static std::optional<FileBytes> Read(const ValueFile& file);

    // Gives back the mapped pages below offset, which a forward reader has passed: pages once
    // touched count as the process's memory while they stay mapped, and the kernel maps a
    // touched page's cached neighbours with it, so a walk over the headers of many fragments
    // would otherwise hold much of the file. The bytes stay readable. Nothing for a copy.
    void Release(std::size_t offset);

  private:
    const uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    bool mapped_ = false;
    std::size_t released_ = 0;  // of a mapping, the pages below this are given back
    std::vector<uint8_t> copy_;
};

}  // namespace dicomlib::data
