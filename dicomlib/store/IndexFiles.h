// The format of the three index files of the local database: "LXStudy.dir" (one line per
// study), "Series.dir" (per series of a study) and "Image.dir" (per instance of a series). A
// line is the fields of one entry in the order of its file's layout, separated by commas (the
// date of storage by a comma and a section sign, 0xA7), ended by CR LF; 8-bit text as the
// values came. Writing and reading both go by the layout tables, so the two cannot drift apart.
//
// A value holding a comma, a line end, or starting with a double quote is written between
// double quotes, its own quotes doubled, so that it keeps its place in the line; every other
// value goes as it is. Lines written before values were quoted read as they were written, a
// comma in a value then splitting it.
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "data/ElementList.h"

namespace dicomlib::store {

enum class IndexLevel { Study, Series, Image };

struct IndexField {
    const char* name;       // the attribute's keyword, or "DateOfStorage"
    Tag tag;                // {0, 0} for the date of storage, which no attribute holds
    const char* separator;  // what comes before the field on a line ("" for the first)
};

// The fields of a level's lines, in line order.
std::span<const IndexField> IndexLayout(IndexLevel level);
// "LXStudy.dir", "Series.dir" or "Image.dir".
const char* IndexFileName(IndexLevel level);

// One line's fields, in layout order.
using IndexEntry = std::vector<std::string>;

// The entry of a data set: each attribute's text as GetTagString gives it (Rows and Columns as
// decimal numbers, the commas of Patient's Name turned into "^", blanks trimmed; missing: ""),
// and the date of storage for the study level.
IndexEntry IndexEntryOf(IndexLevel level, const ElementList& dataSet,
                        std::string_view dateOfStorage = {});
// The line of an entry, CR LF included. Fields past the layout's are left out, missing ones are
// empty.
std::string IndexLine(IndexLevel level, const IndexEntry& entry);

// Every entry of a file's text, in file order; a line with fewer fields gets empty ones, a line
// with more keeps the surplus in its last field. Empty lines are skipped.
std::vector<IndexEntry> ParseIndexText(IndexLevel level, std::string_view text);
// The same for a file; none when it cannot be read.
std::optional<std::vector<IndexEntry>> ReadIndexFile(IndexLevel level,
                                                     const std::filesystem::path& path);

// The field of an entry that holds tag at the level; "" when the level has no such field.
std::string_view IndexValue(IndexLevel level, const IndexEntry& entry, Tag tag);

}  // namespace dicomlib::store
