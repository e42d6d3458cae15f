// scp: the storage provider on the command line. It serves up to --max-associations senders at
// once (8 unless told; 1 serves them one after the other) and runs until SIGINT or SIGTERM,
// then stops the listener (instances being written are finished and answered first) and exits 0.
#include <pthread.h>
#include <signal.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "Commands.h"
#include "FrontEnd.h"
#include "NetOptions.h"
#include "ProviderLine.h"
#include "zedavura.h"

namespace cli {

extern const Command ScpCommand;

namespace {

constexpr int DEFAULT_MAX_ASSOCIATIONS = 8;
constexpr int MOST_ASSOCIATIONS = 256;

// The requests a status can be injected into, as the command line names them.
constexpr std::pair<const char*, uint16_t> REQUESTS[] = {
    {"C-STORE", 0x0001},  {"C-GET", 0x0010},    {"C-FIND", 0x0020},         {"C-MOVE", 0x0021},
    {"C-ECHO", 0x0030},   {"N-GET", 0x0110},    {"N-EVENT-REPORT", 0x0100}, {"N-SET", 0x0120},
    {"N-ACTION", 0x0130}, {"N-CREATE", 0x0140}, {"N-DELETE", 0x0150}};

// The live lines go out whole, and only once the listening lines are out.
struct LiveLines {
    std::mutex mutex;
    std::condition_variable opened;
    bool open = false;
};

void PrintEvent(void* context, const ProviderEvent* e) {
    auto& lines = *static_cast<LiveLines*>(context);
    std::unique_lock lock(lines.mutex);
    lines.opened.wait(lock, [&] { return lines.open; });
    std::printf("%s\n", ProviderEventLine(*e).c_str());
    std::fflush(stdout);
}

bool Number(const std::string& text, unsigned long most, uint32_t& value, int base = 10) {
    char* end = nullptr;
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    const unsigned long n = std::strtoul(text.c_str(), &end, base);
    if (*end != '\0' || n > most) return false;
    value = static_cast<uint32_t>(n);
    return true;
}

bool IsUid(const std::string& text) {
    if (text.empty() || text.size() > 64 || text.front() == '.' || text.back() == '.') return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '.' ? text[i - 1] == '.' : (text[i] < '0' || text[i] > '9')) return false;
    }
    return true;
}

// permanent|transient,SOURCE,REASON with a reason the source defines.
bool ParseReject(const std::string& text, ProviderFaults& faults) {
    const auto first = text.find(',');
    const auto second = first == std::string::npos ? first : text.find(',', first + 1);
    if (second == std::string::npos) return false;
    const std::string result = text.substr(0, first);
    uint32_t source = 0, reason = 0;
    if (!Number(text.substr(first + 1, second - first - 1), 3, source) ||
        !Number(text.substr(second + 1), 7, reason))
        return false;
    const bool known = source == 1   ? (reason >= 1 && reason <= 3) || reason == 7
                       : source >= 2 ? reason == 1 || reason == 2
                                     : false;
    if (!known || (result != "permanent" && result != "transient")) return false;
    faults.rejectResult = static_cast<uint8_t>(result == "permanent" ? 1 : 2);
    faults.rejectSource = static_cast<uint8_t>(source);
    faults.rejectReason = static_cast<uint8_t>(reason);
    return true;
}

// COMMAND=0xXXXX[/N]
bool ParseStatus(const std::string& text, ProviderStatusFault& fault) {
    const auto equals = text.find('=');
    if (equals == std::string::npos) return false;
    const std::string command = text.substr(0, equals);
    std::string status = text.substr(equals + 1);
    fault.every = 1;
    if (const auto slash = status.find('/'); slash != std::string::npos) {
        if (!Number(status.substr(slash + 1), 0xFFFFFFFFul, fault.every) || fault.every == 0)
            return false;
        status.resize(slash);
    }
    uint32_t value = 0;
    if (status.size() != 6 || status.compare(0, 2, "0x") != 0 ||
        !Number(status.substr(2), 0xFFFF, value, 16))
        return false;
    fault.status = static_cast<uint16_t>(value);
    for (const auto& [name, field] : REQUESTS)
        if (command == name) {
            fault.commandField = field;
            return true;
        }
    return false;
}

int BadFault(const char* option, const char* takes) {
    std::fprintf(stderr, "tessaly-cli: scp: %s takes %s\n", option, takes);
    return 2;
}

