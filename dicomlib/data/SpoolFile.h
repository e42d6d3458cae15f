// A file that a data set is written into as its bytes arrive, so that nothing of it has to be
// held in memory: it lives under a name of its own in the folder it is given, is read back like
// any file (ValueFile) and either takes its final name or is removed when it goes. A few bytes
// may be kept free at its front for what belongs ahead of the data set (a file's preamble and
// meta group), so that a data set stored as it came is never copied.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <vector>

#include "data/ByteSink.h"

namespace dicomlib::data {

class SpoolFile : public ByteSink {
  public:
    // A new empty file in directory, with reserved zero bytes in front of what is put. Folders
    // it has to make for it are removed with it when it goes without its final name and they
    // are empty. Never null: a file that cannot be made is one that failed (see Ok).
    static std::unique_ptr<SpoolFile> Create(const std::filesystem::path& directory,
                                             uint64_t reserved);
    ~SpoolFile() override;
    SpoolFile(const SpoolFile&) = delete;
    SpoolFile& operator=(const SpoolFile&) = delete;

    // Appends bytes. Once a write failed (a full disk), bytes are dropped and this is false.
    bool Put(std::span<const uint8_t> bytes) override;
    // Writes what is still buffered; afterwards the file holds every byte put. False when any
    // write failed.
    bool Flush();
    // Marks the file failed: it is removed, whatever else is asked of it.
    void Fail();
    bool Ok() const { return descriptor_ >= 0 && !failed_; }

    const std::filesystem::path& Path() const { return path_; }
    // Where the bytes put begin.
    uint64_t BodyOffset() const { return reserved_; }
    // Replaces bytes of the reserved front; false when they do not fit in it or the write
    // failed.
    bool WriteFront(std::span<const uint8_t> bytes);
    // After Flush: flushed to the disk when durable, and renamed to path. False when that
    // fails; the file then stays under its own name.
    bool Keep(const std::filesystem::path& path, bool durable);

  private:
    SpoolFile(std::filesystem::path path, int descriptor, uint64_t reserved);
    bool WriteAll(std::span<const uint8_t> bytes, uint64_t offset);

    std::filesystem::path path_;
    std::vector<std::filesystem::path> madeFolders_;  // innermost first
    int descriptor_;
    uint64_t reserved_;
    uint64_t written_ = 0;  // bytes of the file on the disk, the reserved front included
    std::vector<uint8_t> buffer_;
    bool failed_ = false;
    bool kept_ = false;
};

}  // namespace dicomlib::data
