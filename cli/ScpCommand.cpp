// scp: the storage provider on the command line. It serves up to --max-associations senders at
// once (8 unless told; 1 serves them one after the other) and runs until SIGINT or SIGTERM,
// then stops the listener (instances being written are finished and answered first) and exits 0.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Commands.h"
#include "NetOptions.h"
#include "zedavura.h"

namespace cli {

extern const Command ScpCommand;

namespace {

constexpr int DEFAULT_MAX_ASSOCIATIONS = 8;
constexpr int MOST_ASSOCIATIONS = 256;

int RunScp(const Args& args) {
    NetLine line;
    Args rest;
    if (const int bad =
            ParseNetLine(ScpCommand, args, {"--max-associations"}, NetRole::Listener, line, rest);
        bad != 0)
        return bad;
    std::vector<std::string> positional;
    int maxAssociations = DEFAULT_MAX_ASSOCIATIONS;
    bool acceptAll = false;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == "--accept-all") {
            acceptAll = true;
        } else if (rest[i] == "--max-associations") {
            const std::string& value = rest[++i];
            char* end = nullptr;
            const long n = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || n < 1 || n > MOST_ASSOCIATIONS) {
                std::fprintf(stderr,
                             "tessaly-cli: scp: --max-associations takes a number from 1 to %d\n",
                             MOST_ASSOCIATIONS);
                return 2;
            }
            maxAssociations = static_cast<int>(n);
        } else if (rest[i].empty() || rest[i][0] == '-' || positional.size() == 2) {
            return UsageError(ScpCommand);
        } else {
            positional.push_back(rest[i]);
        }
    }
    if (positional.size() != 2) return UsageError(ScpCommand);
    const std::string& port = line.port = positional[0];
    std::string directory = positional[1];
    if (directory.back() != '/') directory += '/';

    // The signals wait for sigwait below: blocked before the listener thread starts, so that
    // thread inherits the mask and never takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    // As a service job sets it: the date of storage in the study index is ddmmyyyy.
    SetShortDateFormat("ddmmyyyy");
    SetStoreSCPMaxAssociations(maxAssociations);
    const ConnectionOptions options = line.Options();
    StartStoreSCPWith(directory.c_str(), &options, acceptAll ? 1 : 0);
    if (StoreSCPListening(port.c_str()) != 1) {
        StopStoreSCP();
        std::fprintf(stderr, "tessaly-cli: scp: cannot listen on port %s\n", port.c_str());
        return 1;
    }
    std::error_code ec;
    const auto storage = std::filesystem::absolute(directory, ec);
    const auto index = std::filesystem::absolute("Database", ec);
    std::printf("SCP listening on port %s\n", port.c_str());
    std::printf("storage directory: %s\n", storage.c_str());
    std::printf("index directory: %s\n", index.c_str());
    if (line.tls) {
        const char* senders = line.tlsPeerCert == TLS_PEER_CERT_REQUIRED   ? "required"
                              : line.tlsPeerCert == TLS_PEER_CERT_OPTIONAL ? "asked for"
                              : line.tlsPeerCert == TLS_PEER_CERT_IGNORE   ? "not asked for"
                              : line.tlsCa.empty()                         ? "not asked for"
                                                                           : "required";
        std::printf("TLS only on this port; senders' certificates %s\n", senders);
    }
    if (acceptAll) {
        std::printf(
            "accepting every storage SOP class in every transfer syntax the library "
            "reads, stored as received\n");
    }
    std::fflush(stdout);

    int received = 0;
    while (sigwait(&stopSignals, &received) != 0) {
    }
    StopStoreSCP();
    std::printf("SCP stopped\n");
    return 0;
}

}  // namespace

const Command ScpCommand = {"scp",
                            "scp PORT DIR [--max-associations N] [--accept-all] [--acse-timeout S] "
                            "[--idle-timeout S] [--max-pdu N]",
                            RunScp, PROVIDER_SECURITY_USAGE};

}  // namespace cli
