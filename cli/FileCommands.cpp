// dump, convert and meta: the file operations of the library on the command line.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "Commands.h"
#include "FrontEnd.h"
#include "Text.h"
#include "zedavura.h"

namespace cli {

extern const Command DumpCommand;
extern const Command ConvertCommand;
extern const Command MetaCommand;

namespace {

// Owns a list made through the C interface.
struct List {
    ElementList* list = NewElementList();
    ~List() { DeleteElementList(list); }
};

void PrintLine(void*, const char* line) {
    std::printf("%s\n", ToTerminal(line).c_str());
}

int RunDump(const Args& args) {
    const Command& self = DumpCommand;
    bool trace = false;
    std::string file;
    for (const auto& a : args) {
        if (a == "--trace") {
            trace = true;
        } else if (file.empty() && (a.empty() || a[0] != '-')) {
            file = a;
        } else {
            return UsageError(self);
        }
    }
    if (file.empty()) return UsageError(self);
    if (!trace) {
        const bool read = DumpFileLines(
            file, [](const char* line) { std::printf("%s\n", ToTerminal(line).c_str()); });
        if (!read) std::printf("Dump Failed!\n");
        return read ? 0 : 1;
    }
    List meta, data;
    uint8_t explicitVr = 1;
    if (!DICOMFile(file.c_str(), meta.list, data.list, &explicitVr)) {
        std::printf("Dump Failed!\n");
        return 1;
    }
    // The lines the trace log would hold, each on one terminal line.
    DumpTagsToTrace(meta.list, PrintLine, nullptr, 1, 0);
    DumpTagsToTrace(data.list, PrintLine, nullptr, explicitVr, BigEndianDataSet(meta.list));
    return 0;
}

// The options of convert and meta: positional arguments and --ts.
bool ParseSyntaxArgs(const Args& args, std::size_t positional, std::vector<std::string>& names,
                     std::string& syntax) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--ts" && i + 1 < args.size()) {
            syntax = SyntaxFromArgument(args[++i]);
            if (syntax.empty()) {
                std::fprintf(stderr, "tessaly-cli: unknown transfer syntax '%s'\n",
                             args[i].c_str());
                return false;
            }
        } else if (!args[i].empty() && args[i][0] != '-' && names.size() < positional) {
            names.push_back(args[i]);
        } else {
            return false;
        }
    }
    return names.size() == positional && !syntax.empty();
}

int RunConvert(const Args& args) {
    const Command& self = ConvertCommand;
    std::vector<std::string> names;
    std::string syntax;
    if (!ParseSyntaxArgs(args, 2, names, syntax)) return UsageError(self);
    char detail[512];
    const int32_t status = ConvertFileTSWithDetail(names[1].c_str(), names[0].c_str(),
                                                   syntax.c_str(), detail, sizeof detail);
    if (status == CONVERT_DONE) return 0;
    // The new file is to blame when it cannot be written, the existing one otherwise.
    const std::string& file = status == CONVERT_CANNOT_WRITE ? names[1] : names[0];
    std::string reason = OutcomeWords(OUTCOME_CONVERT, status);
    if (status == CONVERT_UNKNOWN_TARGET_SYNTAX) reason += " " + syntax;
    if (detail[0] != '\0') reason += std::string(" (") + detail + ")";
    std::fprintf(stderr, "%s: %s\n", file.c_str(), reason.c_str());
    return 1;
}

int RunMeta(const Args& args) {
    const Command& self = MetaCommand;
    std::vector<std::string> names;
    std::string syntax;
    if (!ParseSyntaxArgs(args, 1, names, syntax)) return UsageError(self);
    const std::string& file = names[0];
    if (!std::filesystem::is_regular_file(file)) {
        std::fprintf(stderr, "%s: cannot read the file\n", file.c_str());
        return 1;
    }
    List probe;
    if (DICOMHeader(file.c_str(), probe.list)) {
        std::fprintf(stderr, "%s: already a Part 10 file, left as it was\n", file.c_str());
        return 1;
    }
    if (!AppendMetaHeader(file.c_str(), syntax.c_str())) {
        std::fprintf(stderr,
                     "%s: not changed: not a whole data set in %s, or the file cannot be "
                     "written\n",
                     file.c_str(), syntax.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

const Command DumpCommand{"dump", "dump [--trace] FILE", RunDump};
const Command ConvertCommand{
    "convert", "convert IN OUT --ts implicit|explicit|big|jpeg-lossless|UID", RunConvert};
const Command MetaCommand{"meta", "meta FILE --ts implicit|explicit|big|UID", RunMeta};

}  // namespace cli
