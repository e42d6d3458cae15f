// probe --web: what a DICOMweb service offers, in the probe's report. Nothing is stored unless
// --store-test asks for one STOW-RS. The library runs the probe; this command draws its report
// as the DIMSE probe's is drawn.
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "ProbeRender.h"
#include "WebOptions.h"
#include "WebProbeCommand.h"
#include "zedavura.h"

namespace cli {
namespace {

void PrintSection(void*, const ProbeSectionRecord* section) {
    std::fputs(ProbeTextSection(*section).c_str(), stdout);
    std::fflush(stdout);
}

struct ReportDeleter {
    void operator()(ProbeReport* report) const { DeleteProbeReport(report); }
};

}  // namespace

int RunWebProbeCommand(const Command& self, const Args& args) {
    std::string url, html, storeTest;
    bool json = false;
    WebOptions web;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (const int taken = TakeWebOption(args, i, web); taken != 0) {
            if (taken < 0) return UsageError(self);
        } else if (a == "--web" || a == "--html" || a == "--store-test") {
            if (i + 1 == args.size()) return UsageError(self);
            (a == "--web" ? url : a == "--html" ? html : storeTest) = args[++i];
        } else if (a == "--json") {
            json = true;
        } else {
            // HOST, PORT and the DIMSE options belong to the other form of the command.
            std::fprintf(stderr, "tessaly-cli: %s: --web URL takes no '%s'\n", self.name,
                         a.c_str());
            return UsageError(self);
        }
    }
    if (url.empty()) return UsageError(self);
    if (const int bad = FinishWebOptions(self, web); bad != 0) return bad;

    WriteLogLine("Starting PROBE Service");
    ProbePeer peer;
    peer.url = url;
    const WebSettings settings = web.Settings();
    WebProbeOptions options{};
    options.structSize = sizeof options;
    options.serviceUrl = url.c_str();
    options.settings = &settings;
    options.storeTestFile = storeTest.c_str();
    if (!json) std::fputs(ProbeTextHeading(peer).c_str(), stdout);
    const std::unique_ptr<ProbeReport, ReportDeleter> report(
        RunWebProbe(&options, json ? nullptr : PrintSection, nullptr));
    if (!report) {
        std::fprintf(stderr,
                     "tessaly-cli: probe: the probe could not run\n  the library failed (memory, "
                     "most likely): see the trace log\n");
        return 1;
    }
    std::fputs(json ? ProbeJson(peer, report.get()).c_str()
                    : ProbeTextEnd(ProbeAssociationCount(report.get()), true).c_str(),
               stdout);
    if (!html.empty()) {
        std::ofstream file(html, std::ios::binary);
        file << ProbeHtml(peer, report.get());
        if (!file) {
            std::fprintf(stderr, "tessaly-cli: probe: cannot write %s\n", html.c_str());
            return 1;
        }
    }
    const bool answered = ProbeSectionAt(report.get(), 0)->verdict == PROBE_WORKS;
    WriteLogLine(answered ? "PROBE OK" : "PROBE failed: the endpoint did not answer");
    return answered ? 0 : 1;
}

}  // namespace cli
