// mpps: a modality's performed procedure step on the command line. "create" opens a step IN
// PROGRESS and prints its SOP Instance UID; "set UID --status COMPLETED|DISCONTINUED" ends it
// with the series of the files given.
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "Commands.h"
#include "FrontEnd.h"
#include "Text.h"
#include "zedavura.h"

namespace cli {

extern const Command MppsCommand;

namespace {

constexpr std::size_t AE_TITLE_LIMIT = 16;

int RunMpps(const Args& args) {
    const Command& self = MppsCommand;
    std::string calling, called = "ANY-SCP", status;
    std::vector<std::string> positional, fields, values;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--aet" || a == "--aec" || a == "--status" || a == "--key") {
            if (i + 1 == args.size()) return UsageError(self);
            const std::string& value = args[++i];
            if (a == "--aet") calling = value;
            if (a == "--aec") called = value;
            if (a == "--status") status = value;
            if (a == "--key") {
                const std::size_t eq = value.find('=');
                if (eq == std::string::npos || eq == 0) return UsageError(self);
                fields.push_back(value.substr(0, eq));
                // Keys come in UTF-8 from the terminal; the step's texts are Windows-1252.
                values.push_back(Utf8ToCp1252(value.substr(eq + 1)));
            }
        } else if (!a.empty() && a[0] == '-') {
            return UsageError(self);
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() < 3 || positional[0].empty() || positional[1].empty())
        return UsageError(self);
    const std::string& host = positional[0];
    const std::string& port = positional[1];
    const std::string& action = positional[2];
    if (calling.size() > AE_TITLE_LIMIT || called.size() > AE_TITLE_LIMIT) {
        std::fprintf(stderr, "tessaly-cli: mpps: an AE title holds at most 16 characters\n");
        return 2;
    }
    const bool create = action == "create";
    if (create ? (positional.size() != 3 || !status.empty())
               : (action != "set" || positional.size() < 4 || !fields.empty() ||
                  (status != "COMPLETED" && status != "DISCONTINUED")))
        return UsageError(self);

    WriteLogLine("Starting MPPS Service");
    int32_t outcome = 0;
    std::string detail;
    if (create) {
        std::vector<const char*> f, v;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            f.push_back(fields[i].c_str());
            v.push_back(values[i].c_str());
        }
        char uid[65] = {};
        outcome =
            MppsCreateSCU(host.c_str(), port.c_str(), calling.c_str(), called.c_str(), f.data(),
                          v.data(), static_cast<uint32_t>(f.size()), uid, sizeof uid);
        if (outcome == MPPS_BAD_ARGUMENT) {
            std::fprintf(stderr, "tessaly-cli: mpps: %s\n", ExplanationLine().c_str() + 2);
            return 2;
        }
        detail = outcome == 0 ? std::string("step ") + uid + " IN PROGRESS" : "";
        if (outcome == 0) std::printf("%s\n", uid);
    } else {
        std::vector<const char*> files;
        for (std::size_t i = 4; i < positional.size(); ++i)
            files.push_back(positional[i].c_str());
        outcome = MppsSetSCU(host.c_str(), port.c_str(), calling.c_str(), called.c_str(),
                             positional[3].c_str(), status.c_str(), files.data(),
                             static_cast<uint32_t>(files.size()));
        detail = "step " + positional[3] + " " + status;
    }
    const bool ok = outcome == 0;
    if (!ok) {
        char words[32] = "";
        if (outcome > 0) std::snprintf(words, sizeof words, "status 0x%04X", outcome);
        detail = outcome > 0 ? std::string(words)
                             : "no answer from " + called + " (" + host + ":" + port + ")";
    }
    const std::string line = outcome == MPPS_NO_ASSOCIATION
                                 ? OutcomeLine("MPPS", false, host, port, called)
                                 : "MPPS " + std::string(ok ? "OK: " : "failed: ") + detail;
    WriteLogLine(line.c_str());
    std::fprintf(ok ? stdout : stderr, "%s\n", line.c_str());
    if (const std::string why = ok ? "" : ExplanationLine(); !why.empty()) {
        WriteLogLine(why.c_str());
        std::fprintf(stderr, "%s\n", why.c_str());
    }
    return ok ? 0 : 1;
}

}  // namespace

const Command MppsCommand = {
    "mpps",
    "mpps HOST PORT create [--key FIELD=VALUE]... [--aet LOCAL] [--aec REMOTE]\n"
    "       tessaly-cli mpps HOST PORT set UID --status COMPLETED|DISCONTINUED [FILE|DIR]... "
    "[--aet LOCAL] [--aec REMOTE]",
    RunMpps};

}  // namespace cli
