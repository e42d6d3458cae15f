#include "ProbeJob.h"

#include <memory>
#include <string_view>

#include "ProbeRender.h"
#include "Text.h"
#include "zedavura.h"

namespace app {
namespace {

struct ReportDeleter {
    void operator()(ProbeReport* report) const { DeleteProbeReport(report); }
};

// The text form's lines into the memo, shown at once.
void ShowText(JobOutput& out, std::string_view text) {
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        out.MemoLine(std::string(text.substr(0, end)));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
    out.Flush();
}

// Called on the job's thread while the probe runs. What escapes a callback would end the whole
// probe in the library's guard: a section's lines that cannot be shown are lost instead.
void ShowSection(void* context, const ProbeSectionRecord* section) {
    try {
        ShowText(*static_cast<JobOutput*>(context), cli::ProbeTextSection(*section));
    } catch (...) {
    }
}

}  // namespace

JobResult ProbeJob(ServiceJob& job, JobOutput& out) {
    const Settings& s = job.settings;
    const cli::ProbePeer peer{FieldText(s.RemoteIP),
                              FieldText(s.RemotePort),
                              FieldText(s.LocalAET),
                              FieldText(s.RemoteAET),
                              {}};
    cli::NetLine line;
    if (JobResult refused; !Connection(job, line, refused)) return refused;
    const ConnectionOptions connectionOptions = line.Options();
    ProbeOptions options{};
    options.structSize = sizeof options;
    options.connection = &connectionOptions;
    options.host = peer.host.c_str();
    options.port = peer.port.c_str();
    options.callingAeTitle = peer.calling.c_str();
    options.calledAeTitle = peer.called.c_str();
    ShowText(out, cli::Cp1252ToUtf8(cli::ProbeTextHeading(peer)));
    const std::unique_ptr<ProbeReport, ReportDeleter> report(RunProbe(&options, ShowSection, &out));
    if (!report) return {false, "the probe could not run: the library failed (see the trace log)"};
    ShowText(out, cli::ProbeTextEnd(ProbeAssociationCount(report.get())));
    out.ProbeReport(cli::ProbeHtml(peer, report.get()), cli::ProbeJson(peer, report.get()));
    const ProbeSectionRecord* connection = ProbeSectionAt(report.get(), 0);
    if (connection->verdict == PROBE_WORKS) return {true, {}};
    return {false, cli::ProbeDetail(connection->reason, connection->advice)};
}

}  // namespace app
