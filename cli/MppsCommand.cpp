// mpps: a modality's performed procedure step on the command line. "create" opens a step IN
// PROGRESS and prints its SOP Instance UID; "set UID --status COMPLETED|DISCONTINUED" ends it
// with the series of the files given.
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "FrontEnd.h"
#include "NetOptions.h"
#include "QueryOutput.h"
#include "Text.h"
#include "zedavura.h"

namespace cli {

extern const Command MppsCommand;

namespace {

// The step's fields named by the worklist entry's fields they come from.
constexpr std::pair<const char*, const char*> FROM_WORKLIST[] = {
    {"PatientName", "PatientName"},
    {"PatientID", "PatientID"},
    {"PatientBD", "PatientBirthDate"},
    {"PatientSex", "PatientSex"},
    {"AccessionNumber", "AccessionNumber"},
    {"StudyInstanceUID", "StudyInstanceUID"},
    {"RequestedProcedureDescription", "RequestedProcedureDescription"},
    {"RequestedProcedureID", "RequestedProcedureID"},
    {"SPSID", "ScheduledProcedureStepID"},
    {"SPSDescription", "ScheduledProcedureStepDescription"},
    {"Modality", "Modality"},
};

std::string Trimmed(const char* text) {
    std::string t = text != nullptr ? text : "";
    while (!t.empty() && t.back() == ' ')
        t.pop_back();
    return t;
}

// Queries the worklist with the keys and takes the first entry's scheduled step into fields
// and values. 0, or the exit code with the problem told.
int ScheduledFromWorklist(const NetLine& worklist,
                          const std::vector<std::pair<std::string, std::string>>& keys,
                          std::vector<std::string>& fields, std::vector<std::string>& values) {
    RecordList* list = KeyList(MppsCommand, keys, "WORKLIST", std::nullopt);
    if (list == nullptr) return 2;
    WriteLogLine("Starting WORKLIST Service");
    bool opened = false;
    const int32_t status = QueryWorklist(worklist.Options(), list, opened);
    const bool found = status == QUERY_SUCCESS && RecordCount(list) > 0;
    if (found) {
        const void* entry = RecordAt(list, 0);
        RecordField field;
        std::string characterSet;
        for (uint32_t i = 0; DescribeRecordField("WORKLIST", i, &field) == 1; ++i)
            for (const auto& [from, to] : FROM_WORKLIST)
                if (std::string(field.name) == from && !Trimmed(RecordText(entry, i)).empty()) {
                    fields.emplace_back(to);
                    values.push_back(Trimmed(RecordText(entry, i)));
                    // The texts keep the entry's bytes, so the step says which set they are in.
                    if (const char* set = RecordCharacterSet(entry, i);
                        characterSet.empty() && set != nullptr)
                        characterSet = set;
                }
        if (!characterSet.empty()) {
            fields.emplace_back("SpecificCharacterSet");
            values.push_back(characterSet);
        }
    }
    ClearWL(list);
    DeleteRecordList(list);
    if (found) return 0;
    std::string line = "MPPS failed: ";
    if (!opened) {
        line += "no worklist association with " + worklist.Peer();
    } else if (status == QUERY_SUCCESS) {
        line += "the worklist at " + worklist.Peer() + " holds no entry for the keys";
    } else {
        char words[256];
        OutcomeText(OUTCOME_FIND, status, nullptr, words, sizeof words);
        line += "the worklist query failed: " + std::string(words);
    }
    WriteLogLine(line.c_str());
    std::fprintf(stderr, "%s\n", line.c_str());
    if (const std::string why = NetExplanationLine(); !why.empty() && status != QUERY_SUCCESS)
        std::fprintf(stderr, "%s\n", why.c_str());
    return 1;
}

int RunMpps(const Args& args) {
    const Command& self = MppsCommand;
    NetLine peer;
    Args rest;
    if (const int bad =
            ParseNetLine(self, args, {"--status", "--key", "--from-worklist", "--worklist-aec"},
                         NetRole::Requestor, peer, rest);
        bad != 0)
        return bad;
    std::string status;
    std::vector<std::string> positional, fields, values;
    std::vector<std::pair<std::string, std::string>> keys;
    NetLine worklist = peer;
    bool fromWorklist = false, worklistTitle = false;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        const std::string& a = rest[i];
        if (a == "--status") {
            status = rest[++i];
        } else if (a == "--from-worklist") {
            if (i + 2 >= rest.size()) return UsageError(self);
            worklist.host = rest[++i];
            worklist.port = rest[++i];
            fromWorklist = true;
        } else if (a == "--worklist-aec") {
            worklist.called = rest[++i];
            worklistTitle = true;
        } else if (a == "--key") {
            const std::string& key = rest[++i];
            const std::size_t eq = key.find('=');
            if (eq == std::string::npos || eq == 0) return UsageError(self);
            keys.emplace_back(key.substr(0, eq), key.substr(eq + 1));
            fields.push_back(key.substr(0, eq));
            // Keys come in UTF-8 from the terminal; the step's texts are Windows-1252.
            values.push_back(Utf8ToCp1252(key.substr(eq + 1)));
        } else if (!a.empty() && a[0] == '-') {
            return UsageError(self);
        } else {
            positional.push_back(a);
        }
    }
    const bool create = !positional.empty() && positional[0] == "create";
    const bool set = !positional.empty() && positional[0] == "set";
    if (create ? (positional.size() != 1 || !status.empty())
               : (!set || positional.size() < 2 || !fields.empty() || fromWorklist ||
                  (status != "COMPLETED" && status != "DISCONTINUED")))
        return UsageError(self);
    if (worklistTitle && !fromWorklist) return UsageError(self);
    if (!worklistTitle) worklist.called = NetLine{}.called;
    if (fromWorklist) {
        // The keys query the worklist; the step takes what its first entry scheduled.
        fields.clear();
        values.clear();
        if (const int bad = ScheduledFromWorklist(worklist, keys, fields, values); bad != 0)
            return bad;
    }

