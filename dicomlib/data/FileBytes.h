// A whole file's bytes, read-only: mapped into memory where the platform can, read otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

namespace dicomlib::data {

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

    static std::optional<FileBytes> Read(const std::filesystem::path& path);

  private:
    const uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    bool mapped_ = false;
    std::vector<uint8_t> copy_;
};

}  // namespace dicomlib::data
