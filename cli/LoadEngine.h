// The engine of `load`: N workers, each on associations of its own, run one operation (C-ECHO,
// C-STORE of the given files in turn, or a study C-FIND) again and again until the time is over,
// the count is reached or a stop is asked for, optionally paced to a total rate. Everything the
// workers share is read-only (the connection options) or atomic or under a mutex (the counters,
// the new UIDs of a pass, a file's data set while it is sent); each worker keeps its own latencies
// and failure words, merged once the workers have ended. It speaks through zedavura.h only.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Commands.h"
#include "zedavura.h"

namespace cli {

enum class LoadOperation { Echo, Store, Find };

struct LoadPlan {
    LoadOperation operation = LoadOperation::Echo;
    int workers = 4;
    double seconds = 0;              // 0: no time limit (then count is set)
    uint64_t count = 0;              // 0: no limit on operations (then seconds is set)
    uint64_t perAssociation = 0;     // 0: one association per worker for the whole run
    double rate = 0;                 // operations per second in total; 0: as fast as they go
    bool newUids = false;            // store: fresh Study/Series/SOP Instance UIDs for each copy
    std::vector<std::string> files;  // store: Part 10 files, in the order they are sent
    std::vector<std::pair<std::string, std::string>> keys;  // find: FIELD=VALUE at STUDY level
};

// What a run did. Latencies are in milliseconds, of the operations that succeeded and of the
// associations that opened; failures count each kind by its words.
struct LoadTally {
    uint64_t operationsDone = 0, operationsFailed = 0;
    uint64_t associationsOpened = 0, associationsFailed = 0;
    uint64_t bytesSent = 0;  // store: the sizes of the files stored
    double seconds = 0;
    bool interrupted = false;
    std::vector<double> operationMs, openMs;
    std::map<std::string, uint64_t> failures;
};

// Live counters for the progress line.
struct LoadProgress {
    std::atomic<uint64_t> done{0}, failed{0};
};

// The files read once, for every worker to share. Their large values (pixel data) stay in the
// files, which stay open, and are read from there at each send, straight into what goes out:
// a start without bringing every image into memory first. Values are brought into memory when
// the copies are renamed (newUids), and for the files beyond what the process may keep open.
class LoadFiles {
  public:
    LoadFiles() = default;
    ~LoadFiles();
    LoadFiles(const LoadFiles&) = delete;
    LoadFiles& operator=(const LoadFiles&) = delete;

    // Reads every file of paths (folders: the Part 10 files in them, in name order, DICOMDIR
    // left out); false with why when one given by name cannot be read or none is left.
    bool Read(const std::vector<std::string>& paths, bool newUids, std::string& why);

    struct File {
        std::string path, sopClass, syntax, study, series, instance;
        ElementList* dataSet = nullptr;  // threads only read it (TagHeaderAt, never TagAt)
        uint64_t bytes = 0;
        // Held while the data set itself is being sent: a send stores each element's wire VR
        // into it and puts the VRs back after, so two workers never send it at once.
        std::unique_ptr<std::mutex> sending = std::make_unique<std::mutex>();
    };
    const std::vector<File>& Files() const { return files_; }

  private:
    std::vector<File> files_;
};

// Runs the plan against options (read by every worker; the caller keeps it alive). stop is
// looked at before each operation; progress is kept up to date as the workers go.
LoadTally RunLoad(const Command& self, const LoadPlan& plan, const ConnectionOptions& options,
                  const LoadFiles& files, const std::atomic<bool>& stop, LoadProgress& progress);

// The value below which p percent of the sorted values lie (nearest rank); 0 for none.
double Percentile(const std::vector<double>& sorted, double p);

}  // namespace cli
