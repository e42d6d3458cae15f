// The local image database: image files in a study/series tree, and three kinds of index
// files (one study index, a series index per study, an image index per series) with one
// comma-separated line per entry, laid out by store/IndexFiles. The index is append-only.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "data/ElementList.h"

namespace dicomlib::store {

// The index root, taken against the process's current directory.
inline const std::filesystem::path INDEX_ROOT = std::filesystem::path(".") / "Database";

bool IsExistingDirectory(const std::filesystem::path& path);

// Creates every missing directory of the path, parents first; a trailing separator is
// ignored. True when the directory exists at the end. An empty path is an error (throws).
bool CreateDirectoryPath(const std::filesystem::path& path);

// The three index lines of a data set, each ended by CR LF (IndexLine of IndexEntryOf).
std::string StudyIndexLine(const ElementList& dataSet, std::string_view dateOfStorage);
std::string SeriesIndexLine(const ElementList& dataSet);
std::string ImageIndexLine(const ElementList& dataSet);

// Enters an instance into the index: a study line when the study's index directory is new, a
// series line when the series' index directory is new, an image line always.
void AddIndexLines(const std::filesystem::path& indexRoot, const ElementList& dataSet);

// As the storage thread has always called it: nothing when the image file already exists,
// otherwise AddIndexLines.
void IndexStoredInstance(const std::filesystem::path& imagePath,
                         const std::filesystem::path& indexRoot, const ElementList& dataSet);

// The process-wide short date format for dates turned into text ("ddmmyyyy" once a service
// job has set it; empty: the platform's own). Letters d, m and y as in "dd", "mm", "yyyy".
void SetShortDateFormat(std::string_view format);
std::string ShortDateFormat();
// Today's local date in the short date format.
std::string FormatShortDate();

}  // namespace dicomlib::store
