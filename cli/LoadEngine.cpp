#include "LoadEngine.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <mutex>
#include <thread>

#include "FrontEnd.h"
#include "NetOptions.h"
#include "QueryOutput.h"
#include "Text.h"

namespace cli {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char IMPLICIT_VR_LITTLE_ENDIAN[] = "1.2.840.10008.1.2";

// The text of a UID value: up to its length, without the 0x00 or space padding.
std::string UidText(const DicomElement* e) {
    if (e == nullptr || e->value == nullptr || e->length == UNDEFINED_LENGTH) return {};
    std::string text(reinterpret_cast<const char*>(e->value), e->length);
    if (const std::size_t nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

std::string UidOf(const ElementList* list, uint16_t group, uint16_t element) {
    for (uint32_t i = 0, n = TagCount(list); i < n; ++i) {
        const DicomElement* e = TagHeaderAt(list, i);
        if (e->group == group && e->element == element) return UidText(TagAt(list, i));
    }
    return {};
}

double Milliseconds(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// A UID value as it goes on the wire: padded with 0x00 to even length.
void AppendUid(ElementList* list, const DicomElement& e, const std::string& uid) {
    std::string value = uid;
    if (value.size() % 2 != 0) value.push_back('\0');
    AppendTag(list, GenerateTag(e.group, e.element, static_cast<uint32_t>(value.size()),
                                value.data(), "UI"));
}

// True when a value of the list is left in its file (which stays open while it is).
bool LeftInFile(const ElementList* list) {
    for (uint32_t i = 0, n = TagCount(list); i < n; ++i) {
        const DicomElement* e = TagHeaderAt(list, i);
        if (e->value == nullptr && e->length != 0 && e->length != UNDEFINED_LENGTH) return true;
    }
    return false;
}

// How many files may stay open for their values: half of what the process may have open, the
// other half left to the connections and everything else.
std::size_t FilesThatMayStayOpen() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    if (limit.rlim_cur == RLIM_INFINITY) return 1u << 20;
    return static_cast<std::size_t>(limit.rlim_cur / 2);
}

std::string MakeUid() {
    char text[80] = "";
    NewUID(text, sizeof text);
    return text;
}

}  // namespace

LoadFiles::~LoadFiles() {
    for (File& f : files_)
        DeleteElementList(f.dataSet);
}

bool LoadFiles::Read(const std::vector<std::string>& paths, bool newUids, std::string& why) {
    std::size_t keptOpen = 0;
    const std::size_t mayKeepOpen = newUids ? 0 : FilesThatMayStayOpen();
    for (const std::string& given : paths) {
        std::error_code ec;
        std::vector<fs::path> found;
        const bool folder = fs::is_directory(given, ec);
        if (folder) {
            for (fs::recursive_directory_iterator it(given, ec), end; !ec && it != end;
                 it.increment(ec))
                if (it->is_regular_file(ec) && it->path().filename() != "DICOMDIR")
                    found.push_back(it->path());
            std::sort(found.begin(), found.end());
        } else {
            found.push_back(given);
        }
        for (const fs::path& path : found) {
            File f;
            f.path = path.string();
            ElementList* meta = NewElementList();
            f.dataSet = NewElementList();
            uint8_t explicitVr = 0;
            const bool read = DICOMFile(f.path.c_str(), meta, f.dataSet, &explicitVr) == 1;
            f.syntax = read ? TransferSyntaxOf(meta) : "";
            DeleteElementList(meta);
            if (read) {
                // Values left in the file are brought in now, or never: the workers share the
                // list and must only read it.
                if (LeftInFile(f.dataSet)) {
                    if (keptOpen < mayKeepOpen)
                        ++keptOpen;
                    else
                        for (uint32_t i = 0, n = TagCount(f.dataSet); i < n; ++i)
                            TagAt(f.dataSet, i);
                }
                f.sopClass = UidOf(f.dataSet, 0x0008, 0x0016);
                f.instance = UidOf(f.dataSet, 0x0008, 0x0018);
                f.study = UidOf(f.dataSet, 0x0020, 0x000D);
                f.series = UidOf(f.dataSet, 0x0020, 0x000E);
                f.bytes = fs::file_size(path, ec);
            }
            if (!read || f.sopClass.empty() || f.syntax.empty()) {
                DeleteElementList(f.dataSet);
                if (folder) continue;  // what else a folder holds is not ours to send
                char problem[512] = "";
                DICOMFileProblem(f.path.c_str(), problem, sizeof problem);
                why = "cannot send " + f.path + ": " +
                      (problem[0] != '\0' ? std::string(problem)
                                          : std::string("it has no SOP Class UID"));
                return false;
            }
            files_.push_back(std::move(f));
        }
    }
    if (files_.empty()) why = "no DICOM file to send in what was given";
    return !files_.empty();
}

double Percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    const auto rank =
        static_cast<std::size_t>(std::ceil(p / 100 * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

namespace {

// What the workers share.
struct Shared {
    const LoadPlan& plan;
    const ConnectionOptions& options;
    const LoadFiles& files;
    const std::atomic<bool>& stop;
    LoadProgress& progress;
    const Command& self;
    Clock::time_point start;
    std::atomic<uint64_t> claimed{0};

    // New Study and Series UIDs of each pass through the files, by the original UID.
    std::mutex uidsMutex{};
    std::map<uint64_t, std::map<std::string, std::string>> passUids{};

    bool TimeLeft(Clock::time_point at) const {
        return plan.seconds <= 0 || at < start + std::chrono::duration<double>(plan.seconds);
    }

    // The number of the next operation, once it is due; false when the run is over.
    bool Claim(uint64_t& n) {
        if (stop.load() || !TimeLeft(Clock::now())) return false;
        n = claimed.fetch_add(1);
        if (plan.count > 0 && n >= plan.count) return false;
        if (plan.rate > 0) {
            const auto due =
                start + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(static_cast<double>(n) / plan.rate));
            if (!TimeLeft(due)) return false;
            // In short steps, so that a stop is seen while waiting.
            for (auto now = Clock::now(); now < due && !stop.load(); now = Clock::now())
                std::this_thread::sleep_for(
                    std::min<Clock::duration>(due - now, std::chrono::milliseconds(50)));
        }
        return !stop.load();
    }

    // The replacement of original in pass, made once for the pass.
    std::string PassUid(uint64_t pass, const std::string& original) {
        const std::lock_guard<std::mutex> lock(uidsMutex);
        std::string& uid = passUids[pass][original];
        if (uid.empty()) uid = MakeUid();
        // Passes far behind every worker are done with.
        while (passUids.size() > 1 &&
               passUids.begin()->first + static_cast<uint64_t>(plan.workers) + 1 < pass)
            passUids.erase(passUids.begin());
        return uid;
    }
};

// One worker's own counts, merged into the tally at the end.
struct WorkerTally {
    LoadTally tally;

    void Failed(const std::string& words, bool association) {
        ++tally.operationsFailed;
        if (association) ++tally.associationsFailed;
        ++tally.failures[words];
    }
};

// The words of the failure just seen: the wait that ran out, the status, or what the library
// noted; kind names what failed.
std::string FailureWords(const std::string& kind, int32_t family, int32_t code) {
    if (const std::string timeout = TimeoutWords(); !timeout.empty())
        return kind + ": time-out: " + timeout;
    if (code > 0) return kind + ": " + OutcomeWords(family, code);
    char text[1024] = "";
    LastFailureText(text, sizeof text);
    if (text[0] != '\0') return kind + ": " + text;
    return kind + ": " + (code < 0 ? OutcomeWords(family, code) : std::string("failed"));
}

class Worker {
  public:
    explicit Worker(Shared& shared) : s_(shared) {}
    ~Worker() { Drop(); }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    void Run() {
        uint64_t n = 0;
        while (s_.Claim(n)) {
            const LoadFiles::File* file = nullptr;
            if (s_.plan.operation == LoadOperation::Store)
                file = &s_.files.Files()[n % s_.files.Files().size()];
            if (assoc_ != nullptr &&
                ((s_.plan.perAssociation > 0 && onThis_ >= s_.plan.perAssociation) ||
                 (file != nullptr && (file->sopClass != sopClass_ || file->syntax != syntax_))))
                Drop();
            if (assoc_ == nullptr && !Open(file)) continue;
            ++onThis_;
            const auto begin = Clock::now();
            const bool ok = Operate(n, file);
            if (ok) {
                w_.tally.operationMs.push_back(Milliseconds(Clock::now() - begin));
                ++w_.tally.operationsDone;
                s_.progress.done.fetch_add(1);
            } else {
                s_.progress.failed.fetch_add(1);
            }
        }
        Drop();
    }

    LoadTally& Tally() { return w_.tally; }

  private:
    bool Open(const LoadFiles::File* file) {
        assoc_ = NewPDU();
        SetMessageDump(assoc_, TraceLevel() >= 2 ? 1 : 0);
        const char* abstract = SOP_CLASS_VERIFICATION;
        const char* syntax = nullptr;
        if (file != nullptr) {
            sopClass_ = file->sopClass;
            syntax_ = file->syntax;
            abstract = sopClass_.c_str();
            if (syntax_ != IMPLICIT_VR_LITTLE_ENDIAN) syntax = syntax_.c_str();
        } else if (s_.plan.operation == LoadOperation::Find) {
            abstract = SOP_CLASS_STUDY_ROOT_FIND;
        }
        const auto begin = Clock::now();
        if (OpenAssocWith(assoc_, &s_.options, abstract, syntax) != 1) {
            w_.Failed(FailureWords("association", OUTCOME_STORE, 0), true);
            s_.progress.failed.fetch_add(1);
            DeletePDU(assoc_);
            assoc_ = nullptr;
            return false;
        }
        w_.tally.openMs.push_back(Milliseconds(Clock::now() - begin));
        ++w_.tally.associationsOpened;
        onThis_ = 0;
        return true;
    }

    void Drop() {
        if (assoc_ == nullptr) return;
        DeletePDU(assoc_);
        assoc_ = nullptr;
    }

    bool Operate(uint64_t n, const LoadFiles::File* file) {
        switch (s_.plan.operation) {
            case LoadOperation::Echo:
                return Echo();
            case LoadOperation::Store:
                return Store(n, *file);
            case LoadOperation::Find:
                return Find();
        }
        return false;
    }

    bool Echo() {
        if (WriteEchoRQ(assoc_, SOP_CLASS_VERIFICATION) == 1 && ReadEchoRSP(assoc_) == 1)
            return true;
        w_.Failed(FailureWords("C-ECHO", OUTCOME_STATUS, 0), false);
        Drop();  // whether it still stands is not told: the next echo goes on a new one
        return false;
    }

    bool Store(uint64_t n, const LoadFiles::File& file) {
        ElementList* copy = s_.plan.newUids ? Renamed(n, file) : nullptr;
        ElementList* dataSet = copy != nullptr ? copy : file.dataSet;
        int32_t status = STORE_SEND_FAILED;
        bool sent = false;
        {
            // A copy is this worker's own; the shared data set goes out one worker at a time.
            std::unique_lock<std::mutex> lock(*file.sending, std::defer_lock);
            if (copy == nullptr) lock.lock();
            sent =
                WriteStoreRQ(assoc_, dataSet, file.sopClass.c_str(), file.syntax.c_str(), 1) == 1;
        }
        if (sent) status = ReadStoreRSP(assoc_);
        DeleteElementList(copy);
        if (status == STORE_SUCCESS) {
            w_.tally.bytesSent += file.bytes;
            return true;
        }
        w_.Failed(FailureWords("C-STORE", OUTCOME_STORE, status), false);
        if (status < 0) Drop();
        return false;
    }

    // A copy of the file's data set with the UIDs of copy n: the Study and Series of its pass
    // through the files, a SOP Instance of its own.
    ElementList* Renamed(uint64_t n, const LoadFiles::File& file) {
        const uint64_t pass = n / s_.files.Files().size();
        const std::string study = s_.PassUid(pass, file.study);
        const std::string series = s_.PassUid(pass, file.series);
        const std::string instance = MakeUid();
        ElementList* copy = NewElementList();
        for (uint32_t i = 0, count = TagCount(file.dataSet); i < count; ++i) {
            const DicomElement* e = TagHeaderAt(file.dataSet, i);
            const bool uid = e->group == 0x0008 || e->group == 0x0020;
            const std::string text = uid ? UidText(e) : std::string();
            if (e->group == 0x0020 && e->element == 0x000D && text == file.study) {
                AppendUid(copy, *e, study);
            } else if (e->group == 0x0020 && e->element == 0x000E && text == file.series) {
                AppendUid(copy, *e, series);
            } else if (e->group == 0x0008 && e->element == 0x0018 && text == file.instance) {
                AppendUid(copy, *e, instance);
            } else {
                const std::string vr(e->vr, e->vr[0] == '\0' ? 0 : 2);
                AppendTag(copy, GenerateTag(e->group, e->element, e->length, e->value,
                                            vr.empty() ? nullptr : vr.c_str()));
            }
        }
        return copy;
    }

    bool Find() {
        RecordList* list = KeyList(s_.self, s_.plan.keys, "STUDY", std::nullopt);
        int32_t status = QUERY_SEND_FAILED;
        if (list != nullptr && WriteFindRQ(assoc_, list, SOP_CLASS_STUDY_ROOT_FIND, "STUDY") == 1) {
            do
                status = ReadFindRSP(assoc_, list, "STUDY");
            while (IsPendingStatus(status) == 1);
        }
        if (list != nullptr) {
            ClearQuery(list, "STUDY");
            DeleteRecordList(list);
        }
        if (status == 0) return true;
        w_.Failed(FailureWords("C-FIND", OUTCOME_FIND, status), false);
        if (status < 0) Drop();
        return false;
    }

    Shared& s_;
    WorkerTally w_;
    Association* assoc_ = nullptr;
    uint64_t onThis_ = 0;
    std::string sopClass_, syntax_;
};

}  // namespace

LoadTally RunLoad(const Command& self, const LoadPlan& plan, const ConnectionOptions& options,
                  const LoadFiles& files, const std::atomic<bool>& stop, LoadProgress& progress) {
    Shared shared{plan, options, files, stop, progress, self, Clock::now()};
    std::vector<std::unique_ptr<Worker>> workers;
    for (int i = 0; i < plan.workers; ++i)
        workers.push_back(std::make_unique<Worker>(shared));
    std::vector<std::thread> threads;
    for (auto& worker : workers)
        threads.emplace_back([&worker] {
            try {
                worker->Run();
            } catch (...) {
                // Memory ran out: what this worker did so far still counts.
            }
        });
    for (std::thread& t : threads)
        t.join();

    LoadTally total;
    total.seconds = Milliseconds(Clock::now() - shared.start) / 1000;
    total.interrupted = stop.load();
    for (auto& worker : workers) {
        LoadTally& t = worker->Tally();
        total.operationsDone += t.operationsDone;
        total.operationsFailed += t.operationsFailed;
        total.associationsOpened += t.associationsOpened;
        total.associationsFailed += t.associationsFailed;
        total.bytesSent += t.bytesSent;
        total.operationMs.insert(total.operationMs.end(), t.operationMs.begin(),
                                 t.operationMs.end());
        total.openMs.insert(total.openMs.end(), t.openMs.begin(), t.openMs.end());
        for (const auto& [words, count] : t.failures)
            total.failures[words] += count;
    }
    std::sort(total.operationMs.begin(), total.operationMs.end());
    std::sort(total.openMs.begin(), total.openMs.end());
    return total;
}

}  // namespace cli
