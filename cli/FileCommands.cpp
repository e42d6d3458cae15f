// dump, convert and meta: the file operations of the library on the command line.
#include <chrono>
#include <cstdio>
#include <cstdlib>
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

// What the pixel data of a file takes and would take uncompressed, in bytes; zeros when the
// file has none or cannot be read.
struct PixelBytes {
    uint64_t stored = 0;
    uint64_t native = 0;
};

PixelBytes PixelBytesOf(const std::string& file) {
    List meta, data;
    uint8_t explicitVr = 1;
    PixelBytes bytes;
    if (!DICOMFile(file.c_str(), meta.list, data.list, &explicitVr)) return bytes;
    const bool big = BigEndianDataSet(meta.list);
    uint64_t rows = 0, columns = 0, samples = 1, bits = 0, frames = 1;
    bool inPixels = false;
    for (uint32_t i = 0; i < TagCount(data.list); ++i) {
        // Lengths alone: the pixel data stays in the file.
        const DicomElement* e = TagHeaderAt(data.list, i);
        const bool hasValue = e->length != 0 && e->length != 0xFFFFFFFF;
        if (inPixels) {
            if (e->group != 0xFFFE || e->element == 0xE0DD) break;
            bytes.stored += hasValue ? e->length : 0;
            continue;
        }
        auto us = [&] {
            const DicomElement* v = hasValue && e->length >= 2 ? TagAt(data.list, i) : nullptr;
            if (v == nullptr) return uint64_t{0};
            return uint64_t{big ? v->value[0] * 256u + v->value[1]
                                : v->value[1] * 256u + v->value[0]};
        };
        if (e->group == 0x0028 && e->element == 0x0010) rows = us();
        if (e->group == 0x0028 && e->element == 0x0011) columns = us();
        if (e->group == 0x0028 && e->element == 0x0002) samples = us();
        if (e->group == 0x0028 && e->element == 0x0100) bits = us();
        if (e->group == 0x0028 && e->element == 0x0008 && hasValue) {
            if (const DicomElement* v = TagAt(data.list, i)) {
                frames = std::strtoull(
                    std::string(reinterpret_cast<const char*>(v->value), v->length).c_str(),
                    nullptr, 10);
            }
        }
        if (e->group == 0x7FE0 && e->element == 0x0010) {
            if (e->length != 0xFFFFFFFF) {
                bytes.stored = e->length;
                break;
            }
            inPixels = true;
        }
    }
    bytes.native = rows * columns * samples * ((bits + 7) / 8) * (frames == 0 ? 1 : frames);
    return bytes;
}

void PrintLine(void*, const char* line) {
    std::printf("%s\n", Utf8ToTerminal(line).c_str());
}

// The window's line on standard output, and why on standard error.
int DumpFailed(const std::string& file) {
    std::printf("Dump Failed!\n");
    std::fflush(stdout);
    const int32_t length = DICOMFileProblem(file.c_str(), nullptr, 0);
    std::string why(static_cast<std::size_t>(length) + 1, '\0');
    DICOMFileProblem(file.c_str(), why.data(), static_cast<uint32_t>(why.size()));
    why.resize(static_cast<std::size_t>(length));
    if (why.empty()) why = "cannot be read";  // changed since it failed to read
    std::fprintf(stderr, "tessaly-cli: dump: %s: %s\n", file.c_str(), why.c_str());
    return 1;
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
        const bool read = DumpFileLines(file, [](const char* line) { PrintLine(nullptr, line); });
        return read ? 0 : DumpFailed(file);
    }
    List meta, data;
    uint8_t explicitVr = 1;
    if (!DICOMFile(file.c_str(), meta.list, data.list, &explicitVr)) return DumpFailed(file);
    // The lines the trace log would hold, each on one terminal line.
    DumpTagsToTraceUtf8(meta.list, PrintLine, nullptr, 1, 0);
    DumpTagsToTraceUtf8(data.list, PrintLine, nullptr, explicitVr, BigEndianDataSet(meta.list));
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
    const auto start = std::chrono::steady_clock::now();
    const int32_t status = ConvertFileTSWithDetail(names[1].c_str(), names[0].c_str(),
                                                   syntax.c_str(), detail, sizeof detail);
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    if (status == CONVERT_DONE) {
        // The file sizes, and how far the pixel data is compressed (native bytes over stored).
        std::error_code ec;
        const auto inSize = std::filesystem::file_size(names[0], ec);
        const auto outSize = std::filesystem::file_size(names[1], ec);
        const PixelBytes pixels = PixelBytesOf(names[1]);
        std::printf("%s: %s, %llu -> %llu bytes", names[1].c_str(), syntax.c_str(),
                    static_cast<unsigned long long>(inSize),
                    static_cast<unsigned long long>(outSize));
        if (pixels.stored != 0 && pixels.native != 0) {
            std::printf(", pixel data %.2f:1",
                        static_cast<double>(pixels.native) / static_cast<double>(pixels.stored));
        }
        std::printf(", %.1f ms\n", took.count());
        return 0;
    }
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
    "convert",
    "convert IN OUT --ts "
    "implicit|explicit|big|deflate|rle|jpeg-lossless|jpeg-ls|jpeg-ls-near|j2k|j2k-lossy|"
    "jpeg-xl|jpeg-xl-jpeg|jpeg-xl-lossy|htj2k|htj2k-rpcl|htj2k-lossy|UID",
    RunConvert};
const Command MetaCommand{"meta", "meta FILE --ts implicit|explicit|big|UID", RunMeta};

}  // namespace cli