int RunScp(const Args& args) {
    NetLine line;
    Args rest;
    if (const int bad = ParseNetLine(
            ScpCommand, args,
            {"--max-associations", "--refuse", "--reject", "--status", "--delay", "--abort-after",
             "--close-after", "--pending", "--nodes", "--mpps", "--worklist"},
            NetRole::Listener, line, rest);
        bad != 0)
        return bad;
    std::vector<std::string> positional;
    int maxAssociations = DEFAULT_MAX_ASSOCIATIONS;
    bool acceptAll = false;
    bool quiet = false;
    bool query = false;
    uint32_t pending = 0;
    ProviderFaults faults{};
    faults.structSize = sizeof faults;
    std::vector<std::string> refused;
    std::vector<ProviderStatusFault> statuses;
    bool commit = false, commitNewAssociation = false;
    std::string nodesFile, mppsDirectory, worklist;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == "--accept-all") {
            acceptAll = true;
        } else if (rest[i] == "--worklist") {
            worklist = rest[++i];
            std::error_code ec;
            if (!std::filesystem::is_directory(worklist, ec))
                return BadFault("--worklist", "a directory of worklist items");
        } else if (rest[i] == "--quiet") {
            quiet = true;
        } else if (rest[i] == "--query") {
            query = true;
        } else if (rest[i] == "--pending") {
            if (!Number(rest[++i], 10000, pending))
                return BadFault("--pending", "a number of responses from 0 to 10000");
        } else if (rest[i] == "--commit") {
            commit = true;
        } else if (rest[i] == "--commit-new-association") {
            commitNewAssociation = true;
        } else if (rest[i] == "--nodes") {
            nodesFile = rest[++i];
        } else if (rest[i] == "--mpps") {
            mppsDirectory = rest[++i];
            if (mppsDirectory.empty()) return BadFault("--mpps", "a folder");
        } else if (rest[i] == "--refuse") {
            if (!IsUid(rest[++i])) return BadFault("--refuse", "an abstract syntax UID");
            refused.push_back(rest[i]);
        } else if (rest[i] == "--reject") {
            if (!ParseReject(rest[++i], faults))
                return BadFault("--reject",
                                "permanent|transient,SOURCE,REASON: source 1 (service user) "
                                "with reason 1, 2, 3 or 7; 2 (ACSE) or 3 (presentation) with 1 "
                                "or 2");
        } else if (rest[i] == "--status") {
            ProviderStatusFault fault{};
            if (!ParseStatus(rest[++i], fault))
                return BadFault("--status",
                                "COMMAND=0xXXXX[/N], COMMAND one of C-STORE, C-ECHO, C-FIND, "
                                "C-MOVE, C-GET, N-GET, N-SET, N-ACTION, N-CREATE, N-DELETE, "
                                "N-EVENT-REPORT; N from 1");
            statuses.push_back(fault);
        } else if (rest[i] == "--delay") {
            if (!Number(rest[++i], 3'600'000, faults.delayMs))
                return BadFault("--delay", "milliseconds from 0 to 3600000");
        } else if (rest[i] == "--abort-after" || rest[i] == "--close-after") {
            uint32_t& count = rest[i] == "--abort-after" ? faults.abortAfter : faults.closeAfter;
            const std::string option = rest[i];
            if (!Number(rest[++i], 0xFFFFFFFFul, count) || count == 0)
                return BadFault(option.c_str(), "a number of requests from 1");
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
    if (commitNewAssociation && !commit) {
        std::fprintf(stderr, "tessaly-cli: scp: --commit-new-association goes with --commit\n");
        return 2;
    }
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
    std::vector<const char*> refusedUids;
    for (const auto& uid : refused)
        refusedUids.push_back(uid.c_str());
    faults.refused = refusedUids.data();
    faults.refusedCount = static_cast<uint32_t>(refusedUids.size());
    faults.statuses = statuses.data();
    faults.statusCount = static_cast<uint32_t>(statuses.size());
    const bool faulty = !refused.empty() || !statuses.empty() || faults.rejectResult != 0 ||
                        faults.delayMs != 0 || faults.abortAfter != 0 || faults.closeAfter != 0;
    static LiveLines lines;  // the listener may tell it until StopStoreSCP returns
    ProviderServices services{};
    services.structSize = sizeof services;
    services.query = query ? 1 : 0;
    services.pending = pending;
    services.nodesFile = nodesFile.c_str();
    services.commit = commit ? 1 : 0;
    services.commitNewAssociation = commitNewAssociation ? 1 : 0;
    services.mppsDirectory = mppsDirectory.c_str();
    services.worklistDirectory = worklist.c_str();
    if (query || pending != 0 || commit || !mppsDirectory.empty() || !nodesFile.empty() ||
        !worklist.empty()) {
        if (StartStoreSCPServices(directory.c_str(), &options, acceptAll ? 1 : 0, &faults,
                                  quiet ? nullptr : PrintEvent, &lines, &services) != 1) {
            std::fprintf(stderr, "tessaly-cli: scp: cannot start the provider\n%s\n",
                         ExplanationLine().c_str());
            return 1;
        }
    } else if (quiet && !faulty)
        StartStoreSCPWith(directory.c_str(), &options, acceptAll ? 1 : 0);
    else
        StartStoreSCPObserved(directory.c_str(), &options, acceptAll ? 1 : 0, &faults,
                              quiet ? nullptr : PrintEvent, &lines);
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
    if (query)
        std::printf(
            "answering C-FIND, C-MOVE and C-GET at Patient Root and Study Root from what "
            "is stored\n");
    if (!worklist.empty())
        std::printf("answering Modality Worklist C-FIND from the items in %s\n",
                    std::filesystem::absolute(worklist, ec).c_str());
    if (pending != 0)
        std::printf(
            "fault: %u extra pending responses before each final C-FIND, C-MOVE or "
            "C-GET response\n",
            static_cast<unsigned>(pending));
    if (acceptAll) {
        std::printf(
            "accepting every storage SOP class in every transfer syntax the library "
            "reads, stored as received\n");
    }
    if (commit) {
        std::printf("storage commitment: %s\n",
                    commitNewAssociation
                        ? "reports on a new association to the requestor named in --nodes"
                        : "reports on the requestor's association, or on a new one when it has "
                          "ended");
    }
    if (!mppsDirectory.empty()) {
        const auto steps = std::filesystem::absolute(mppsDirectory, ec);
        std::printf("performed procedure steps: %s\n", steps.c_str());
    }
    std::fflush(stdout);
    {
        std::lock_guard lock(lines.mutex);
        lines.open = true;
    }
    lines.opened.notify_all();

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
                            "[--idle-timeout S] [--max-pdu N] [--quiet] [--refuse UID] "
                            "[--reject permanent|transient,SOURCE,REASON] "
                            "[--status COMMAND=0xXXXX[/N]] [--delay MS] [--abort-after N] "
                            "[--close-after N] [--query] [--worklist DIR] [--pending N] "
                            "[--commit [--commit-new-association]] [--nodes FILE] [--mpps DIR]",
                            RunScp, PROVIDER_SECURITY_USAGE};

}  // namespace cli
