// load: how much a peer takes. Workers run C-ECHO, C-STORE or C-FIND against one peer for a
// time or a count (see LoadEngine.h); a progress line a second goes to standard error and the
// report (operations and associations per second, MB/s, latency percentiles, every failure by
// its words) to standard output, as text or one JSON object. Ctrl-C ends the run at the next
// operation of each worker, and the report tells what was done.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "Commands.h"
#include "LoadEngine.h"
#include "NetOptions.h"
#include "QueryOutput.h"
#include "zedavura.h"

namespace cli {

extern const Command LoadCommand;

namespace {

constexpr int MOST_WORKERS = 1024;
constexpr double LONGEST_RUN_SECONDS = 7 * 86400;

std::atomic<bool> gStop{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void StopOnSignal(int) {
    gStop.store(true);
}

const char* OperationName(LoadOperation op) {
    return op == LoadOperation::Echo ? "echo" : op == LoadOperation::Store ? "store" : "find";
}

const char* CommandName(LoadOperation op) {
    return op == LoadOperation::Echo ? "C-ECHO" : op == LoadOperation::Store ? "C-STORE" : "C-FIND";
}

// A positive number no larger than most; false for anything else.
bool Number(const std::string& text, double most, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && value > 0 && value <= most;
}

bool Whole(const std::string& text, double most, uint64_t& value) {
    double v = 0;
    if (!Number(text, most, v) || v != std::floor(v)) return false;
    value = static_cast<uint64_t>(v);
    return true;
}

int BadValue(const std::string& option, const std::string& takes, const std::string& value) {
    std::fprintf(stderr, "tessaly-cli: load: %s takes %s, not '%s'\n", option.c_str(),
                 takes.c_str(), value.c_str());
    return 2;
}

int ParsePlan(const Args& rest, LoadPlan& plan, bool& json) {
    const Command& self = LoadCommand;
    bool haveOp = false;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        const std::string& a = rest[i];
        const std::string value = i + 1 < rest.size() ? rest[i + 1] : "";
        uint64_t whole = 0;
        if (a == "--op") {
            ++i;
            if (value == "echo" || value == "store" || value == "find") {
                plan.operation = value == "echo"    ? LoadOperation::Echo
                                 : value == "store" ? LoadOperation::Store
                                                    : LoadOperation::Find;
                haveOp = true;
            } else {
                return BadValue(a, "echo, store or find", value);
            }
        } else if (a == "--associations") {
            ++i;
            if (!Whole(value, MOST_WORKERS, whole))
                return BadValue(a, "a number of associations from 1 to 1024", value);
            plan.workers = static_cast<int>(whole);
        } else if (a == "--duration") {
            ++i;
            if (!Number(value, LONGEST_RUN_SECONDS, plan.seconds))
                return BadValue(a, "a number of seconds above 0 and at most 604800", value);
        } else if (a == "--count") {
            ++i;
            if (!Whole(value, 1e15, plan.count))
                return BadValue(a, "a number of operations of 1 or more", value);
        } else if (a == "--per-association") {
            ++i;
            if (!Whole(value, 1e15, plan.perAssociation))
                return BadValue(a, "a number of operations of 1 or more", value);
        } else if (a == "--rate") {
            ++i;
            if (!Number(value, 1e6, plan.rate))
                return BadValue(a, "a number of operations per second above 0", value);
        } else if (a == "--key") {
            const std::size_t eq = value.find('=');
            ++i;
            if (eq == std::string::npos || eq == 0) {
                std::fprintf(stderr, "tessaly-cli: load: a key is FIELD=VALUE\n");
                return UsageError(self);
            }
            plan.keys.emplace_back(value.substr(0, eq), value.substr(eq + 1));
        } else if (a == "--new-uids") {
            plan.newUids = true;
        } else if (a == "--json") {
            json = true;
        } else if (!a.empty() && a[0] == '-') {
            return UsageError(self);
        } else {
            plan.files.push_back(a);
        }
    }
    const bool store = plan.operation == LoadOperation::Store;
    const bool find = plan.operation == LoadOperation::Find;
    if (!haveOp || (plan.seconds > 0 && plan.count > 0) || store != !plan.files.empty() ||
        (!find && !plan.keys.empty()) || (!store && plan.newUids))
        return UsageError(self);
    if (plan.seconds == 0 && plan.count == 0) plan.seconds = 10;
    if (find) {
        // Keys that name no field are told now, once.
        RecordList* list = KeyList(self, plan.keys, "STUDY", std::nullopt);
        if (list == nullptr) return 2;
        ClearQuery(list, "STUDY");
        DeleteRecordList(list);
    }
    return 0;
}

// Per second, with nothing over no time.
double PerSecond(double amount, double seconds) {
    return seconds > 0 ? amount / seconds : 0;
}

nlohmann::json LatencyJson(const std::vector<double>& sorted) {
    nlohmann::json j = {{"count", sorted.size()}};
    if (sorted.empty()) return j;
    j["min"] = sorted.front();
    j["p50"] = Percentile(sorted, 50);
    j["p90"] = Percentile(sorted, 90);
    j["p99"] = Percentile(sorted, 99);
    j["max"] = sorted.back();
    return j;
}

std::string LatencyLine(const char* what, const std::vector<double>& sorted) {
    char line[160];
    if (sorted.empty()) {
        std::snprintf(line, sizeof line, "  %-12s %9s %9s %9s %9s %9s\n", what, "-", "-", "-", "-",
                      "-");
    } else {
        std::snprintf(line, sizeof line, "  %-12s %9.2f %9.2f %9.2f %9.2f %9.2f\n", what,
                      sorted.front(), Percentile(sorted, 50), Percentile(sorted, 90),
                      Percentile(sorted, 99), sorted.back());
    }
    return line;
}

void PrintReport(const LoadPlan& plan, const NetLine& peer, const LoadTally& t, bool json) {
    const bool store = plan.operation == LoadOperation::Store;
    const double megabytes = static_cast<double>(t.bytesSent) / 1e6;
    if (json) {
        nlohmann::json j = {
            {"operation", OperationName(plan.operation)},
            {"peer", peer.Peer()},
            {"associationsInParallel", plan.workers},
            {"seconds", t.seconds},
            {"interrupted", t.interrupted},
            {"operations",
             {{"done", t.operationsDone},
              {"failed", t.operationsFailed},
              {"perSecond", PerSecond(static_cast<double>(t.operationsDone), t.seconds)}}},
            {"associations",
             {{"opened", t.associationsOpened},
              {"failed", t.associationsFailed},
              {"perSecond", PerSecond(static_cast<double>(t.associationsOpened), t.seconds)}}},
            {"latencyMs",
             {{"operation", LatencyJson(t.operationMs)}, {"association", LatencyJson(t.openMs)}}},
            {"failures", nlohmann::json::array()}};
        if (store) {
            j["megabytes"] = megabytes;
            j["megabytesPerSecond"] = PerSecond(megabytes, t.seconds);
        }
        for (const auto& [words, count] : t.failures)
            j["failures"].push_back({{"kind", words}, {"count", count}});
        std::printf("%s\n", j.dump(2).c_str());
        return;
    }
    std::string text = "LOAD " + std::string(OperationName(plan.operation)) + ": " + peer.Peer() +
                       ", " + std::to_string(plan.workers) + " associations at a time\n";
    char line[256];
    if (t.interrupted) text += "stopped by Ctrl-C\n";
    std::snprintf(line, sizeof line, "time: %.2f s\n", t.seconds);
    text += line;
    std::snprintf(line, sizeof line, "operations: %llu done, %llu failed, %.1f/s\n",
                  static_cast<unsigned long long>(t.operationsDone),
                  static_cast<unsigned long long>(t.operationsFailed),
                  PerSecond(static_cast<double>(t.operationsDone), t.seconds));
    text += line;
    std::snprintf(line, sizeof line, "associations: %llu opened, %llu failed, %.1f/s\n",
                  static_cast<unsigned long long>(t.associationsOpened),
                  static_cast<unsigned long long>(t.associationsFailed),
                  PerSecond(static_cast<double>(t.associationsOpened), t.seconds));
    text += line;
    if (store) {
        std::snprintf(line, sizeof line, "data: %.1f MB sent, %.1f MB/s\n", megabytes,
                      PerSecond(megabytes, t.seconds));
        text += line;
    }
    std::snprintf(line, sizeof line, "latency (ms)   %9s %9s %9s %9s %9s\n", "min", "p50", "p90",
                  "p99", "max");
    text += line;
    text += LatencyLine(CommandName(plan.operation), t.operationMs);
    text += LatencyLine("association", t.openMs);
    text += t.failures.empty() ? "failures: none\n" : "failures:\n";
    for (const auto& [words, count] : t.failures)
        text += "  " + std::to_string(count) + " x " + words + "\n";
    std::fputs(text.c_str(), stdout);
}

int RunLoadCommand(const Args& args) {
    const Command& self = LoadCommand;
    NetLine peer;
    Args rest;
    if (const int bad = ParseNetLine(self, args,
                                     {"--op", "--associations", "--duration", "--count",
                                      "--per-association", "--rate", "--key"},
                                     NetRole::Requestor, peer, rest);
        bad != 0)
        return bad;
    LoadPlan plan;
    bool json = false;
    if (const int bad = ParsePlan(rest, plan, json); bad != 0) return bad;
    LoadFiles files;
    if (std::string why;
        plan.operation == LoadOperation::Store && !files.Read(plan.files, plan.newUids, why)) {
        std::fprintf(stderr, "tessaly-cli: load: %s\n", why.c_str());
        return 1;
    }

    // Ctrl-C asks the workers to stop; a second one ends the process at once.
    gStop.store(false);
    struct sigaction action {};
    action.sa_handler = StopOnSignal;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);

