// qido, wado and stow: DICOMweb on the command line. qido takes the keys and prints the records
// as find does; wado files what it retrieves as the storage provider files what it receives, a
// line per instance, or prints the metadata; stow sends files and directories and reports every
// instance with the server's word on it. The options for TLS and credentials are those of every
// connection: --tls-ca, --tls-cert, --tls-key, --tls-no-verify, --user with --password-file, or
// --token-file.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "Commands.h"
#include "QueryOutput.h"
#include "Text.h"
#include "WebOptions.h"
#include "zedavura.h"

namespace cli {

extern const Command QidoCommand;
extern const Command WadoCommand;
extern const Command StowCommand;

namespace {

namespace fs = std::filesystem;

// A number for --limit, --offset or --batch; false when it is none.
bool ParseCount(const std::string& text, uint32_t& out) {
    char* end = nullptr;
    const unsigned long long n = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || text[0] == '-' || *end != '\0' || n > 0xFFFFFFFFull) return false;
    out = static_cast<uint32_t>(n);
    return true;
}

std::string WebWords(int32_t outcome) {
    return OutcomeWords(OUTCOME_WEB, outcome);
}

int RunQido(const Args& args) {
    std::string url, level = "STUDY";
    std::vector<std::pair<std::string, std::string>> keys;
    uint32_t limit = 0, offset = 0;
    bool json = false;
    WebOptions web;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (const int taken = TakeWebOption(args, i, web); taken != 0) {
            if (taken < 0) return UsageError(QidoCommand);
            continue;
        }
        if (a == "--json") {
            json = true;
            continue;
        }
        const bool takesValue = a == "--level" || a == "--key" || a == "--limit" || a == "--offset";
        if (takesValue && i + 1 == args.size()) return UsageError(QidoCommand);
        if (a == "--level") {
            const std::string value = args[++i];
            level = value == "study"                          ? "STUDY"
                    : value == "series"                       ? "SERIES"
                    : value == "instance" || value == "image" ? "IMAGE"
                                                              : "";
            if (level.empty()) {
                std::fprintf(stderr, "tessaly-cli: qido: the level is study, series or instance\n");
                return UsageError(QidoCommand);
            }
        } else if (a == "--key") {
            const std::string& value = args[++i];
            const std::size_t eq = value.find('=');
            if (eq == std::string::npos || eq == 0) {
                std::fprintf(stderr, "tessaly-cli: qido: a key is FIELD=VALUE\n");
                return UsageError(QidoCommand);
            }
            keys.emplace_back(value.substr(0, eq), Utf8ToCp1252(value.substr(eq + 1)));
        } else if (a == "--limit" || a == "--offset") {
            if (!ParseCount(args[++i], a == "--limit" ? limit : offset)) {
                std::fprintf(stderr, "tessaly-cli: qido: %s takes a number\n", a.c_str());
                return 2;
            }
        } else if (!a.empty() && a[0] != '-' && url.empty()) {
            url = a;
        } else {
            return UsageError(QidoCommand);
        }
    }
    if (url.empty()) return UsageError(QidoCommand);
    if (const int bad = FinishWebOptions(QidoCommand, web); bad != 0) return bad;
    RecordList* list = KeyList(QidoCommand, keys, level.c_str(), std::nullopt);
    if (list == nullptr) return 2;

    WriteLogLine("Starting QIDO Service");
    const WebSettings settings = web.Settings();
    const int32_t status = QidoSearch(url.c_str(), &settings, level.c_str(), list, limit, offset);
    if (status == WEB_SUCCESS || RecordCount(list) > 0)
        PrintRecords(QidoCommand.name, list, 0, json);
    const std::string detail =
        status == WEB_SUCCESS ? "search complete" : WebWords(status) + ": " + url;
    ClearQuery(list, level.c_str());
    DeleteRecordList(list);
    return Finish("QIDO", status == WEB_SUCCESS, detail, json);
}

// The UIDs of a retrieve and where it goes.
struct WadoLine {
    std::string url, directory, study, series, instance;
    bool metadata = false;
    WebOptions web;
};

struct WadoTally {
    uint32_t filed = 0;
};

