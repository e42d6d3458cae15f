// thumbnail: JPEG thumbnails of uncompressed images. One file gives one thumbnail under the name
// given (its extension becomes ".jpg"); several files or folders, or an existing output folder,
// give one thumbnail each in the output folder, all in this one process. Each thumbnail written
// is named on standard output.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Commands.h"
#include "Text.h"
#include "zedavura.h"

namespace cli {

extern const Command ThumbnailCommand;

namespace {

namespace fs = std::filesystem;

constexpr int32_t DEFAULT_WIDTH = 128;
constexpr int32_t MAX_WIDTH = 65500;

std::string Reason(int32_t status, int32_t width) {
    std::string words = OutcomeWords(OUTCOME_THUMBNAIL, status);
    if (status == THUMBNAIL_BAD_WIDTH) words += " (--width " + std::to_string(width) + ")";
    return words;
}

// Makes one thumbnail; false (the reason on standard error) when it was not written.
bool Thumbnail(const fs::path& in, const fs::path& out, int32_t width) {
    const int32_t status = CreateThumbnailStatus(out.c_str(), in.c_str(), width);
    if (status == THUMBNAIL_WRITTEN) {
        std::printf("%s\n", fs::path(out).replace_extension(".jpg").c_str());
        return true;
    }
    const fs::path& named = status == THUMBNAIL_CANNOT_WRITE ? out : in;
    std::fprintf(stderr, "%s: %s\n", named.c_str(), Reason(status, width).c_str());
    return false;
}

// A folder's files, by name. Files that are not Part 10 files are left out quietly: a series
// folder may hold an index or a README.
std::vector<fs::path> DicomFilesIn(const fs::path& folder) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (!entry.is_regular_file()) continue;
        ElementList* probe = NewElementList();
        if (DICOMHeader(entry.path().c_str(), probe)) files.push_back(entry.path());
        DeleteElementList(probe);
    }
    std::sort(files.begin(), files.end());
    return files;
}

int RunThumbnail(const Args& args) {
    int32_t width = DEFAULT_WIDTH;
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--width" && i + 1 < args.size()) {
            char* end = nullptr;
            const long value = std::strtol(args[++i].c_str(), &end, 10);
            if (*end != '\0' || value < 1 || value > MAX_WIDTH) {
                std::fprintf(stderr, "tessaly-cli: --width takes 1 to %d\n", MAX_WIDTH);
                return UsageError(ThumbnailCommand);
            }
            width = static_cast<int32_t>(value);
        } else if (!args[i].empty() && args[i][0] != '-') {
            paths.push_back(args[i]);
        } else {
            return UsageError(ThumbnailCommand);
        }
    }
    if (paths.size() < 2) return UsageError(ThumbnailCommand);
    const fs::path out = paths.back();
    paths.pop_back();
    std::error_code ec;
    if (paths.size() == 1 && !fs::is_directory(paths[0], ec) && !fs::is_directory(out, ec))
        return Thumbnail(paths[0], out, width) ? 0 : 1;

    if (!fs::is_directory(out, ec) && !fs::create_directories(out, ec)) {
        std::fprintf(stderr, "%s: cannot make the output folder\n", out.c_str());
        return 1;
    }
    bool allWritten = true;
    for (const fs::path in : paths) {
        if (!fs::is_directory(in, ec)) {
            allWritten = Thumbnail(in, out / in.filename(), width) && allWritten;
            continue;
        }
        const std::vector<fs::path> files = DicomFilesIn(in);
        if (files.empty()) {
            std::fprintf(stderr, "%s: no DICOM files in the folder\n", in.c_str());
            allWritten = false;
        }
        for (const fs::path& file : files)
            allWritten = Thumbnail(file, out / file.filename(), width) && allWritten;
    }
    return allWritten ? 0 : 1;
}

}  // namespace

const Command ThumbnailCommand{
    "thumbnail", "thumbnail FILE OUT.jpg | FILE|FOLDER... OUT_FOLDER [--width N]", RunThumbnail};

}  // namespace cli
