// tessaly-cli: the command-line front end of TESSALY. Global options come before the
// subcommand; everything else belongs to the subcommand.
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "Commands.h"
#include "zedavura.h"

namespace cli {
namespace {

int gTraceLevel = 0;

}  // namespace

int TraceLevel() {
    return gTraceLevel;
}

int UsageError(const Command& command) {
    std::fprintf(stderr, "usage: tessaly-cli %s\n", command.usage);
    if (command.security != nullptr) std::fprintf(stderr, "       %s\n", command.security);
    return 2;
}

}  // namespace cli

namespace {

constexpr const char* GLOBAL_USAGE =
    "tessaly-cli [--version] [--help] [--log FILE] [--log-level 1|2|3] COMMAND [ARGS]";

// The library's version text.
std::string LibraryVersion() {
    char buffer[16] = {};
    return Version(buffer);
}

void PrintHelp() {
    std::printf("tessaly-cli: DICOM connectivity tester (ZEDAVURA %s)\n\n",
                LibraryVersion().c_str());
    std::printf("usage: %s\n\n", GLOBAL_USAGE);
    std::printf("  --log FILE        append the trace log and the service lines to FILE\n");
    std::printf("  --log-level N     1 association events (the default), 2 also every message,\n");
    std::printf("                    3 also a hex dump of all socket traffic\n\ncommands:\n");
    static const std::map<std::string, const char*> summaries = {
        {"dump", "print every element of a DICOM file"},
        {"convert", "write a DICOM file in another transfer syntax"},
        {"meta", "give a bare data set a file meta group, in place"},
        {"dicomdir", "list a DICOMDIR as a patient / study / series / image tree, or as JSON"},
        {"thumbnail", "write JPEG thumbnails of images (default width 128)"},
        {"echo", "verify a peer (C-ECHO)"},
        {"store", "send files, or a series directory, to a peer (C-STORE)"},
        {"scp", "receive images from other nodes into DIR until stopped, N senders at once"},
        {"find", "query a peer's studies, series or images (C-FIND, Study Root)"},
        {"move", "have a peer send what matches the keys to the AE --dest (C-MOVE)"},
        {"worklist", "query a modality worklist (C-FIND)"},
        {"print", "print a DICOM image, a JPEG or a bitmap on one film of a DICOM printer"},
        {"ecg", "draw a waveform object (ECG, hemodynamic, audio) as a PNG picture"},
        {"qido", "search a DICOMweb service's studies, series or instances (QIDO-RS)"},
        {"wado",
         "retrieve from a DICOMweb service into DIR as the provider files, or the "
         "metadata (WADO-RS)"},
        {"stow", "store files and directories on a DICOMweb service (STOW-RS)"},
    };
    for (const auto& command : cli::AllCommands()) {
        const auto summary = summaries.find(command.name);
        std::printf("  %s\n", command.usage);
        if (summary != summaries.end()) std::printf("      %s\n", summary->second);
    }
    std::printf(
        "\necho, store, find, move, get, worklist, print, probe and mpps also take\n  %s\n"
        "scp also takes\n  %s\n",
        cli::REQUESTOR_SECURITY_USAGE, cli::PROVIDER_SECURITY_USAGE);
}

int GlobalUsageError(const char* problem) {
    std::fprintf(stderr, "tessaly-cli: %s\nusage: %s\n", problem, GLOBAL_USAGE);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    cli::Args args(argv + 1, argv + argc);
    if (args.empty()) {
        PrintHelp();
        return 2;
    }
    std::string logFile;
    int logLevel = 0;
    std::size_t next = 0;
    for (; next < args.size() && args[next].rfind("--", 0) == 0; ++next) {
        const std::string& option = args[next];
        if (option == "--version") {
            std::printf("%s\n", LibraryVersion().c_str());
            return 0;
        }
        if (option == "--help") {
            PrintHelp();
            return 0;
        }
        if (option != "--log" && option != "--log-level")
            return GlobalUsageError(("unknown option '" + option + "'").c_str());
        if (next + 1 == args.size()) return GlobalUsageError((option + " needs a value").c_str());
        const std::string& value = args[++next];
        if (option == "--log") {
            if (value.empty()) return GlobalUsageError("--log needs a file name");
            logFile = value;
        } else if (value == "1" || value == "2" || value == "3") {
            logLevel = value[0] - '0';
        } else {
            return GlobalUsageError("--log-level takes 1, 2 or 3");
        }
    }
    if (logLevel != 0 && logFile.empty()) return GlobalUsageError("--log-level needs --log FILE");
    if (!logFile.empty()) {
        cli::gTraceLevel = logLevel != 0 ? logLevel : 1;
        SetLOG(logFile.c_str(), cli::gTraceLevel);
    }

    if (next == args.size()) return GlobalUsageError("no command given");
    if (args[next] == "-h") {
        PrintHelp();
        return 0;
    }
    for (const auto& command : cli::AllCommands()) {
        if (args[next] == command.name)
            return command.run(
                cli::Args(args.begin() + static_cast<std::ptrdiff_t>(next) + 1, args.end()));
    }
    std::fprintf(stderr, "tessaly-cli: unknown command '%s' (see tessaly-cli --help)\n",
                 args[next].c_str());
    return 2;
}