void ReportInstance(void* context, const WadoInstance* instance) {
    auto& tally = *static_cast<WadoTally*>(context);
    const std::string uid = *instance->sopInstanceUid != '\0' ? instance->sopInstanceUid : "?";
    if (instance->outcome == WEB_SUCCESS) {
        ++tally.filed;
        std::printf("instance %u: %s (%llu bytes): %s\n", instance->index + 1, uid.c_str(),
                    static_cast<unsigned long long>(instance->bytes), instance->fileName);
    } else if (instance->outcome == WEB_MISSING_INSTANCES) {
        std::printf("instance %u: %s: announced by the server's search, never came\n",
                    instance->index + 1, uid.c_str());
    } else {
        std::printf("instance %u: %s (%llu bytes): not filed: %s\n", instance->index + 1,
                    uid.c_str(), static_cast<unsigned long long>(instance->bytes),
                    WebWords(instance->outcome).c_str());
    }
    std::fflush(stdout);
}

void PrintText(void*, const char* text, uint32_t length) {
    std::fwrite(text, 1, length, stdout);
    if (length == 0 || text[length - 1] != '\n') std::fputc('\n', stdout);
}

int RunWado(const Args& args) {
    WadoLine line;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (const int taken = TakeWebOption(args, i, line.web); taken != 0) {
            if (taken < 0) return UsageError(WadoCommand);
            continue;
        }
        std::string* uid = a == "--study"      ? &line.study
                           : a == "--series"   ? &line.series
                           : a == "--instance" ? &line.instance
                                               : nullptr;
        if (uid != nullptr) {
            if (i + 1 == args.size()) return UsageError(WadoCommand);
            *uid = args[++i];
        } else if (a == "--metadata") {
            line.metadata = true;
        } else if (a.empty() || a[0] == '-') {
            return UsageError(WadoCommand);
        } else if (line.url.empty()) {
            line.url = a;
        } else if (line.directory.empty()) {
            line.directory = a;
        } else {
            return UsageError(WadoCommand);
        }
    }
    if (line.url.empty() || line.study.empty() || line.metadata != line.directory.empty() ||
        (!line.instance.empty() && line.series.empty())) {
        return UsageError(WadoCommand);
    }
    if (const int bad = FinishWebOptions(WadoCommand, line.web); bad != 0) return bad;
    const WebSettings settings = line.web.Settings();
    const char* series = line.series.c_str();
    const char* instance = line.instance.c_str();

    WriteLogLine("Starting WADO Service");
    if (line.metadata) {
        const int32_t status = WadoMetadata(line.url.c_str(), &settings, line.study.c_str(), series,
                                            instance, PrintText, nullptr);
        return Finish(
            "WADO", status == WEB_SUCCESS,
            status == WEB_SUCCESS ? "metadata complete" : WebWords(status) + ": " + line.url, true);
    }
    // As the storage provider writes it: the date of storage in the study index is ddmmyyyy.
    SetShortDateFormat("ddmmyyyy");
    WadoTally tally;
    const int32_t status = WadoRetrieve(line.url.c_str(), &settings, line.study.c_str(), series,
                                        instance, line.directory.c_str(), ReportInstance, &tally);
    const std::string filed = std::to_string(tally.filed) + " instance" +
                              (tally.filed == 1 ? "" : "s") + " filed under " + line.directory;
    return Finish("WADO", status == WEB_SUCCESS,
                  status == WEB_SUCCESS ? filed : WebWords(status) + ": " + line.url + "; " + filed,
                  false);
}

// True when the file has "DICM" at offset 128.
bool LooksLikePart10(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    char head[132];
    return in.read(head, sizeof head) && std::string_view(head + 128, 4) == "DICM";
}

struct StowTally {
    uint32_t stored = 0, count = 0;
};

