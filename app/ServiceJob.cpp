#include "ServiceJob.h"

#include <cstdio>
#include <ctime>
#include <iterator>

#include "FrontEnd.h"
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

void WriteOutcome(ServiceJob& job, bool succeeded, JobOutput& out) {
    const std::string line = Outcome(job, succeeded);
    WriteLogLine(line.c_str());
    out.MemoLine(cli::Cp1252ToUtf8(line));
}

bool Echo(ServiceJob& job) {
    Settings& s = job.settings;
    return EchoSCU(s.RemoteIP.data(), s.RemotePort.data(), s.LocalAET.data(), s.RemoteAET.data()) ==
           1;
}

bool Store(ServiceJob& job) {
    if (job.fileName.empty()) return false;
    Settings& s = job.settings;
    const int32_t outcome =
        StoreSCUStatus(s.RemoteIP.data(), s.RemotePort.data(), s.LocalAET.data(),
                       s.RemoteAET.data(), job.fileName.c_str(), job.TransferSyntax.c_str(), 1);
    return outcome == STORE_SUCCESS;
}

}  // namespace

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

    bool succeeded = false;
    if (job.Service == "ECHO") {
        succeeded = Echo(job);
    } else if (job.Service == "STORE") {
        succeeded = Store(job);
    } else if (job.Service == "FIND") {
        succeeded = FindStudies(job, out);
    } else if (job.Service == "WORKLIST") {
        succeeded = FindWorklist(job, out);
    } else if (job.Service == "PRINT") {
        succeeded = PrintFile(job, out);
    }
    WriteOutcome(job, succeeded, out);
    return succeeded;
}

void EndJobAfterError(ServiceJob& job, const std::string& what, JobOutput& out) {
    const std::string line = job.Service + " stopped by an error: " + what;
    WriteLogLine(line.c_str());
    out.MemoLine(cli::Cp1252ToUtf8(line));
    WriteOutcome(job, false, out);
}

}  // namespace app
