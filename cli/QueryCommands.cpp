// find, move and worklist: the query jobs on the command line. Keys name fields of the level's
// record; every other key goes with universal matching. Records are printed as blocks of their
// non-empty fields, or with --json as one array in the DICOM JSON model on standard output, the
// count and the status then going to standard error. Every outcome comes with its meaning.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Commands.h"
#include "DicomJson.h"
#include "FrontEnd.h"
#include "NetOptions.h"
#include "QueryOutput.h"
#include "Text.h"
#include "zedavura.h"

namespace cli {

extern const Command FindCommand;
extern const Command MoveCommand;
extern const Command GetCommand;
extern const Command WorklistCommand;

namespace {

constexpr std::size_t AE_TITLE_LIMIT = 16;

struct QueryLine : NetLine {
    std::string level = "STUDY";
    std::string destination;
    std::string directory;             // get: where the instances are stored
    std::string root = "STUDY";        // get: the information model
    std::vector<std::string> classes;  // get: --classes, empty for the default
    std::vector<std::pair<std::string, std::string>> keys;
    std::string characterSet;  // what the keys are written in; empty: ASCII only
    bool json = false;
};

// What each command takes besides HOST PORT, the connection options and --key.
struct Options {
    bool level = false;
    bool json = false;
    bool destination = false;
    bool get = false;  // DIR, --root and --classes
};

std::string Upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

// Parses the command line; 0 when it is sound, else the exit code already reported.
int Parse(const Command& self, const Args& args, Options allowed, QueryLine& line) {
    std::set<std::string> valueOptions = {"--key", "--charset"};
    if (allowed.level) valueOptions.insert("--level");
    if (allowed.destination) valueOptions.insert("--dest");
    if (allowed.get) valueOptions.insert({"--root", "--classes"});
    Args rest;
    if (const int bad = ParseNetLine(self, args, valueOptions, NetRole::Requestor, line, rest);
        bad != 0)
        return bad;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        const std::string& a = rest[i];
        if (valueOptions.count(a) != 0) {
            const std::string& value = rest[++i];
            if (a == "--dest") line.destination = value;
            if (a == "--root") {
                line.root = Upper(value);
                if (line.root != "STUDY" && line.root != "PATIENT") {
                    std::fprintf(stderr, "tessaly-cli: %s: the root is study or patient\n",
                                 self.name);
                    return UsageError(self);
                }
            }
            if (a == "--classes") {
                for (std::size_t from = 0; from <= value.size();) {
                    const std::size_t comma = std::min(value.find(',', from), value.size());
                    if (comma > from) line.classes.push_back(value.substr(from, comma - from));
                    from = comma + 1;
                }
                if (line.classes.empty() || line.classes.size() > 42) {
                    std::fprintf(stderr,
                                 "tessaly-cli: %s: --classes takes 1 to 42 storage SOP class "
                                 "UIDs, separated by commas\n",
                                 self.name);
                    return UsageError(self);
                }
            }
            if (a == "--charset") {
                line.characterSet = value;
                if (const std::string problem = CharacterSetProblem(value);
                    value.empty() || !problem.empty()) {
                    std::fprintf(stderr,
                                 "tessaly-cli: %s: --charset \"%s\" names no character set the "
                                 "keys can be written in%s%s\n  give a Specific Character Set "
                                 "such as \"ISO_IR 192\" (UTF-8), \"ISO_IR 100\" or "
                                 "\"\\ISO 2022 IR 87\"\n",
                                 self.name, value.c_str(), problem.empty() ? "" : ": ",
                                 problem.c_str());
                    return 2;
                }
            }
            if (a == "--level") {
                line.level = Upper(value);
                if (line.level != "STUDY" && line.level != "SERIES" && line.level != "IMAGE") {
                    std::fprintf(stderr, "tessaly-cli: %s: the level is study, series or image\n",
                                 self.name);
                    return UsageError(self);
                }
            }
            if (a == "--key") {
                const std::size_t eq = value.find('=');
                if (eq == std::string::npos || eq == 0) {
                    std::fprintf(stderr, "tessaly-cli: %s: a key is FIELD=VALUE\n", self.name);
                    return UsageError(self);
                }
                line.keys.emplace_back(value.substr(0, eq), value.substr(eq + 1));
            }
        } else if (allowed.json && a == "--json") {
            line.json = true;
        } else if (allowed.get && line.directory.empty() && !a.empty() && a[0] != '-') {
            line.directory = a;
        } else {
            return UsageError(self);
        }
    }
    if (allowed.destination && line.destination.empty()) return UsageError(self);
    if (allowed.get && line.directory.empty()) return UsageError(self);
    if (line.destination.size() > AE_TITLE_LIMIT) {
        std::fprintf(stderr, "tessaly-cli: %s: an AE title holds at most 16 characters\n",
                     self.name);
        return 2;
    }
    return 0;
}

// The names of the fields of kind that can be keys, for a usage message.
std::string KeyNames(const char* kind) {
    std::string names;
    RecordField field;
    for (uint32_t i = 0; DescribeRecordField(kind, i, &field) == 1; ++i) {
        if (field.sentAsKey == 0) continue;
        names += names.empty() ? "" : ", ";
        names += field.name;
    }
    return names;
}

}  // namespace

