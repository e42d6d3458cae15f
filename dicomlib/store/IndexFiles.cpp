#include "store/IndexFiles.h"

#include <fstream>
#include <iterator>

#include "data/Tags.h"

namespace dicomlib::store {
namespace {

constexpr Tag DATE_OF_STORAGE{0x0000, 0x0000};

constexpr IndexField STUDY_FIELDS[] = {
    {"StudyInstanceUID", {0x0020, 0x000D}, ""},
    {"StudyDate", {0x0008, 0x0020}, ","},
    {"StudyTime", {0x0008, 0x0030}, ","},
    {"PatientID", {0x0010, 0x0020}, ","},
    {"PatientBirthDate", {0x0010, 0x0030}, ","},
    {"PatientName", {0x0010, 0x0010}, ","},
    {"ReferringPhysicianName", {0x0008, 0x0090}, ","},
    {"AccessionNumber", {0x0008, 0x0050}, ","},
    {"ModalitiesInStudy", {0x0008, 0x0061}, ","},
    {"StudyDescription", {0x0008, 0x1030}, ","},
    // A comma and the section sign of Windows-1252.
    {"DateOfStorage", DATE_OF_STORAGE, ",\xA7"},
};

constexpr IndexField SERIES_FIELDS[] = {
    {"SeriesNumber", {0x0020, 0x0011}, ""},       {"SeriesInstanceUID", {0x0020, 0x000E}, ","},
    {"AcquisitionNumber", {0x0020, 0x0012}, ","}, {"SeriesDate", {0x0008, 0x0021}, ","},
    {"SeriesTime", {0x0008, 0x0031}, ","},        {"SeriesDescription", {0x0008, 0x103E}, ","},
    {"PatientPosition", {0x0018, 0x5100}, ","},   {"BodyPartExamined", {0x0018, 0x0015}, ","},
    {"Manufacturer", {0x0008, 0x0070}, ","},      {"FrameOfReferenceUID", {0x0020, 0x0052}, ","},
};

constexpr IndexField IMAGE_FIELDS[] = {
    {"AcquisitionNumber", {0x0020, 0x0012}, ""}, {"InstanceNumber", {0x0020, 0x0013}, ","},
    {"SOPInstanceUID", {0x0008, 0x0018}, ","},   {"ContentDate", {0x0008, 0x0023}, ","},
    {"ContentTime", {0x0008, 0x0033}, ","},      {"EchoNumbers", {0x0018, 0x0086}, ","},
    {"NumberOfFrames", {0x0028, 0x0008}, ","},   {"SliceLocation", {0x0020, 0x1041}, ","},
    {"SOPClassUID", {0x0008, 0x0016}, ","},      {"Rows", {0x0028, 0x0010}, ","},
    {"Columns", {0x0028, 0x0011}, ","},          {"ImageType", {0x0008, 0x0008}, ","},
};

bool NeedsQuotes(std::string_view value) {
    return value.find_first_of(",\r\n") != std::string_view::npos ||
           (!value.empty() && value.front() == '"');
}

std::string Quoted(std::string_view value) {
    std::string out = "\"";
    for (char c : value) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

// Reads the lines of an index text one field at a time.
class FieldReader {
  public:
    explicit FieldReader(std::string_view text) : text_(text) {}

    bool AtEnd() const { return at_ >= text_.size(); }
    bool AtLineEnd() const { return AtEnd() || text_[at_] == '\r' || text_[at_] == '\n'; }

    // Skips the line end (CR LF, or a lone LF or CR).
    void NextLine() {
        if (!AtEnd() && text_[at_] == '\r') ++at_;
        if (!AtEnd() && text_[at_] == '\n') ++at_;
    }

    // Takes the separator when the text goes on with it.
    bool Take(std::string_view separator) {
        if (separator.empty() || text_.substr(at_).substr(0, separator.size()) != separator)
            return false;
        at_ += separator.size();
        return true;
    }

    // One field, up to the next comma or line end. A field that opens with a quote and whose
    // closing quote ends it is unquoted; otherwise it is taken as it stands.
    std::string Field() {
        if (!AtEnd() && text_[at_] == '"') {
            std::string value;
            std::size_t i = at_ + 1;
            for (; i < text_.size(); ++i) {
                if (text_[i] != '"') {
                    value += text_[i];
                } else if (i + 1 < text_.size() && text_[i + 1] == '"') {
                    value += '"';
                    ++i;
                } else {
                    break;
                }
            }
            const std::size_t after = i + 1;
            if (i < text_.size() && (after >= text_.size() || text_[after] == ',' ||
                                     text_[after] == '\r' || text_[after] == '\n')) {
                at_ = after;
                return value;
            }
        }
        const std::size_t end = text_.find_first_of(",\r\n", at_);
        const std::size_t stop = end == std::string_view::npos ? text_.size() : end;
        std::string value(text_.substr(at_, stop - at_));
        at_ = stop;
        return value;
    }

  private:
    std::string_view text_;
    std::size_t at_ = 0;
};

}  // namespace

std::span<const IndexField> IndexLayout(IndexLevel level) {
    switch (level) {
        case IndexLevel::Study:
            return STUDY_FIELDS;
        case IndexLevel::Series:
            return SERIES_FIELDS;
        case IndexLevel::Image:
            break;
    }
    return IMAGE_FIELDS;
}

const char* IndexFileName(IndexLevel level) {
    switch (level) {
        case IndexLevel::Study:
            return "LXStudy.dir";
        case IndexLevel::Series:
            return "Series.dir";
        case IndexLevel::Image:
            break;
    }
    return "Image.dir";
}

IndexEntry IndexEntryOf(IndexLevel level, const ElementList& dataSet,
                        std::string_view dateOfStorage) {
    IndexEntry entry;
    for (const IndexField& field : IndexLayout(level)) {
        entry.push_back(field.tag == DATE_OF_STORAGE ? std::string(dateOfStorage)
                                                     : data::GetTopLevelString(dataSet, field.tag));
    }
    return entry;
}

std::string IndexLine(IndexLevel level, const IndexEntry& entry) {
    std::string line;
    const auto layout = IndexLayout(level);
    for (std::size_t i = 0; i < layout.size(); ++i) {
        line += layout[i].separator;
        const std::string_view value = i < entry.size() ? entry[i] : std::string_view();
        line += NeedsQuotes(value) ? Quoted(value) : std::string(value);
    }
    return line + "\r\n";
}

std::vector<IndexEntry> ParseIndexText(IndexLevel level, std::string_view text) {
    const auto layout = IndexLayout(level);
    std::vector<IndexEntry> entries;
    FieldReader reader(text);
    while (!reader.AtEnd()) {
        if (reader.AtLineEnd()) {
            reader.NextLine();
            continue;
        }
        IndexEntry entry;
        for (std::size_t i = 0; i < layout.size(); ++i) {
            if (i > 0 && !reader.Take(layout[i].separator) && !reader.Take(",")) break;
            entry.push_back(reader.Field());
        }
        // Surplus fields of an old line whose values held commas stay together in the last.
        while (!entry.empty() && !reader.AtLineEnd() && reader.Take(","))
            entry.back() += "," + reader.Field();
        entry.resize(layout.size());
        entries.push_back(std::move(entry));
        reader.NextLine();
    }
    return entries;
}

std::optional<std::vector<IndexEntry>> ReadIndexFile(IndexLevel level,
                                                     const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (file.bad()) return std::nullopt;
    return ParseIndexText(level, text);
}

std::string_view IndexValue(IndexLevel level, const IndexEntry& entry, Tag tag) {
    const auto layout = IndexLayout(level);
    for (std::size_t i = 0; i < layout.size() && i < entry.size(); ++i)
        if (layout[i].tag == tag) return entry[i];
    return {};
}

}  // namespace dicomlib::store
