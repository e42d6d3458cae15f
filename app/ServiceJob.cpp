#include "ServiceJob.h"

#include <cstdio>
#include <ctime>
#include <iterator>

#include "FrontEnd.h"
#include "JobConnection.h"
#include "ProbeJob.h"
#include "QueryJobs.h"
#include "Text.h"
#include "zedavura.h"

namespace app {
namespace {

std::string Outcome(ServiceJob& job, bool succeeded) {
    const Settings& s = job.settings;
    return cli::OutcomeLine(job.Service, succeeded, FieldText(s.RemoteIP), FieldText(s.RemotePort),
                            FieldText(s.RemoteAET));
}

// The outcome line, and after a failure the reason indented under it: in the log, then the
// memo.
void WriteOutcome(ServiceJob& job, const JobResult& result, JobOutput& out) {
    const std::string line = Outcome(job, result.succeeded);
    const std::string why = result.succeeded || result.why.empty() ? "" : "  " + result.why;
    WriteLogLine(line.c_str());
    if (!why.empty()) WriteLogLine(why.c_str());
    out.MemoLine(cli::Cp1252ToUtf8(line));
    if (!why.empty()) out.MemoLine(cli::Cp1252ToUtf8(why));
}

JobResult Echo(ServiceJob& job) {
    cli::NetLine line;
    if (JobResult refused; !Connection(job, line, refused)) return refused;
    const ConnectionOptions options = line.Options();
    if (EchoSCUWith(&options) == 1) return {true, {}};
    return Failed();
}

JobResult Store(ServiceJob& job) {
    if (job.fileName.empty()) return {false, NO_FILE_CHOSEN};
    cli::NetLine line;
    if (JobResult refused; !Connection(job, line, refused)) return refused;
    const ConnectionOptions options = line.Options();
    Settings& s = job.settings;
    const int32_t outcome =
        StoreSCUWith(&options, job.fileName.c_str(), job.TransferSyntax.c_str(), 1);
    if (outcome == STORE_SUCCESS) return {true, {}};
    // Our own failures before any association (a file that cannot be read) have only their
    // outcome's words.
    return Failed(cli::OutcomeWords(OUTCOME_STORE, outcome, FieldText(s.RemoteAET)));
}

}  // namespace

bool Connection(const ServiceJob& job, cli::NetLine& line, JobResult& refused) {
    std::string why;
    if (MakeJobConnection(job.settings, job.ini.connection, line, why)) return true;
    refused = {false, why};
    return false;
}

JobResult Failed(const std::string& otherwise) {
    const std::string line = cli::ExplanationLine();  // indented, or empty
    return {false, line.empty() ? otherwise : line.substr(2)};
}

std::string TransferSyntaxForChoice(int choice) {
    // The dialog's items in order, by the library's names; the first, implicit VR little
    // endian, is the empty text.
    static const char* const CHOICES[] = {nullptr, "explicit", "big", "jpeg-lossless"};
    if (choice < 1 || choice >= static_cast<int>(std::size(CHOICES))) return {};
    const TransferSyntaxInfo* syntax = TransferSyntaxByName(CHOICES[choice]);
    return syntax != nullptr ? syntax->uid : "";
}

std::filesystem::path LogFileName(const std::filesystem::path& workDir, int year, int month,
                                  int day, const std::string& service) {
    char date[16];
    std::snprintf(date, sizeof date, "%02d%02d%04d", day, month, year);
    return workDir / (std::string(date) + "_" + service + ".log");
}

bool RunServiceJob(ServiceJob& job, JobOutput& out) {
    // Dates written later, the study index's date of storage among them, follow this format.
    SetShortDateFormat("ddmmyyyy");
    const std::time_t now = std::time(nullptr);
    std::tm today{};
    localtime_r(&now, &today);
    const auto log = LogFileName(job.WorkDir, today.tm_year + 1900, today.tm_mon + 1, today.tm_mday,
                                 job.Service);
    SetLOG(log.c_str(), job.settings.TraceLevel);
    out.ClearMemo();
    WriteLogLine(("Starting " + job.Service + " Service").c_str());

    JobResult result;
    if (job.Service == "ECHO") {
        result = Echo(job);
    } else if (job.Service == "STORE") {
        result = Store(job);
    } else if (job.Service == "FIND") {
        result = FindStudies(job, out);
    } else if (job.Service == "WORKLIST") {
        result = FindWorklist(job, out);
    } else if (job.Service == "PRINT") {
        result = PrintFile(job, out);
    } else if (job.Service == "PROBE") {
        result = ProbeJob(job, out);
    }
    WriteOutcome(job, result, out);
    return result.succeeded;
}

void EndJobAfterError(ServiceJob& job, const std::string& what, JobOutput& out) {
    const std::string line = job.Service + " stopped by an error: " + what;
    WriteLogLine(line.c_str());
    out.MemoLine(cli::Cp1252ToUtf8(line));
    WriteOutcome(job, JobResult{}, out);
}

}  // namespace app