RecordList* KeyList(const Command& self,
                    const std::vector<std::pair<std::string, std::string>>& keys, const char* kind,
                    const std::optional<std::string>& characterSet) {
    void* key = NewRecord(kind);
    for (const auto& [name, value] : keys) {
        RecordField field;
        uint32_t index = 0;
        while (DescribeRecordField(kind, index, &field) == 1 && name != field.name)
            ++index;
        const bool known = DescribeRecordField(kind, index, &field) == 1 && !name.empty();
        if (!known || field.sentAsKey == 0) {
            const std::string why =
                !known ? std::string("no field of a ") + kind + " record is named"
                : std::string(kind) == "WORKLIST"
                    ? std::string("a worklist query never sends the key")
                    : std::string("a query at level ") + kind + " never sends the key";
            std::fprintf(stderr, "tessaly-cli: %s: %s '%s'; the keys are: %s\n", self.name,
                         why.c_str(), name.c_str(), KeyNames(kind).c_str());
            FreeRecord(key);
            UsageError(self);
            return nullptr;
        }
        if (!characterSet) {
            SetRecordField(key, index, value.c_str());
            continue;
        }
        // Keys come in UTF-8 and go in the set --charset names, or as they are when ASCII.
        std::string why;
        const std::optional<std::string> bytes = KeyBytes(*characterSet, field.vr, value, why);
        if (!bytes) {
            std::fprintf(stderr, "tessaly-cli: %s: the key %s: %s\n%s", self.name, name.c_str(),
                         why.c_str(),
                         characterSet->empty()
                             ? "  name the character set to send it in with --charset, for "
                               "example --charset \"ISO_IR 192\" (UTF-8)\n"
                             : "");
            FreeRecord(key);
            return nullptr;
        }
        SetRecordField(key, index, bytes->c_str());
    }
    if (characterSet) SetRecordCharacterSet(key, characterSet->c_str());
    RecordList* list = NewRecordList();
    AppendRecord(list, key);
    return list;
}

int32_t QueryWorklist(const ConnectionOptions& options, RecordList* list, bool& opened) {
    Association* assoc = NewPDU();
    SetMessageDump(assoc, TraceLevel() >= 2 ? 1 : 0);
    int32_t status = 1;  // neither pending nor success before the first response
    opened = OpenAssocWith(assoc, &options, SOP_CLASS_MODALITY_WORKLIST_FIND, nullptr) == 1;
    if (opened) {
        const bool sent = WriteWLFindRQ(assoc, list, SOP_CLASS_MODALITY_WORKLIST_FIND) == 1;
        ClearWL(list);  // the key record, before any response is read
        status = QUERY_SEND_FAILED;
        if (sent) {
            do {
                status = ReadWLFindRSP(assoc, list);
            } while (IsPendingStatus(status));
        }
    }
    CloseAssoc(assoc);
    DeletePDU(assoc);
    return status;
}

