// One job of the service runner: everything a button press hands the worker, copied when the
// button is pressed so the worker never reads values the window may change, and the steps of
// running it. No Qt here: the job speaks to the memo through JobOutput.
#pragma once

#include <filesystem>
#include <string>

#include "IniSettings.h"
#include "NetLine.h"
#include "Settings.h"

namespace app {

struct ServiceJob {
    std::string Service;  // "ECHO", "STORE", "FIND", "WORKLIST", "PRINT" or "PROBE"
    Settings settings;    // the peer, the AE titles, the trace level, the print choices
    IniSettings ini;      // the query character set
    std::filesystem::path WorkDir;
    std::string TransferSyntax;  // STORE: the UID proposed after the file's own; empty: implicit
    // STORE and PRINT: chosen before the job; empty when the choice was cancelled.
    std::string fileName;
    std::string PatientFilter;  // query jobs: the patient name key, UTF-8
    std::string DateFilter;     // query jobs: the date key, UTF-8
};

// Where a job's lines go; called on the worker's thread, in the order of the lines.
class JobOutput {
  public:
    virtual ~JobOutput() = default;
    virtual void ClearMemo() = 0;
    virtual void MemoLine(const std::string& text) = 0;  // UTF-8 text
    // The lines so far are to be shown now, not with the next block.
    virtual void Flush() {}
    // A finished probe's report as the HTML page and the JSON document (UTF-8).
    virtual void ProbeReport(const std::string& html, const std::string& json) {
        (void)html, (void)json;
    }
};

// How a service ended: whether it succeeded and, when not, why, in the library's words where
// it has them (LastFailureText, read on the job's thread right after the call that failed);
// "" when there is nothing to add.
struct JobResult {
    bool succeeded = false;
    std::string why;  // Windows-1252, as the library writes it
};

// Why a job that needed a file failed when the operator chose none.
constexpr const char* NO_FILE_CHOSEN = "no file was chosen: press the button again and pick one";

// A failed result with the library's explanation of the thread's last failure, or otherwise
// when the library has none.
JobResult Failed(const std::string& otherwise = {});

// The job's connection from its settings: false, with refused the failure to report, when a
// file the connection settings name cannot be used.
bool Connection(const ServiceJob& job, cli::NetLine& line, JobResult& refused);

// The transfer syntax UID of the TransferSyntax dialog's choice; empty for implicit VR little
// endian and for a value that names no item.
std::string TransferSyntaxForChoice(int choice);

// The daily log: workDir, the date as ddmmyyyy, "_", the service, ".log".
std::filesystem::path LogFileName(const std::filesystem::path& workDir, int year, int month,
                                  int day, const std::string& service);

// Runs the job: log file and trace level, a cleared memo, "Starting <service> Service" in the
// log, the service, and the outcome line in the log and then the memo; after a failure line,
// indented under it, why it failed and what to do. True when it succeeded.
bool RunServiceJob(ServiceJob& job, JobOutput& out);

// Ends a job that an unexpected error stopped: the error and the failure line, in the log and
// the memo.
void EndJobAfterError(ServiceJob& job, const std::string& what, JobOutput& out);

}  // namespace app
