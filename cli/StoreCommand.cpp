// store: the storage job of the service runner on the command line. A file goes on its own
// association, a directory as one series on one association. Standard output gets one outcome
// line per path; standard error a progress line per file of a directory.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "Commands.h"
#include "FrontEnd.h"
#include "NetOptions.h"
#include "Text.h"
#include "zedavura.h"

namespace cli {

extern const Command StoreCommand;

namespace {

namespace fs = std::filesystem;

// Why a file was not stored, from the library's outcome code or the peer's status; the wait
// that ran out when one did.
std::string Reason(int32_t outcome, const NetLine& peer) {
    if (outcome < 0)
        if (const std::string timeout = TimeoutWords(); !timeout.empty()) return timeout;
    return OutcomeWords(OUTCOME_STORE, outcome, peer.Peer());
}

struct SeriesTally {
    const NetLine& peer;
    int stored = 0;
    int files = 0;
};

void ReportFile(void* context, int32_t index, int32_t count, const char* fileName,
                int32_t outcome) {
    auto* tally = static_cast<SeriesTally*>(context);
    tally->files = count;
    if (outcome == STORE_SUCCESS) ++tally->stored;
    std::string what = outcome == STORE_SUCCESS ? "stored" : Reason(outcome, tally->peer);
    // Which syntaxes a conversion failed between, and why, the library tells on its own.
    if (const std::string detail = NetExplanationLine();
        outcome == STORE_CONVERSION_FAILED && !detail.empty())
        what = detail.substr(2);
    std::fprintf(stderr, "[%d/%d] %s: %s\n", index + 1, count, fileName, what.c_str());
    std::fflush(stderr);
}

// Stores one path; returns its outcome line.
std::string StorePath(const std::string& path, const NetLine& peer, const char* syntax,
                      uint8_t convert, bool& stored) {
    const ConnectionOptions options = peer.Options();
    std::error_code ec;
    stored = false;
    if (!fs::exists(path, ec)) return "STORE failed: " + path + ": no such file or directory";
    if (fs::is_directory(path, ec)) {
        SeriesTally tally{peer};
        const int32_t outcome =
            SendSeriesWith(&options, path.c_str(), syntax, convert, ReportFile, &tally);
        if (tally.files == 0) return "STORE failed: " + path + ": " + Reason(outcome, peer);
        const std::string counted =
            std::to_string(tally.stored) + " of " + std::to_string(tally.files) + " files stored";
        stored = tally.stored == tally.files;
        return (stored ? "STORE OK: " : "STORE failed: ") + path + ": " + counted;
    }
    const int32_t outcome = StoreSCUWith(&options, path.c_str(), syntax, convert);
    stored = outcome == STORE_SUCCESS;
    return stored ? "STORE OK: " + path : "STORE failed: " + path + ": " + Reason(outcome, peer);
}

// The main window's transfer syntax choices, by name: implicit VR little endian is the empty
// text, as the window's first choice is.
bool SyntaxChoice(const std::string& name, std::string& syntax) {
    const TransferSyntaxInfo* chosen = TransferSyntaxByName(name.c_str());
    if (chosen == nullptr) return false;
    syntax = chosen->explicitVr ? chosen->uid : "";
    return true;
}

int RunStore(const Args& args) {
    const Command& self = StoreCommand;
    NetLine peer;
    Args rest;
    if (const int bad = ParseNetLine(self, args, {"--ts"}, NetRole::Requestor, peer, rest);
        bad != 0)
        return bad;
    std::vector<std::string> paths;
    std::string syntax;
    uint8_t convert = 1;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        const std::string& a = rest[i];
        if (a == "--ts") {
            const std::string& value = rest[++i];
            if (!SyntaxChoice(value, syntax)) {
                std::fprintf(stderr, "tessaly-cli: store: unknown transfer syntax '%s'\n",
                             value.c_str());
                return UsageError(self);
            }
        } else if (a == "--no-convert") {
            convert = 0;
        } else if (!a.empty() && a[0] == '-') {
            return UsageError(self);
        } else {
            paths.push_back(a);
        }
    }
    if (paths.empty()) return UsageError(self);

    // As a service job does before it names its log file.
    SetShortDateFormat("ddmmyyyy");
    WriteLogLine("Starting STORE Service");
    bool all = true;
    for (const std::string& path : paths) {
        bool stored = false;
        const std::string outcome = StorePath(path, peer, syntax.c_str(), convert, stored);
        WriteLogLine(outcome.c_str());
        std::printf("%s\n", outcome.c_str());
        if (const std::string why = stored ? "" : NetExplanationLine(); !why.empty()) {
            WriteLogLine(why.c_str());
            std::printf("%s\n", why.c_str());
        }
        std::fflush(stdout);
        WarnOfUnansweredRelease(self.name);
        all = all && stored;
    }
    return all ? 0 : 1;
}

}  // namespace

const Command StoreCommand = {
    "store",
    "store HOST PORT PATH... [--aet LOCAL] [--aec REMOTE] [--connect-timeout S] "
    "[--acse-timeout S] [--dimse-timeout S] [--max-pdu N] "
    "[--ts implicit|explicit|big|deflate|rle|jpeg-lossless|jpeg-ls|jpeg-ls-near|j2k|"
    "j2k-lossy|jpeg-xl|jpeg-xl-jpeg|jpeg-xl-lossy|htj2k|htj2k-rpcl|htj2k-lossy] [--no-convert]",
    RunStore, REQUESTOR_SECURITY_USAGE};

}  // namespace cli
