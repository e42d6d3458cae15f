#include "data/SpoolFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>
#include <system_error>

namespace dicomlib::data {
namespace {

// Bytes gathered before each write.
constexpr std::size_t WRITE_SIZE = std::size_t{1} << 20;

}  // namespace

std::unique_ptr<SpoolFile> SpoolFile::Create(const std::filesystem::path& directory,
                                             uint64_t reserved) {
    // A dot name: folder listings and the index pass it by while it is being received. Made
    // as any file is (0666 under the umask), since it may become a stored file.
    static std::atomic<unsigned> counter{0};
    std::vector<std::filesystem::path> made;
    std::error_code ec;
    for (std::filesystem::path p = directory.lexically_normal(); !p.empty() && p != p.root_path();
         p = p.parent_path()) {
        if (p.filename().empty()) continue;  // a trailing separator
        if (std::filesystem::exists(p, ec)) break;
        made.push_back(p);
    }
    std::filesystem::path name;
    int descriptor = -1;
    for (int attempt = 0; attempt < 100 && descriptor < 0; ++attempt) {
        // Made anew on each attempt: another spool that went may have taken its folder along.
        std::filesystem::create_directories(directory, ec);
        name = directory /
               (".receiving-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        descriptor = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (descriptor < 0 && errno != EEXIST && errno != ENOENT) break;
    }
    std::unique_ptr<SpoolFile> file(
        new SpoolFile(descriptor >= 0 ? name : std::filesystem::path(), descriptor, reserved));
    if (descriptor >= 0 && reserved > 0) {
        const std::vector<uint8_t> zeros(reserved);
        if (!file->WriteAll(zeros, 0)) file->Fail();
    }
    file->written_ = reserved;
    file->madeFolders_ = std::move(made);
    return file;
}

SpoolFile::SpoolFile(std::filesystem::path path, int descriptor, uint64_t reserved)
    : path_(std::move(path)), descriptor_(descriptor), reserved_(reserved) {
    if (descriptor_ >= 0) buffer_.reserve(WRITE_SIZE);
}

SpoolFile::~SpoolFile() {
    if (descriptor_ >= 0) ::close(descriptor_);
    if (kept_) return;
    std::error_code ec;
    if (descriptor_ >= 0) std::filesystem::remove(path_, ec);
    // Only empty ones go: another file may have come into them meanwhile.
    for (const auto& folder : madeFolders_)
        if (!std::filesystem::remove(folder, ec)) break;
}

bool SpoolFile::WriteAll(std::span<const uint8_t> bytes, uint64_t offset) {
    while (!bytes.empty()) {
        const ssize_t n =
            ::pwrite(descriptor_, bytes.data(), bytes.size(), static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes = bytes.subspan(static_cast<std::size_t>(n));
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

bool SpoolFile::Put(std::span<const uint8_t> bytes) {
    if (!Ok()) return false;
    while (!bytes.empty()) {
        const std::size_t n = std::min(WRITE_SIZE - buffer_.size(), bytes.size());
        buffer_.insert(buffer_.end(), bytes.begin(),
                       bytes.begin() + static_cast<std::ptrdiff_t>(n));
        bytes = bytes.subspan(n);
        if (buffer_.size() == WRITE_SIZE && !Flush()) return false;
    }
    return true;
}

bool SpoolFile::Flush() {
    if (!Ok()) return false;
    if (!WriteAll(buffer_, written_)) {
        Fail();
        return false;
    }
    written_ += buffer_.size();
    buffer_.clear();
    return true;
}

void SpoolFile::Fail() {
    failed_ = true;
    buffer_ = std::vector<uint8_t>();
}

bool SpoolFile::WriteFront(std::span<const uint8_t> bytes) {
    return Ok() && bytes.size() <= reserved_ && WriteAll(bytes, 0);
}

bool SpoolFile::Keep(const std::filesystem::path& path, bool durable) {
    if (!Flush() || (durable && ::fsync(descriptor_) != 0)) return false;
    std::error_code ec;
    std::filesystem::rename(path_, path, ec);
    if (ec) return false;
    kept_ = true;
    return true;
}

}  // namespace dicomlib::data
