#include "store/DatabaseIndex.h"

#include <ctime>
#include <mutex>
#include <stdexcept>

#include "data/Tags.h"
#include "data/TextFile.h"
#include "store/IndexFiles.h"

namespace dicomlib::store {
namespace {

std::mutex gDateFormatMutex;
std::string gDateFormat;

// Index files are appended to by every storage thread; one writer at a time keeps two
// first instances of a new study from both writing its study line.
std::mutex gIndexMutex;

std::string FormatDate(const std::tm& date, const std::string& format) {
    if (format.empty()) {
        char text[64];
        std::strftime(text, sizeof text, "%x", &date);
        return text;
    }
    std::string out;
    for (std::size_t i = 0; i < format.size();) {
        const char c = format[i];
        std::size_t run = 1;
        while (i + run < format.size() && format[i + run] == c)
            ++run;
        char number[16];
        if (c == 'd' || c == 'D') {
            std::snprintf(number, sizeof number, run >= 2 ? "%02d" : "%d", date.tm_mday);
            out += number;
        } else if (c == 'm' || c == 'M') {
            std::snprintf(number, sizeof number, run >= 2 ? "%02d" : "%d", date.tm_mon + 1);
            out += number;
        } else if (c == 'y' || c == 'Y') {
            const int year = date.tm_year + 1900;
            std::snprintf(number, sizeof number, run >= 3 ? "%04d" : "%02d",
                          run >= 3 ? year : year % 100);
            out += number;
        } else {
            out.append(run, c);
        }
        i += run;
    }
    return out;
}

}  // namespace

bool IsExistingDirectory(const std::filesystem::path& path) {
    std::error_code ec;
    return std::filesystem::is_directory(path, ec);
}

bool CreateDirectoryPath(const std::filesystem::path& path) {
    if (path.empty()) throw std::invalid_argument("CreateDirectoryPath: empty path");
    std::filesystem::path target = path;
    if (!target.has_filename()) target = target.parent_path();  // a trailing separator
    if (target.native().size() < 3 || IsExistingDirectory(target))
        return IsExistingDirectory(target);
    std::error_code ec;
    std::filesystem::create_directories(target, ec);
    return IsExistingDirectory(target);
}

std::string StudyIndexLine(const ElementList& d, std::string_view dateOfStorage) {
    return IndexLine(IndexLevel::Study, IndexEntryOf(IndexLevel::Study, d, dateOfStorage));
}

std::string SeriesIndexLine(const ElementList& d) {
    return IndexLine(IndexLevel::Series, IndexEntryOf(IndexLevel::Series, d));
}

std::string ImageIndexLine(const ElementList& d) {
    return IndexLine(IndexLevel::Image, IndexEntryOf(IndexLevel::Image, d));
}

void AddIndexLines(const std::filesystem::path& indexRoot, const ElementList& dataSet) {
    std::lock_guard lock(gIndexMutex);
    const std::filesystem::path studyDir =
        indexRoot / data::GetTopLevelString(dataSet, tag::StudyInstanceUID);
    if (!IsExistingDirectory(studyDir)) {
        CreateDirectoryPath(studyDir);
        if (!data::AppendToFile((indexRoot / IndexFileName(IndexLevel::Study)).string(),
                                StudyIndexLine(dataSet, FormatShortDate()))) {
            return;
        }
    }
    const std::filesystem::path seriesDir =
        studyDir / data::GetTopLevelString(dataSet, tag::SeriesInstanceUID);
    if (!IsExistingDirectory(seriesDir)) {
        CreateDirectoryPath(seriesDir);
        if (!data::AppendToFile((studyDir / IndexFileName(IndexLevel::Series)).string(),
                                SeriesIndexLine(dataSet))) {
            return;
        }
    }
    data::AppendToFile((seriesDir / IndexFileName(IndexLevel::Image)).string(),
                       ImageIndexLine(dataSet));
}

void IndexStoredInstance(const std::filesystem::path& imagePath,
                         const std::filesystem::path& indexRoot, const ElementList& dataSet) {
    std::error_code ec;
    if (std::filesystem::exists(imagePath, ec)) return;
    AddIndexLines(indexRoot, dataSet);
}

void SetShortDateFormat(std::string_view format) {
    std::lock_guard lock(gDateFormatMutex);
    gDateFormat.assign(format);
}

std::string ShortDateFormat() {
    std::lock_guard lock(gDateFormatMutex);
    return gDateFormat;
}

std::string FormatShortDate() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return FormatDate(local, ShortDateFormat());
}

}  // namespace dicomlib::store