void ReportStored(void* context, const StowInstance* instance) {
    auto& tally = *static_cast<StowTally*>(context);
    tally.count = instance->count;
    const std::string uid = *instance->sopInstanceUid != '\0'
                                ? std::string(" (") + instance->sopInstanceUid + ")"
                                : std::string();
    if (instance->outcome == WEB_SUCCESS) {
        ++tally.stored;
        std::printf("stored: %s%s", instance->fileName, uid.c_str());
        if (instance->warningReason >= 0) {
            std::printf(", with Warning Reason %s",
                        OutcomeWords(OUTCOME_STORE, instance->warningReason).c_str());
        }
        std::printf("\n");
    } else if (instance->failureReason >= 0) {
        std::printf("not stored: %s%s: Failure Reason %s\n", instance->fileName, uid.c_str(),
                    OutcomeWords(OUTCOME_STORE, instance->failureReason).c_str());
    } else {
        std::printf("not stored: %s%s: %s\n", instance->fileName, uid.c_str(),
                    WebWords(instance->outcome).c_str());
    }
    std::fflush(stdout);
}

int RunStow(const Args& args) {
    std::string url, study;
    std::vector<std::string> paths;
    uint32_t batch = 0;
    WebOptions web;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (const int taken = TakeWebOption(args, i, web); taken != 0) {
            if (taken < 0) return UsageError(StowCommand);
            continue;
        }
        if (a == "--study" || a == "--batch") {
            if (i + 1 == args.size()) return UsageError(StowCommand);
            const std::string& value = args[++i];
            if (a == "--study") {
                study = value;
            } else if (!ParseCount(value, batch) || batch == 0) {
                std::fprintf(stderr, "tessaly-cli: stow: --batch takes a number from 1\n");
                return 2;
            }
        } else if (a.empty() || a[0] == '-') {
            return UsageError(StowCommand);
        } else if (url.empty()) {
            url = a;
        } else {
            paths.push_back(a);
        }
    }
    if (url.empty() || paths.empty()) return UsageError(StowCommand);
    if (const int bad = FinishWebOptions(StowCommand, web); bad != 0) return bad;

    // Files named go as they are; a directory gives the DICOM files in its tree, in name order.
    std::vector<std::string> files;
    for (const std::string& path : paths) {
        std::error_code ec;
        if (!fs::is_directory(path, ec)) {
            files.push_back(path);
            continue;
        }
        std::vector<fs::path> found;
        for (auto it = fs::recursive_directory_iterator(path, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (it->is_regular_file(ec)) found.push_back(it->path());
        }
        std::sort(found.begin(), found.end());
        for (const fs::path& file : found) {
            if (file.filename() == "DICOMDIR" || !LooksLikePart10(file)) {
                std::printf("skipped (not a DICOM instance): %s\n", file.c_str());
            } else {
                files.push_back(file.string());
            }
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "STOW failed: no DICOM files in %s\n", paths.front().c_str());
        return 1;
    }

    WriteLogLine("Starting STOW Service");
    std::vector<const char*> names;
    for (const std::string& file : files)
        names.push_back(file.c_str());
    const WebSettings settings = web.Settings();
    StowTally tally;
    const int32_t status =
        StowFiles(url.c_str(), &settings, names.data(), static_cast<uint32_t>(names.size()),
                  study.c_str(), batch, ReportStored, &tally);
    const std::string counted =
        std::to_string(tally.stored) + " of " + std::to_string(names.size()) + " instances stored";
    return Finish("STOW", status == WEB_SUCCESS,
                  status == WEB_SUCCESS ? counted : counted + ": " + WebWords(status) + ": " + url,
                  false);
}

}  // namespace

const Command QidoCommand = {
    "qido",
    "qido URL [--level study|series|instance] [--key FIELD=VALUE]... [--limit N] [--offset N] "
    "[--json] [--tls-ca FILE|DIR] [--tls-cert FILE --tls-key FILE] [--tls-no-verify] "
    "[--user NAME --password-file FILE | --token-file FILE]",
    RunQido};
const Command WadoCommand = {
    "wado",
    "wado URL DIR|--metadata --study UID [--series UID [--instance UID]] [--tls-ca FILE|DIR] "
    "[--tls-cert FILE --tls-key FILE] [--tls-no-verify] "
    "[--user NAME --password-file FILE | --token-file FILE]",
    RunWado};
const Command StowCommand = {"stow",
                             "stow URL FILE|DIR... [--study UID] [--batch N] [--tls-ca FILE|DIR] "
                             "[--tls-cert FILE --tls-key FILE] [--tls-no-verify] "
                             "[--user NAME --password-file FILE | --token-file FILE]",
                             RunStow};

}  // namespace cli