namespace {

// "final status 0x0000 (success: ...)" for a status of the family (OUTCOME_FIND,
// OUTCOME_MOVE); our failure's words otherwise, or the wait that ran out.
std::string FailureWords(int32_t family, int32_t outcome) {
    if (outcome < 0)
        if (const std::string timeout = TimeoutWords(); !timeout.empty()) return timeout;
    const std::string words = OutcomeWords(family, outcome);
    return outcome < 0 ? words : "final " + words;
}

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// A record as one object of the DICOM JSON model: its non-empty fields as elements in tag
// order, the worklist step's fields inside the one item of (0040,0100).
std::string RecordJson(const char* kind, const void* record) {
    std::vector<ElementView> top, step;
    RecordField field;
    for (uint32_t i = 0; DescribeRecordField(kind, i, &field) == 1; ++i) {
        const char* text = RecordText(record, i);
        if (field.group == 0 || text == nullptr ||
            std::string(text).find_first_not_of(' ') == std::string::npos)
            continue;
        ElementView view;
        view.group = field.group;
        view.element = field.element;
        view.vr[0] = field.vr[0];
        view.vr[1] = field.vr[1];
        view.length = static_cast<uint32_t>(std::strlen(text));
        view.value = reinterpret_cast<const uint8_t*>(text);
        view.characterSet = RecordCharacterSet(record, i);
        (field.inStepSequence != 0 ? step : top).push_back(view);
    }
    if (!step.empty())
        top.push_back({0x0040, 0x0100, {'S', 'Q'}, UNDEFINED_LENGTH, nullptr, nullptr});
    const auto byTag = [](const ElementView& a, const ElementView& b) {
        return a.group != b.group ? a.group < b.group : a.element < b.element;
    };
    std::sort(top.begin(), top.end(), byTag);
    std::sort(step.begin(), step.end(), byTag);
    // The step's fields follow their sequence in the flat form: one item, then the delimiters.
    std::vector<ElementView> views;
    for (const ElementView& e : top) {
        views.push_back(e);
        if (e.group != 0x0040 || e.element != 0x0100) continue;
        views.push_back({0xFFFE, 0xE000, {0, 0}, UNDEFINED_LENGTH, nullptr, nullptr});
        views.insert(views.end(), step.begin(), step.end());
        views.push_back({0xFFFE, 0xE00D, {0, 0}, 0, nullptr, nullptr});
        views.push_back({0xFFFE, 0xE0DD, {0, 0}, 0, nullptr, nullptr});
    }
    return JsonObject(views);
}

// Tells once on standard error of every character set of the records that is not understood.
void WarnOfCharacterSets(const char* command, const RecordList* list, uint32_t shown) {
    std::set<std::string> told;
    for (uint32_t r = 0; r < shown; ++r) {
        const void* record = RecordAt(list, r);
        RecordField field;
        for (uint32_t i = 0; DescribeRecordField(RecordKind(record), i, &field) == 1; ++i) {
            const std::string characterSet = RecordCharacterSet(record, i);
            if (!told.insert(characterSet).second) continue;
            if (const std::string problem = CharacterSetProblem(characterSet); !problem.empty())
                std::fprintf(stderr, "tessaly-cli: %s: warning: %s\n", command,
                             Utf8ToTerminal(problem).c_str());
        }
    }
}

}  // namespace

// Prints the records that came with pending responses (not the one of a final failure), their
// texts decoded by the character set of their response, and the count; returns the count.
uint32_t PrintRecords(const char* command, const RecordList* list, int32_t status, bool json) {
    uint32_t shown = RecordCount(list);
    if (status > 0 && !IsPendingStatus(status) && shown > 0) --shown;  // the final failure's record
    WarnOfCharacterSets(command, list, shown);
    if (json) std::printf("[");
    for (uint32_t r = 0; r < shown; ++r) {
        const void* record = RecordAt(list, r);
        const char* kind = RecordKind(record);
        if (json) {
            std::printf("%s\n%s", r == 0 ? "" : ",", RecordJson(kind, record).c_str());
            continue;
        }
        RecordField field;
        for (uint32_t i = 0; DescribeRecordField(kind, i, &field) == 1; ++i) {
            if (field.name[0] != '\0' && RecordText(record, i)[0] != '\0')
                std::printf("%s: %s\n", field.name, Utf8ToTerminal(RecordUtf8(record, i)).c_str());
        }
        std::printf("\n");
    }
    if (json) std::printf("%s]\n", shown == 0 ? "" : "\n");
    std::FILE* countTo = json ? stderr : stdout;
    std::fprintf(countTo, "%u result%s\n", shown, shown == 1 ? "" : "s");
    return shown;
}

int Finish(const std::string& service, bool ok, const std::string& detail, bool json) {
    const std::string outcome = service + (ok ? " OK: " : " failed: ") + detail;
    WriteLogLine(outcome.c_str());
    std::fprintf(ok && !json ? stdout : stderr, "%s\n", outcome.c_str());
    if (const std::string why = ok ? "" : NetExplanationLine(); !why.empty()) {
        WriteLogLine(why.c_str());
        std::fprintf(stderr, "%s\n", why.c_str());
    }
    WarnOfUnansweredRelease(Lower(service).c_str());
    return ok ? 0 : 1;
}

