// store: the storage job of the service runner on the command line. A file goes on its own
// association, a directory as one series on one association. Standard output gets one outcome
// line per path; standard error a progress line per file of a directory.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "Commands.h"
#include "zedavura.h"

namespace cli {

extern const Command StoreCommand;

namespace {

namespace fs = std::filesystem;

constexpr std::size_t AE_TITLE_LIMIT = 16;

struct Peer {
    std::string host, port, calling, called = "ANY-SCP";
    std::string Name() const { return called + " (" + host + ":" + port + ")"; }
};

std::string Hex16(int32_t status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(status));
    return text;
}

// Why a file was not stored, from the library's outcome code or the peer's status.
std::string Reason(int32_t outcome, const Peer& peer) {
    switch (outcome) {
        case -1:
            return "no response from " + peer.Name();
        case -2:
            return "the answer from " + peer.Name() + " was not a C-STORE response";
        case -3:
            return "cannot be opened";
        case -4:
            return "not a DICOM file (no \"DICM\" at offset 128)";
        case -5:
            return "damaged DICOM file (cannot be read to its end)";
        case -6:
            return "no transfer syntax in its meta group";
        case -7:
            return "no SOP Class UID";
        case -8:
            return "cannot connect to " + peer.Name();
        case -9:
            return "association rejected by " + peer.Name();
        case -10:
            return peer.Name() + " accepted no presentation context for its SOP class";
        case -11:
            return "cannot convert the data set to the transfer syntax " + peer.called +
                   " accepted";
        case -12:
            return "the connection to " + peer.Name() + " failed while sending";
        case -13:
            return "no DICOM files in the directory";
        case -14:
            return "internal failure (see the trace log)";
        default:
            break;
    }
    if (outcome < 0) return "failure " + std::to_string(outcome);
    const std::string status = "status " + Hex16(outcome);
    if (outcome == 0xB000 || outcome == 0xB006 || outcome == 0xB007)
        return status + " (warning: stored with changes)";
    if ((outcome & 0xFF00) == 0xA700) return status + " (refused: out of resources)";
    if ((outcome & 0xFF00) == 0xA900) return status + " (error: data set does not match SOP class)";
    if ((outcome & 0xF000) == 0xC000) return status + " (error: cannot understand)";
    if (outcome == 0x0122) return status + " (refused: SOP class not supported)";
    return status + " (failure)";
}

struct SeriesTally {
    const Peer& peer;
    int stored = 0;
    int files = 0;
};

void ReportFile(void* context, int32_t index, int32_t count, const char* fileName,
                int32_t outcome) {
    auto* tally = static_cast<SeriesTally*>(context);
    tally->files = count;
    if (outcome == 0) ++tally->stored;
    const std::string what = outcome == 0 ? "stored" : Reason(outcome, tally->peer);
    std::fprintf(stderr, "[%d/%d] %s: %s\n", index + 1, count, fileName, what.c_str());
    std::fflush(stderr);
}

// Stores one path; returns its outcome line.
std::string StorePath(const std::string& path, const Peer& peer, const char* syntax,
                      uint8_t convert, bool& stored) {
    std::error_code ec;
    stored = false;
    if (!fs::exists(path, ec)) return "STORE failed: " + path + ": no such file or directory";
    if (fs::is_directory(path, ec)) {
        SeriesTally tally{peer};
        const int32_t outcome = SendSeriesWithProgress(
            peer.host.c_str(), peer.port.c_str(), peer.calling.c_str(), peer.called.c_str(),
            path.c_str(), syntax, convert, ReportFile, &tally);
        if (tally.files == 0) return "STORE failed: " + path + ": " + Reason(outcome, peer);
        const std::string counted =
            std::to_string(tally.stored) + " of " + std::to_string(tally.files) + " files stored";
        stored = tally.stored == tally.files;
        return (stored ? "STORE OK: " : "STORE failed: ") + path + ": " + counted;
    }
    const int32_t outcome =
        StoreSCUStatus(peer.host.c_str(), peer.port.c_str(), peer.calling.c_str(),
                       peer.called.c_str(), path.c_str(), syntax, convert);
    stored = outcome == 0;
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
    Peer peer;
    std::vector<std::string> paths;
    std::string syntax;
    uint8_t convert = 1;
    int positional = 0;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--aet" || a == "--aec" || a == "--ts") {
            if (i + 1 == args.size()) return UsageError(self);
            const std::string& value = args[++i];
            if (a == "--ts") {
                if (!SyntaxChoice(value, syntax)) {
                    std::fprintf(stderr, "tessaly-cli: store: unknown transfer syntax '%s'\n",
                                 value.c_str());
                    return UsageError(self);
                }
            } else {
                (a == "--aet" ? peer.calling : peer.called) = value;
            }
        } else if (a == "--no-convert") {
            convert = 0;
        } else if (!a.empty() && a[0] == '-') {
            return UsageError(self);
        } else if (positional == 0) {
            peer.host = a;
            ++positional;
        } else if (positional == 1) {
            peer.port = a;
            ++positional;
        } else {
            paths.push_back(a);
        }
    }
    if (positional != 2 || peer.host.empty() || peer.port.empty() || paths.empty())
        return UsageError(self);
    if (peer.calling.size() > AE_TITLE_LIMIT || peer.called.size() > AE_TITLE_LIMIT) {
        std::fprintf(stderr, "tessaly-cli: store: an AE title holds at most 16 characters\n");
        return 2;
    }

    // As a service job does before it names its log file.
    SetShortDateFormat("ddmmyyyy");
    WriteLogLine("Starting STORE Service");
    bool all = true;
    for (const std::string& path : paths) {
        bool stored = false;
        const std::string outcome = StorePath(path, peer, syntax.c_str(), convert, stored);
        WriteLogLine(outcome.c_str());
        std::printf("%s\n", outcome.c_str());
        std::fflush(stdout);
        all = all && stored;
    }
    return all ? 0 : 1;
}

}  // namespace

const Command StoreCommand = {"store",
                              "store HOST PORT PATH... [--aet LOCAL] [--aec REMOTE] "
                              "[--ts implicit|explicit|big|jpeg-lossless] [--no-convert]",
                              RunStore};

}  // namespace cli
