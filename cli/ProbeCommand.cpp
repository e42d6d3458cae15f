// probe: everything a peer accepts, in one report. Each section ends in a verdict: works,
// refused, not offered or failed (and "not tested" for what the command line did not ask), and
// every verdict but "works" carries the reason and what the operator can do. Nothing is stored
// on the peer unless --store-test asks for one C-STORE (the instance is then fetched back with a
// C-GET and committed); the storage table comes from the association answers alone. The library
// runs the probe; this command draws its report.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "Commands.h"
#include "NetOptions.h"
#include "ProbeRender.h"
#include "WebProbeCommand.h"
#include "zedavura.h"

namespace cli {

extern const Command ProbeCommand;

namespace {

constexpr std::size_t AE_TITLE_LIMIT = 16;

struct Options {
    std::string moveDest, receivePort, html, storeTest;
    bool json = false;
};

// Each section goes to the terminal as soon as the library has finished it.
void PrintSection(void*, const ProbeSectionRecord* section) {
    std::fputs(ProbeTextSection(*section).c_str(), stdout);
    std::fflush(stdout);
}

struct ReportDeleter {
    void operator()(ProbeReport* report) const { DeleteProbeReport(report); }
};

int RunProbeCommand(const Args& args) {
    const Command& self = ProbeCommand;
    if (std::find(args.begin(), args.end(), "--web") != args.end())
        return RunWebProbeCommand(self, args);
    NetLine peer;
    Args rest;
    if (const int bad =
            ParseNetLine(self, args, {"--move-dest", "--receive", "--html", "--store-test"},
                         NetRole::Requestor, peer, rest);
        bad != 0)
        return bad;
    Options o;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        const std::string& a = rest[i];
        if (a == "--move-dest" || a == "--receive" || a == "--html" || a == "--store-test") {
            const std::string& value = rest[++i];
            if (a == "--move-dest") o.moveDest = value;
            if (a == "--receive") o.receivePort = value;
            if (a == "--html") o.html = value;
            if (a == "--store-test") o.storeTest = value;
        } else if (a == "--json") {
            o.json = true;
        } else {
            return UsageError(self);
        }
    }
    if (o.moveDest.empty() != o.receivePort.empty()) return UsageError(self);
    if (o.moveDest.size() > AE_TITLE_LIMIT) {
        std::fprintf(stderr, "tessaly-cli: probe: an AE title holds at most 16 characters\n");
        return 2;
    }

    WriteLogLine("Starting PROBE Service");
    const ProbePeer probed{peer.host, peer.port, peer.calling, peer.called, {}};
    const ConnectionOptions connection = peer.Options();
    ProbeOptions options{};
    options.structSize = sizeof options;
    options.host = connection.host;
    options.port = connection.port;
    options.callingAeTitle = connection.callingAeTitle;
    options.calledAeTitle = connection.calledAeTitle;
    options.connection = &connection;
    options.moveDestination = o.moveDest.c_str();
    options.receivePort = o.receivePort.c_str();
    options.storeTestFile = o.storeTest.c_str();
    if (!o.json) std::fputs(ProbeTextHeading(probed).c_str(), stdout);
    const std::unique_ptr<ProbeReport, ReportDeleter> report(
        RunProbe(&options, o.json ? nullptr : PrintSection, nullptr));
    if (!report) {
        std::fprintf(stderr,
                     "tessaly-cli: probe: the probe could not run\n  the library failed (memory, "
                     "most likely): see the trace log\n");
        return 1;
    }
    std::fputs(o.json ? ProbeJson(probed, report.get()).c_str()
                      : ProbeTextEnd(ProbeAssociationCount(report.get())).c_str(),
               stdout);
    if (!o.html.empty()) {
        std::ofstream file(o.html, std::ios::binary);
        file << ProbeHtml(probed, report.get());
        if (!file) {
            std::fprintf(stderr, "tessaly-cli: probe: cannot write %s\n", o.html.c_str());
            return 1;
        }
    }
    const bool connected = ProbeSectionAt(report.get(), 0)->verdict == PROBE_WORKS;
    // Nothing ran after a failed connection: its wait is the thread's last.
    if (const std::string timeout = connected ? "" : TimeoutWords(); !timeout.empty())
        std::fprintf(stderr, "tessaly-cli: probe: %s\n", timeout.c_str());
    WriteLogLine(connected ? "PROBE OK" : "PROBE failed: no association");
    return connected ? 0 : 1;
}

}  // namespace

const Command ProbeCommand = {
    "probe",
    "probe HOST PORT [--aet LOCAL] [--aec REMOTE] [--move-dest AE --receive PORT] [--json] "
    "[--html FILE] [--store-test FILE] [--connect-timeout S] [--acse-timeout S] "
    "[--dimse-timeout S] [--max-pdu N]\n"
    "       tessaly-cli probe --web URL [--tls-ca FILE|DIR] [--tls-cert FILE [--tls-key FILE]] "
    "[--tls-no-verify] [--user NAME --password-file FILE | --token-file FILE] [--json] "
    "[--html FILE] [--store-test FILE]",
    RunProbeCommand, REQUESTOR_SECURITY_USAGE};

}  // namespace cli