    WriteLogLine("Starting MPPS Service");
    const ConnectionOptions connection = peer.Options();
    int32_t outcome = 0;
    std::string detail;
    if (create) {
        std::vector<const char*> f, v;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            f.push_back(fields[i].c_str());
            v.push_back(values[i].c_str());
        }
        char uid[65] = {};
        outcome = MppsCreateSCU(&connection, f.data(), v.data(), static_cast<uint32_t>(f.size()),
                                uid, sizeof uid);
        if (outcome == MPPS_BAD_ARGUMENT) {
            std::fprintf(stderr, "tessaly-cli: mpps: %s\n", ExplanationLine().c_str() + 2);
            return 2;
        }
        detail = std::string("step ") + uid + " IN PROGRESS";
        if (outcome == 0) std::printf("%s\n", uid);
    } else {
        std::vector<const char*> files;
        for (std::size_t i = 2; i < positional.size(); ++i)
            files.push_back(positional[i].c_str());
        outcome = MppsSetSCU(&connection, positional[1].c_str(), status.c_str(), files.data(),
                             static_cast<uint32_t>(files.size()));
        detail = "step " + positional[1] + " " + status;
    }
    const bool ok = outcome == 0;
    if (!ok) {
        char words[32] = "";
        if (outcome > 0) std::snprintf(words, sizeof words, "status 0x%04X", outcome);
        detail = outcome > 0 ? std::string(words) : "no answer from " + peer.Peer();
    }
    const std::string line = outcome == MPPS_NO_ASSOCIATION
                                 ? OutcomeLine("MPPS", false, peer.host, peer.port, peer.called)
                                 : "MPPS " + std::string(ok ? "OK: " : "failed: ") + detail;
    WriteLogLine(line.c_str());
    std::fprintf(ok ? stdout : stderr, "%s\n", line.c_str());
    if (const std::string why = ok ? "" : NetExplanationLine(); !why.empty()) {
        WriteLogLine(why.c_str());
        std::fprintf(stderr, "%s\n", why.c_str());
    }
    return ok ? 0 : 1;
}

}  // namespace

const Command MppsCommand = {
    "mpps",
    "mpps HOST PORT create [--key FIELD=VALUE]... [--from-worklist HOST PORT [--worklist-aec "
    "AE]] [--aet LOCAL] [--aec REMOTE] "
    "[--connect-timeout S] [--acse-timeout S] [--dimse-timeout S] [--max-pdu N]\n"
    "       tessaly-cli mpps HOST PORT set UID --status COMPLETED|DISCONTINUED [FILE|DIR]... "
    "[--aet LOCAL] [--aec REMOTE] [waits as for create]",
    RunMpps, REQUESTOR_SECURITY_USAGE};

}  // namespace cli