namespace {

int RunFind(const Args& args) {
    QueryLine line;
    if (const int bad = Parse(FindCommand, args, {true, true, false, false}, line); bad != 0)
        return bad;
    RecordList* list = KeyList(FindCommand, line.keys, line.level.c_str(), line.characterSet);
    if (list == nullptr) return 2;

    WriteLogLine("Starting FIND Service");
    const ConnectionOptions options = line.Options();
    const int32_t status = FindSCUWith(&options, line.level.c_str(), list);
    // Without an association, or with arguments refused, the key record is all the list holds.
    const bool requested = status != QUERY_NO_CONNECTION && status != QUERY_REJECTED &&
                           status != QUERY_CONTEXT_REFUSED && status != QUERY_REFUSED &&
                           status != QUERY_ASSOCIATION_ABORTED && status != QUERY_MALFORMED_ANSWER;
    if (requested) PrintRecords(FindCommand.name, list, status, line.json);
    std::string detail = FailureWords(OUTCOME_FIND, status);
    if (status < 0) detail += ": " + line.Peer();
    ClearQuery(list, line.level.c_str());
    DeleteRecordList(list);
    return Finish("FIND", status == QUERY_SUCCESS, detail, line.json);
}

struct MoveTally {
    MoveProgress last{-1, -1, -1, -1, -1};
};

std::string Counts(const MoveProgress& p) {
    std::string text;
    const std::pair<int32_t, const char*> counts[] = {{p.remaining, "remaining"},
                                                      {p.completed, "completed"},
                                                      {p.failed, "failed"},
                                                      {p.warning, "warning"}};
    for (const auto& [count, name] : counts) {
        if (count < 0) continue;
        text += text.empty() ? "" : ", ";
        text += std::to_string(count) + " " + name;
    }
    return text;
}

void ReportMove(void* context, const MoveProgress* progress) {
    static_cast<MoveTally*>(context)->last = *progress;
    if (!IsPendingStatus(progress->status)) return;
    const std::string counts = Counts(*progress);
    std::printf("pending: %s\n", counts.empty() ? "no sub-operation counts" : counts.c_str());
    std::fflush(stdout);
}

int RunMove(const Args& args) {
    QueryLine line;
    if (const int bad = Parse(MoveCommand, args, {true, false, true, false}, line); bad != 0)
        return bad;
    RecordList* list = KeyList(MoveCommand, line.keys, line.level.c_str(), line.characterSet);
    if (list == nullptr) return 2;

    WriteLogLine("Starting MOVE Service");
    MoveTally tally;
    const ConnectionOptions options = line.Options();
    const int32_t status = MoveSCUWith(&options, line.destination.c_str(), line.level.c_str(), list,
                                       ReportMove, &tally);
    std::string detail = FailureWords(OUTCOME_MOVE, status);
    if (status < 0) detail += ": " + line.Peer();
    if (status >= 0 && status == tally.last.status && !Counts(tally.last).empty())
        detail += ": " + Counts(tally.last);
    ClearQuery(list, line.level.c_str());
    DeleteRecordList(list);
    return Finish("MOVE", status == QUERY_SUCCESS, detail, false);
}

void ReportGet(void* context, const GetProgress* progress) {
    static_cast<GetProgress*>(context)[0] = *progress;
    if (!IsPendingStatus(progress->status)) return;
    const MoveProgress counts = {progress->status, progress->remaining, progress->completed,
                                 progress->failed, progress->warning};
    const std::string text = Counts(counts);
    std::printf("pending: %s; %u received\n",
                text.empty() ? "no sub-operation counts" : text.c_str(), progress->received);
    std::fflush(stdout);
}

int32_t gGetCancelled = 0;
void CancelGetOnSignal(int) {
    __atomic_store_n(&gGetCancelled, 1, __ATOMIC_RELAXED);
}

void NoteGet(void*, const char* words) {
    std::fprintf(stderr, "tessaly-cli: get: warning: %s\n", words);
}

// What a success contradicted by the instances that arrived lacked, in numbers.
std::string Shortfall(const GetProgress& p) {
    std::string text = "the peer reported success (" +
                       Counts({p.status, p.remaining, p.completed, p.failed, p.warning}) +
                       "), but " + std::to_string(p.received) + " instance" +
                       (p.received == 1 ? "" : "s") + " arrived and " + std::to_string(p.stored) +
                       " could be stored";
    return text;
}

int RunGet(const Args& args) {
    QueryLine line;
    if (const int bad = Parse(GetCommand, args, {true, false, false, true}, line); bad != 0)
        return bad;
    // A Patient Root retrieve names its patient at every level below it; series and image
    // records hold no Patient ID, so it goes beside them.
    std::string patientId;
    if (line.root == "PATIENT") {
        for (const auto& [name, value] : line.keys)
            if (name == "PatientID") patientId = value;
        if (patientId.empty()) {
            std::fprintf(stderr,
                         "tessaly-cli: get: a Patient Root retrieve names the patient of what it "
                         "asks for: add --key PatientID=ID (or use --root study)\n");
            return 2;
        }
        if (line.level != "STUDY")
            std::erase_if(line.keys, [](const auto& key) { return key.first == "PatientID"; });
        std::string why;
        const auto bytes = KeyBytes(line.characterSet, "LO", patientId, why);
        if (!bytes) {
            std::fprintf(stderr, "tessaly-cli: get: the key PatientID: %s\n", why.c_str());
            return 2;
        }
        patientId = *bytes;
    }
    RecordList* list = KeyList(GetCommand, line.keys, line.level.c_str(), line.characterSet);
    if (list == nullptr) return 2;

    WriteLogLine("Starting GET Service");
    GetProgress last = {-1, -1, -1, -1, -1, 0, 0};
    std::vector<const char*> classes;
    for (const std::string& c : line.classes)
        classes.push_back(c.c_str());
    const ConnectionOptions options = line.Options();
    // Ctrl-C cancels the retrieve (a C-CANCEL-RQ, then the final response); a second one ends
    // the process at once.
    gGetCancelled = 0;
    struct sigaction action {};
    action.sa_handler = CancelGetOnSignal;
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    const auto classCount = static_cast<uint32_t>(classes.size());
    const int32_t status =
        patientId.empty() ? GetSCUCancellable(&options, line.directory.c_str(), nullptr,
                                              line.level.c_str(), list, classes.data(), classCount,
                                              ReportGet, NoteGet, &last, &gGetCancelled)
                          : GetSCUPatientRoot(&options, line.directory.c_str(), patientId.c_str(),
                                              line.level.c_str(), list, classes.data(), classCount,
                                              ReportGet, NoteGet, &last, &gGetCancelled);
    signal(SIGINT, SIG_DFL);
    std::string detail =
        status == GET_INCOMPLETE ? Shortfall(last) : FailureWords(OUTCOME_GET, status);
    if (status < 0 && status != GET_INCOMPLETE) detail += ": " + line.Peer();
    if (status >= 0) {
        const std::string counts =
            Counts({last.status, last.remaining, last.completed, last.failed, last.warning});
        detail += ": " + (counts.empty() ? std::string() : counts + "; ") +
                  std::to_string(last.stored) + " stored in " + line.directory;
    }
    ClearQuery(list, line.level.c_str());
    DeleteRecordList(list);
    return Finish("GET", status == QUERY_SUCCESS, detail, false);
}

int RunWorklist(const Args& args) {
    QueryLine line;
    if (const int bad = Parse(WorklistCommand, args, {false, true, false, false}, line); bad != 0)
        return bad;
    RecordList* list = KeyList(WorklistCommand, line.keys, "WORKLIST", line.characterSet);
    if (list == nullptr) return 2;

    WriteLogLine("Starting WORKLIST Service");
    const ConnectionOptions options = line.Options();
    bool opened = false;
    const int32_t status = QueryWorklist(options, list, opened);

    std::string detail;
    if (!opened) {
        const std::string timeout = TimeoutWords();
        detail = (timeout.empty() ? "no association" : timeout) + " with " + line.Peer();
    } else {
        PrintRecords(WorklistCommand.name, list, status, line.json);
        detail = FailureWords(OUTCOME_FIND, status);
    }
    ClearWL(list);
    DeleteRecordList(list);
    return Finish("WORKLIST", status == QUERY_SUCCESS, detail, line.json);
}

}  // namespace

const Command FindCommand = {"find",
                             "find HOST PORT [--level study|series|image] [--aet LOCAL] "
                             "[--aec REMOTE] [--key FIELD=VALUE]... [--charset TERM] [--json]",
                             RunFind, REQUESTOR_SECURITY_USAGE};
const Command MoveCommand = {"move",
                             "move HOST PORT --dest AE [--level study|series|image] "
                             "[--aet LOCAL] [--aec REMOTE] [--key FIELD=VALUE]... [--charset TERM]",
                             RunMove, REQUESTOR_SECURITY_USAGE};
const Command GetCommand = {"get",
                            "get HOST PORT DIR [--level study|series|image] [--root study|patient] "
                            "[--aet LOCAL] [--aec REMOTE] [--key FIELD=VALUE]... [--classes "
                            "UID,...] [--charset TERM]",
                            RunGet, REQUESTOR_SECURITY_USAGE};
const Command WorklistCommand = {
    "worklist",
    "worklist HOST PORT [--aet LOCAL] [--aec REMOTE] [--key FIELD=VALUE]... [--charset TERM] "
    "[--json]",
    RunWorklist, REQUESTOR_SECURITY_USAGE};

}  // namespace cli
