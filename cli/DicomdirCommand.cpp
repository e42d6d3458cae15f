// dicomdir: the records of a DICOMDIR as an indented patient / study / series / image tree, or
// with --json as one JSON array of the records in hierarchy order, for scripts.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "Commands.h"
#include "DicomJson.h"
#include "Text.h"
#include "zedavura.h"

namespace cli {

extern const Command DicomdirCommand;

namespace {

namespace fs = std::filesystem;

struct List {
    ElementList* list = NewElementList();
    ~List() { DeleteElementList(list); }
};

// Follows the nesting of a flat list: items and sequences of undefined length open a level,
// delimiters close one.
struct Depth {
    int depth = 0;
    // Takes the next element; true when it stands at the top level.
    bool Take(const ElementView& e) {
        const bool top = depth == 0;
        if (e.group == 0xFFFE && e.element != 0xE000) {
            if (depth > 0) --depth;
        } else if (e.length == UNDEFINED_LENGTH) {
            ++depth;
        }
        return top;
    }
};

// The list cut into records: each starts at a Directory Record Type outside any sequence.
std::vector<std::vector<ElementView>> Records(ElementList* list) {
    std::vector<std::vector<ElementView>> records;
    Depth depth;
    for (uint32_t i = 0; i < TagCount(list); ++i) {
        const ElementView e = ViewOf(*TagAt(list, i));
        if (depth.Take(e) && e.group == 0x0004 && e.element == 0x1430) records.emplace_back();
        if (!records.empty()) records.back().push_back(e);
    }
    return records;
}

// The top-level element of a record (or a whole data set) with that tag, or null.
const ElementView* Find(const std::vector<ElementView>& record, uint16_t group, uint16_t element) {
    Depth depth;
    for (const ElementView& e : record) {
        if (depth.Take(e) && e.length != UNDEFINED_LENGTH && e.group == group &&
            e.element == element)
            return &e;
    }
    return nullptr;
}

// The Specific Character Set of the directory itself, which its records keep unless they name
// their own.
std::string DirectoryCharacterSet(const std::string& file) {
    List header;
    if (DICOMHeader(file.c_str(), header.list) == 0) return {};
    std::vector<ElementView> views;
    for (uint32_t i = 0; i < TagCount(header.list); ++i)
        views.push_back(ViewOf(*TagAt(header.list, i)));
    const ElementView* set = Find(views, 0x0008, 0x0005);
    return set != nullptr ? TrimmedText(*set) : std::string();
}

// A record's value in UTF-8 without its padding, decoded by the record's character set.
struct RecordValues {
    const std::vector<ElementView>& record;
    std::string characterSet;
    RecordValues(const std::vector<ElementView>& r, const std::string& directorySet)
        : record(r), characterSet(directorySet) {
        if (const ElementView* own = Find(r, 0x0008, 0x0005)) characterSet = TrimmedText(*own);
    }
    std::string operator()(uint16_t group, uint16_t element) const {
        const ElementView* e = Find(record, group, element);
        if (e == nullptr || e->value == nullptr) return {};
        std::string text = DecodedText(characterSet.c_str(), e->vr, e->value, e->length);
        text.erase(text.find_last_not_of(std::string(" \0", 2)) + 1);
        text.erase(0, text.find_first_not_of(' '));
        return text;
    }
};

// " label value" when the value is there.
std::string Field(const std::string& label, const std::string& value) {
    if (value.empty()) return {};
    return "  " + label + (label.empty() ? "" : " ") + Utf8ToTerminal(value);
}

// The referenced file as a path beside the DICOMDIR.
std::string FilePath(const fs::path& folder, const std::string& fileId) {
    if (fileId.empty()) return {};
    fs::path path = folder;
    std::size_t start = 0;
    for (std::size_t at = 0; at <= fileId.size(); ++at) {
        if (at == fileId.size() || fileId[at] == '\\') {
            std::string part = fileId.substr(start, at - start);
            while (!part.empty() && part.back() == ' ')
                part.pop_back();
            if (!part.empty()) path /= part;
            start = at + 1;
        }
    }
    return path.string();
}

void PrintTree(const std::vector<std::vector<ElementView>>& records, const fs::path& folder,
               const std::string& directorySet) {
    if (records.empty()) std::printf("(no records)\n");
    for (const auto& record : records) {
        const std::string type = TrimmedText(record.front());
        const RecordValues text(record, directorySet);
        std::string line;
        if (type == "PATIENT") {
            line = "PATIENT" + Field("", text(0x0010, 0x0010)) + Field("ID", text(0x0010, 0x0020)) +
                   Field("born", text(0x0010, 0x0030)) + Field("sex", text(0x0010, 0x0040));
        } else if (type == "STUDY") {
            line = "  STUDY" + Field("", text(0x0008, 0x0020)) + Field("ID", text(0x0020, 0x0010)) +
                   Field("accession", text(0x0008, 0x0050)) + Field("", text(0x0008, 0x1030));
        } else if (type == "SERIES") {
            line = "    SERIES" + Field("", text(0x0008, 0x0060)) +
                   Field("number", text(0x0020, 0x0011)) + Field("", text(0x0008, 0x103E));
        } else {
            line = "      " + ToTerminal(type) + Field("number", text(0x0020, 0x0013)) +
                   Field("file", FilePath(folder, text(0x0004, 0x1500)));
        }
        std::printf("%s\n", line.c_str());
    }
}

int RunDicomdir(const Args& args) {
    bool json = false;
    std::string file;
    for (const auto& a : args) {
        if (a == "--json") {
            json = true;
        } else if (file.empty() && !a.empty() && a[0] != '-') {
            file = a;
        } else {
            return UsageError(DicomdirCommand);
        }
    }
    if (file.empty()) return UsageError(DicomdirCommand);
    std::error_code ec;
    if (fs::is_directory(file, ec)) file = (fs::path(file) / "DICOMDIR").string();

    List records;
    if (const int32_t read = ReadDCMDIRStatus(file.c_str(), records.list); read != DICOMDIR_READ) {
        std::fprintf(stderr, "%s: %s\n", file.c_str(),
                     OutcomeWords(OUTCOME_DICOMDIR, read).c_str());
        return 1;
    }
    const auto cut = Records(records.list);
    const std::string directorySet = DirectoryCharacterSet(file);
    if (const std::string problem = CharacterSetProblem(directorySet); !problem.empty())
        std::fprintf(stderr, "tessaly-cli: dicomdir: warning: %s\n",
                     Utf8ToTerminal(problem).c_str());
    if (!json) {
        PrintTree(cut, fs::path(file).parent_path(), directorySet);
        return 0;
    }
    std::string out = "[";
    for (std::size_t i = 0; i < cut.size(); ++i)
        out += (i == 0 ? "\n" : ",\n") + JsonObject(cut[i], directorySet);
    out += cut.empty() ? "]\n" : "\n]\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}

}  // namespace

const Command DicomdirCommand{"dicomdir", "dicomdir FILE|FOLDER [--json]", RunDicomdir};

}  // namespace cli
