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

// The list cut into records: each starts at a Directory Record Type outside any sequence.
std::vector<std::vector<ElementView>> Records(ElementList* list) {
    std::vector<std::vector<ElementView>> records;
    int depth = 0;
    for (uint32_t i = 0; i < TagCount(list); ++i) {
        const ElementView e = ViewOf(*TagAt(list, i));
        if (depth == 0 && e.group == 0x0004 && e.element == 0x1430) records.emplace_back();
        if (e.group == 0xFFFE && e.element != 0xE000) {
            if (depth > 0) --depth;
        } else if (e.length == UNDEFINED_LENGTH) {
            ++depth;
        }
        if (!records.empty()) records.back().push_back(e);
    }
    return records;
}

std::string Find(const std::vector<ElementView>& record, uint16_t group, uint16_t element) {
    int depth = 0;
    for (const ElementView& e : record) {
        if (e.group == 0xFFFE && e.element != 0xE000) {
            if (depth > 0) --depth;
        } else if (e.length == UNDEFINED_LENGTH) {
            ++depth;
        } else if (depth == 0 && e.group == group && e.element == element) {
            return TrimmedText(e);
        }
    }
    return {};
}

// " label value" when the value is there.
std::string Field(const std::string& label, const std::string& value) {
    if (value.empty()) return {};
    return "  " + label + (label.empty() ? "" : " ") + ToTerminal(value);
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

void PrintTree(const std::vector<std::vector<ElementView>>& records, const fs::path& folder) {
    if (records.empty()) std::printf("(no records)\n");
    for (const auto& record : records) {
        const std::string type = TrimmedText(record.front());
        std::string line;
        if (type == "PATIENT") {
            line = "PATIENT" + Field("", Find(record, 0x0010, 0x0010)) +
                   Field("ID", Find(record, 0x0010, 0x0020)) +
                   Field("born", Find(record, 0x0010, 0x0030)) +
                   Field("sex", Find(record, 0x0010, 0x0040));
        } else if (type == "STUDY") {
            line = "  STUDY" + Field("", Find(record, 0x0008, 0x0020)) +
                   Field("ID", Find(record, 0x0020, 0x0010)) +
                   Field("accession", Find(record, 0x0008, 0x0050)) +
                   Field("", Find(record, 0x0008, 0x1030));
        } else if (type == "SERIES") {
            line = "    SERIES" + Field("", Find(record, 0x0008, 0x0060)) +
                   Field("number", Find(record, 0x0020, 0x0011)) +
                   Field("", Find(record, 0x0008, 0x103E));
        } else {
            line = "      " + ToTerminal(type) + Field("number", Find(record, 0x0020, 0x0013)) +
                   Field("file", FilePath(folder, Find(record, 0x0004, 0x1500)));
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
    if (!json) {
        PrintTree(cut, fs::path(file).parent_path());
        return 0;
    }
    std::string out = "[";
    for (std::size_t i = 0; i < cut.size(); ++i)
        out += (i == 0 ? "\n" : ",\n") + JsonObject(cut[i]);
    out += cut.empty() ? "]\n" : "\n]\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}

}  // namespace

const Command DicomdirCommand{"dicomdir", "dicomdir FILE|FOLDER [--json]", RunDicomdir};

}  // namespace cli
