// commit: asks an archive to commit the instances of the files given (storage commitment) and
// prints, once its report came, each instance committed or failed with the reason, the
// transaction UID and how long the commitment took.
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "FrontEnd.h"
#include "NetOptions.h"
#include "zedavura.h"

namespace cli {

extern const Command CommitCommand;

namespace {

void PrintVerdict(void*, const CommitInstance* instance) {
    if (instance->failureReason == 0) {
        std::printf("committed: %s\n", instance->sopInstanceUid);
        return;
    }
    char words[256];
    OutcomeText(OUTCOME_COMMIT_REASON, instance->failureReason, nullptr, words, sizeof words);
    std::printf("failed: %s: %s\n", instance->sopInstanceUid, words);
}

bool Seconds(const std::string& text, uint32_t& ms) {
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != text.npos)
        return false;
    ms = static_cast<uint32_t>(std::stoul(text)) * 1000;
    return ms > 0;
}

int RunCommit(const Args& args) {
    const Command& self = CommitCommand;
    NetLine peer;
    Args rest;
    if (const int bad =
            ParseNetLine(self, args, {"--receive", "--wait"}, NetRole::Requestor, peer, rest);
        bad != 0)
        return bad;
    std::string receive;
    uint32_t waitMs = 60000;
    std::vector<std::string> files;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        const std::string& a = rest[i];
        if (a == "--receive") {
            receive = rest[++i];
            if (receive.empty()) return UsageError(self);
        } else if (a == "--wait") {
            if (!Seconds(rest[++i], waitMs)) return UsageError(self);
        } else if (!a.empty() && a[0] == '-') {
            return UsageError(self);
        } else {
            files.push_back(a);
        }
    }
    if (files.empty()) return UsageError(self);

    WriteLogLine("Starting COMMIT Service");
    const ConnectionOptions connection = peer.Options();
    std::vector<const char*> names;
    for (const std::string& f : files)
        names.push_back(f.c_str());
    CommitSummary summary{};
    const int32_t outcome = CommitSCU(
        &connection, names.data(), static_cast<uint32_t>(names.size()),
        receive.empty() ? nullptr : receive.c_str(), waitMs, &summary, PrintVerdict, nullptr);
    if (outcome == COMMIT_BAD_ARGUMENT) {
        std::fprintf(stderr, "tessaly-cli: commit: %s\n", ExplanationLine().c_str() + 2);
        return 2;
    }
    if (summary.transactionUid[0] != '\0') std::printf("transaction %s\n", summary.transactionUid);
    std::string line;
    if (outcome == COMMIT_NO_ASSOCIATION) {
        line = OutcomeLine("COMMIT", false, peer.host, peer.port, peer.called);
    } else {
        char words[256];
        OutcomeText(OUTCOME_COMMIT, outcome, nullptr, words, sizeof words);
        const uint32_t total = summary.committed + summary.failed;
        char timing[160] = "";
        if (total > 0)
            std::snprintf(timing, sizeof timing,
                          ": %u of %u committed in %.3f s (the report came on %s association)",
                          summary.committed, total, summary.millisecondsToCommit / 1000.0,
                          summary.onOurAssociation ? "our" : "the peer's");
        line = outcome == 0 ? std::string("COMMIT OK") + timing
                            : std::string("COMMIT failed: ") + words + timing;
    }
    const bool ok = outcome == 0;
    WriteLogLine(line.c_str());
    std::fprintf(ok ? stdout : stderr, "%s\n", line.c_str());
    if (const std::string why = ok ? "" : NetExplanationLine(); !why.empty()) {
        WriteLogLine(why.c_str());
        std::fprintf(stderr, "%s\n", why.c_str());
    }
    return ok ? 0 : 1;
}

}  // namespace

const Command CommitCommand = {
    "commit",
    "commit HOST PORT FILE|DIR... [--receive PORT] [--wait S] [--aet LOCAL] [--aec REMOTE] "
    "[--connect-timeout S] [--acse-timeout S] [--dimse-timeout S] [--max-pdu N]",
    RunCommit, REQUESTOR_SECURITY_USAGE};

}  // namespace cli