    const ConnectionOptions options = peer.Options();
    LoadProgress progress;
    std::mutex mutex;
    std::condition_variable ended;
    bool over = false;
    std::thread reporter([&] {
        uint64_t before = 0;
        std::unique_lock<std::mutex> lock(mutex);
        while (!ended.wait_for(lock, std::chrono::seconds(1), [&] { return over; })) {
            const uint64_t done = progress.done.load();
            std::fprintf(stderr, "load: %llu operations, %llu/s, %llu errors\n",
                         static_cast<unsigned long long>(done),
                         static_cast<unsigned long long>(done - before),
                         static_cast<unsigned long long>(progress.failed.load()));
            std::fflush(stderr);
            before = done;
        }
    });
    const LoadTally tally = RunLoad(self, plan, options, files, gStop, progress);
    {
        const std::lock_guard<std::mutex> lock(mutex);
        over = true;
    }
    ended.notify_one();
    reporter.join();
    signal(SIGINT, SIG_DFL);

    PrintReport(plan, peer, tally, json);
    std::fflush(stdout);
    return tally.operationsFailed == 0 ? 0 : 1;
}

}  // namespace

const Command LoadCommand = {
    "load",
    "load HOST PORT --op echo|store|find [FILE|DIR...] [--key FIELD=VALUE]... "
    "[--associations N] [--duration S | --count M] [--per-association K] [--rate R] "
    "[--new-uids] [--json] [--aet LOCAL] [--aec REMOTE] [--connect-timeout S] "
    "[--acse-timeout S] [--dimse-timeout S] [--max-pdu N]",
    RunLoadCommand};

}  // namespace cli
