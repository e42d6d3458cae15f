// scp: the storage provider on the command line. It runs until SIGINT or SIGTERM, then stops
// the listener (the instance being written is finished and answered first) and exits 0.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "Commands.h"
#include "zedavura.h"

namespace cli {

extern const Command ScpCommand;

namespace {

int RunScp(const Args& args) {
    Args positional;
    bool acceptAll = false;
    for (const auto& a : args) {
        if (a == "--accept-all") {
            acceptAll = true;
        } else if (a.empty() || a[0] == '-') {
            return UsageError(ScpCommand);
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() != 2) return UsageError(ScpCommand);
    const std::string& port = positional[0];
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
    if (acceptAll) {
        StartStoreSCPAcceptingAll(directory.c_str(), port.c_str());
    } else {
        StartStoreSCP(directory.c_str(), port.c_str());
    }
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

const Command ScpCommand = {"scp", "scp PORT DIR [--accept-all]", RunScp};

}  // namespace cli
