#include "store/DatabaseIndex.h"

#include <ctime>
#include <mutex>
#include <stdexcept>

#include "data/Tags.h"
#include "data/TextFile.h"

namespace dicomlib::store {
namespace {

std::mutex gDateFormatMutex;
std::string gDateFormat;

// Index files are appended to by every storage thread; one writer at a time keeps two
// first instances of a new study from both writing its study line.
std::mutex gIndexMutex;

// The data set's own attribute, not one of a sequence before it.
std::string Field(const ElementList& dataSet, uint16_t group, uint16_t element) {
    return data::GetTopLevelString(dataSet, {group, element});
}

std::string Join(std::initializer_list<std::string> fields) {
    std::string line;
    bool first = true;
    for (const auto& f : fields) {
        if (!first) line += ',';
        line += f;
        first = false;
    }
    return line;
}

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
    // The date of storage follows a comma and a section sign (0xA7 in Windows-1252).
    return Join({Field(d, 0x0020, 0x000D), Field(d, 0x0008, 0x0020), Field(d, 0x0008, 0x0030),
                 Field(d, 0x0010, 0x0020), Field(d, 0x0010, 0x0030), Field(d, 0x0010, 0x0010),
                 Field(d, 0x0008, 0x0090), Field(d, 0x0008, 0x0050), Field(d, 0x0008, 0x0061),
                 Field(d, 0x0008, 0x1030)}) +
           ",\xA7" + std::string(dateOfStorage) + "\r\n";
}

std::string SeriesIndexLine(const ElementList& d) {
    return Join({Field(d, 0x0020, 0x0011), Field(d, 0x0020, 0x000E), Field(d, 0x0020, 0x0012),
                 Field(d, 0x0008, 0x0021), Field(d, 0x0008, 0x0031), Field(d, 0x0008, 0x103E),
                 Field(d, 0x0018, 0x5100), Field(d, 0x0018, 0x0015), Field(d, 0x0008, 0x0070),
                 Field(d, 0x0020, 0x0052)}) +
           "\r\n";
}

std::string ImageIndexLine(const ElementList& d) {
    return Join({Field(d, 0x0020, 0x0012), Field(d, 0x0020, 0x0013), Field(d, 0x0008, 0x0018),
                 Field(d, 0x0008, 0x0023), Field(d, 0x0008, 0x0033), Field(d, 0x0018, 0x0086),
                 Field(d, 0x0028, 0x0008), Field(d, 0x0020, 0x1041), Field(d, 0x0008, 0x0016),
                 Field(d, 0x0028, 0x0010), Field(d, 0x0028, 0x0011), Field(d, 0x0008, 0x0008)}) +
           "\r\n";
}

void AddIndexLines(const std::filesystem::path& indexRoot, const ElementList& dataSet) {
    std::lock_guard lock(gIndexMutex);
    const std::filesystem::path studyDir =
        indexRoot / data::GetTopLevelString(dataSet, tag::StudyInstanceUID);
    if (!IsExistingDirectory(studyDir)) {
        CreateDirectoryPath(studyDir);
        if (!data::AppendToFile((indexRoot / "LXStudy.dir").string(),
                                StudyIndexLine(dataSet, FormatShortDate()))) {
            return;
        }
    }
    const std::filesystem::path seriesDir =
        studyDir / data::GetTopLevelString(dataSet, tag::SeriesInstanceUID);
    if (!IsExistingDirectory(seriesDir)) {
        CreateDirectoryPath(seriesDir);
        if (!data::AppendToFile((studyDir / "Series.dir").string(), SeriesIndexLine(dataSet))) {
            return;
        }
    }
    data::AppendToFile((seriesDir / "Image.dir").string(), ImageIndexLine(dataSet));
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
