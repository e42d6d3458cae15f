// probe: everything a peer accepts, in one report. Each section ends in a verdict: works,
// refused, not offered or failed (and "not tested" for what the command line did not ask), and
// every verdict but "works" carries the reason and what the operator can do. Nothing is stored
// on the peer unless --store-test asks for one C-STORE; the storage table comes from the
// association answers alone.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Commands.h"
#include "FrontEnd.h"
#include "Text.h"
#include "zedavura.h"

namespace cli {

extern const Command ProbeCommand;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::size_t AE_TITLE_LIMIT = 16;
// C-FIND responses read per level before the association is released.
constexpr int FIND_LIMIT = 5;
// How long the retrieve path waits for a moved instance after the C-MOVE ended.
constexpr std::chrono::seconds ARRIVAL_WAIT{10};

constexpr const char* IMPLICIT = "1.2.840.10008.1.2";
constexpr const char* VERIFICATION = "1.2.840.10008.1.1";
constexpr const char* STUDY_FIND = "1.2.840.10008.5.1.4.1.2.2.1";
constexpr const char* STUDY_MOVE = "1.2.840.10008.5.1.4.1.2.2.2";
constexpr const char* PATIENT_FIND = "1.2.840.10008.5.1.4.1.2.1.1";
constexpr const char* PATIENT_MOVE = "1.2.840.10008.5.1.4.1.2.1.2";
constexpr const char* WORKLIST_FIND = "1.2.840.10008.5.1.4.31";
constexpr const char* PRINT_META = "1.2.840.10008.5.1.1.9";

struct Row {
    std::string item;
    std::string uid;
    std::string verdict;
    std::string detail;                                     // what works, or why not and what to do
    std::vector<std::pair<std::string, int32_t>> syntaxes;  // storage: syntax UID and result
};

struct Section {
    std::string name;
    std::string verdict;
    std::string detail;
    std::vector<std::pair<std::string, std::string>> facts;
    std::vector<Row> rows;
};

struct Options {
    std::string host, port, calling, called = "ANY-SCP", moveDest, receivePort, html, storeTest;
    bool json = false;
};

struct Probe {
    Options options;
    std::vector<Section> sections;
    uint32_t associations = 0;
};

std::string Millis(uint64_t microseconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", static_cast<double>(microseconds) / 1000.0);
    return text;
}

std::string Millis(Clock::duration d) {
    return Millis(
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(d).count()));
}

std::string VerdictOf(int32_t contextResult) {
    if (contextResult == 0) return "works";
    if (contextResult == 3) return "not offered";
    if (contextResult < 0) return "failed";
    return "refused";
}

std::string ContextWords(int32_t result) {
    return OutcomeWords(OUTCOME_CONTEXT, result);
}

// The command line's name of a syntax; the syntaxes it does not name for --ts get one here.
std::string SyntaxLabel(const TransferSyntaxInfo& ts) {
    if (ts.name[0] != '\0') return ts.name;
    static const std::pair<const char*, const char*> OTHERS[] = {
        {"1.2.840.10008.1.2.4.50", "jpeg-baseline"},
        {"1.2.840.10008.1.2.4.51", "jpeg-extended"},
        {"1.2.840.10008.1.2.4.57", "jpeg-lossless-any"},
        {"1.2.840.10008.1.2.4.201", "htj2k-lossless"},
        {"1.2.840.10008.1.2.4.202", "htj2k-rpcl"},
        {"1.2.840.10008.1.2.4.203", "htj2k"}};
    for (const auto& [uid, name] : OTHERS)
        if (std::string(uid) == ts.uid) return name;
    return ts.uid;
}

// The library's words for the last failure, without the two leading blanks.
std::string LastWhy() {
    const std::string line = ExplanationLine();
    return line.size() > 2 ? line.substr(2) : line;
}

Section FailedSection(const std::string& name, const std::string& why) {
    return {name, "failed", why, {}, {}};
}

// Connection: one association proposing every non-storage service the probe looks at, which
// also tells which of them the peer accepts.
std::vector<int32_t> ProbeConnection(Probe& probe, Section& section) {
    const Options& o = probe.options;
    const char* services[] = {VERIFICATION, STUDY_FIND,    STUDY_MOVE, PATIENT_FIND,
                              PATIENT_MOVE, WORKLIST_FIND, PRINT_META};
    std::vector<ContextProposal> proposals;
    for (const char* uid : services)
        proposals.push_back({uid, IMPLICIT});
    std::vector<ContextAnswer> answers(proposals.size());
    AssociationReport report{};
    const int32_t outcome = ProposeContexts(
        o.host.c_str(), o.port.c_str(), o.calling.c_str(), o.called.c_str(), proposals.data(),
        static_cast<uint32_t>(proposals.size()), answers.data(), &report);
    probe.associations += report.associations;
    section.name = "Connection";
    section.facts.push_back({"name look-up", Millis(report.lookupMicroseconds)});
    if (outcome != ASSOCIATION_UNKNOWN_HOST && outcome != ASSOCIATION_UNKNOWN_PORT)
        section.facts.push_back({"TCP connect", Millis(report.connectMicroseconds)});
    if (report.negotiationMicroseconds > 0)
        section.facts.push_back({"association", Millis(report.negotiationMicroseconds)});
    if (report.peerImplementationClassUid[0] != '\0') {
        std::string implementation = report.peerImplementationClassUid;
        if (report.peerImplementationVersionName[0] != '\0')
            implementation += std::string(" (") + report.peerImplementationVersionName + ")";
        section.facts.push_back({"peer implementation", ToTerminal(implementation)});
        section.facts.push_back({"peer maximum PDU", std::to_string(report.peerMaximumLength)});
    }
    std::vector<int32_t> results;
    if (outcome == ASSOCIATION_ACCEPTED || outcome == ASSOCIATION_NOTHING_ACCEPTED) {
        section.verdict = "works";
        section.detail = "titles " + (o.calling.empty() ? std::string("ORLANE") : o.calling) +
                         " -> " + o.called + " accepted";
        for (const ContextAnswer& a : answers)
            results.push_back(a.result);
    } else {
        section.verdict = outcome == ASSOCIATION_REJECTED ? "refused" : "failed";
        section.detail = ToTerminal(report.explanation);
    }
    return results;
}

Section ProbeVerification(Probe& probe, int32_t result) {
    Section section{"Verification", VerdictOf(result), "", {}, {}};
    if (result != 0) {
        section.detail = ContextWords(result);
        return section;
    }
    const Options& o = probe.options;
    Association* assoc = NewPDU();
    std::string calling = o.calling;
    calling.resize(std::max<std::size_t>(calling.size(), 17), '\0');
    ++probe.associations;
    if (OpenAssoc(assoc, o.host.c_str(), o.port.c_str(), calling.data(), o.called.c_str(),
                  VERIFICATION, nullptr) != 1) {
        DeletePDU(assoc);
        return FailedSection("Verification", LastWhy());
    }
    const auto start = Clock::now();
    const bool ok = WriteEchoRQ(assoc, VERIFICATION) == 1 && ReadEchoRSP(assoc) == 1;
    const auto took = Clock::now() - start;
    const std::string why = ok ? "" : LastWhy();
    DeletePDU(assoc);
    if (!ok) return FailedSection("Verification", why.empty() ? "no C-ECHO response" : why);
    section.detail = "C-ECHO round trip " + Millis(took);
    return section;
}

Section ProbeStorage(Probe& probe) {
    const Options& o = probe.options;
    std::vector<std::pair<const char*, const char*>> classes;
    const char* name = nullptr;
    for (uint32_t i = 0; const char* uid = ProbeStorageClassAt(i, &name); ++i)
        classes.push_back({uid, name});
    std::vector<const TransferSyntaxInfo*> syntaxes;
    for (uint32_t i = 0; const TransferSyntaxInfo* ts = TransferSyntaxAt(i); ++i)
        syntaxes.push_back(ts);
    std::vector<ContextProposal> proposals;
    for (const auto& c : classes)
        for (const TransferSyntaxInfo* ts : syntaxes)
            proposals.push_back({c.first, ts->uid});
    std::vector<ContextAnswer> answers(proposals.size());
    AssociationReport report{};
    const int32_t outcome = ProposeContexts(
        o.host.c_str(), o.port.c_str(), o.calling.c_str(), o.called.c_str(), proposals.data(),
        static_cast<uint32_t>(proposals.size()), answers.data(), &report);
    probe.associations += report.associations;
    Section section{"Storage", "", "", {}, {}};
    if (outcome != ASSOCIATION_ACCEPTED && outcome != ASSOCIATION_NOTHING_ACCEPTED)
        return FailedSection("Storage", ToTerminal(report.explanation));
    int accepted = 0;
    for (std::size_t c = 0; c < classes.size(); ++c) {
        Row row{classes[c].second, classes[c].first, "", "", {}};
        std::string names;
        int32_t refusal = 3;
        for (std::size_t s = 0; s < syntaxes.size(); ++s) {
            const int32_t result = answers[c * syntaxes.size() + s].result;
            row.syntaxes.push_back({syntaxes[s]->uid, result});
            if (result == 0) {
                names += (names.empty() ? "" : " ") + SyntaxLabel(*syntaxes[s]);
            } else if (result != 3) {
                refusal = result;  // a refusal other than "not supported" says more
            }
        }
        row.verdict = names.empty() ? VerdictOf(refusal) : "works";
        row.detail = names.empty() ? ContextWords(refusal) : "";
        accepted += names.empty() ? 0 : 1;
        section.rows.push_back(std::move(row));
    }
    section.verdict = accepted > 0 ? "works" : "not offered";
    section.detail = std::to_string(accepted) + " of " + std::to_string(classes.size()) +
                     " classes accepted, " + std::to_string(report.associations) + " associations";
    if (accepted == 0) section.detail += ": the peer takes none of these storage classes";

    if (!o.storeTest.empty()) {
        const int32_t stored = StoreSCUStatus(o.host.c_str(), o.port.c_str(), o.calling.c_str(),
                                              o.called.c_str(), o.storeTest.c_str(), nullptr, 1);
        ++probe.associations;
        Row row{
            "store test: " + o.storeTest, "", stored == STORE_SUCCESS ? "works" : "failed", "", {}};
        row.detail = OutcomeWords(OUTCOME_STORE, stored, o.called);
        if (stored != STORE_SUCCESS) {
            const std::string why = LastWhy();
            if (!why.empty()) row.detail += ": " + why;
        }
        section.rows.push_back(std::move(row));
    }
    return section;
}

std::string Today() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%Y%m%d", &local);
    return text;
}

int FieldIndex(const char* kind, const std::string& name) {
    RecordField field;
    for (uint32_t i = 0; DescribeRecordField(kind, i, &field) == 1; ++i)
        if (name == field.name) return static_cast<int>(i);
    return -1;
}

// A C-FIND on an association of its own; at most FIND_LIMIT responses are kept, and a query
// with more is cancelled. The records stay in the list.
bool FindSome(Probe& probe, const char* level,
              const std::vector<std::pair<std::string, std::string>>& keys, RecordList* list,
              int32_t& status) {
    const Options& o = probe.options;
    void* key = NewRecord(level);
    for (const auto& [field, value] : keys)
        SetRecordField(key, static_cast<uint32_t>(FieldIndex(level, field)), value.c_str());
    AppendRecord(list, key);
    Association* assoc = NewPDU();
    std::string calling = o.calling;
    calling.resize(std::max<std::size_t>(calling.size(), 17), '\0');
    ++probe.associations;
    bool sent = OpenAssoc(assoc, o.host.c_str(), o.port.c_str(), calling.data(), o.called.c_str(),
                          STUDY_FIND, nullptr) == 1 &&
                WriteFindRQ(assoc, list, STUDY_FIND, level) == 1;
    status = -1;
    if (sent) {
        do {
            status = ReadFindRSP(assoc, list, level);
        } while ((status == 0xFF00 || status == 0xFF01) &&
                 RecordCount(list) < static_cast<uint32_t>(FIND_LIMIT));
        // The peer has more: it is told to stop before the association is released.
        if (status == 0xFF00 || status == 0xFF01) status = CancelFind(assoc);
    }
    DeletePDU(assoc);
    if (!sent) ClearQuery(list, level);
    return sent;
}

// Which fields of the level's records the peer filled in what it returned.
Row KeysRow(const char* level, RecordList* list) {
    Row row{std::string(level) + " level", "", "works", "", {}};
    std::string filled, empty;
    RecordField field;
    for (uint32_t i = 0; DescribeRecordField(level, i, &field) == 1; ++i) {
        if (field.group == 0) continue;
        bool any = false;
        for (uint32_t r = 0; r < RecordCount(list); ++r) {
            const char* text = RecordText(RecordAt(list, r), i);
            any = any || (text != nullptr &&
                          std::string(text).find_first_not_of(' ') != std::string::npos);
        }
        (any ? filled : empty) +=
            std::string(any ? (filled.empty() ? "" : " ") : (empty.empty() ? "" : " ")) +
            field.name;
    }
    const uint32_t count = RecordCount(list);
    row.detail = std::to_string(count) + (count == 1 ? " record" : " records") +
                 "; filled: " + (filled.empty() ? "none" : filled) +
                 "; empty or left out: " + (empty.empty() ? "none" : empty);
    return row;
}

struct FoundInstance {
    std::string study, series, instance;
};

Section ProbeQuery(Probe& probe, const std::vector<int32_t>& results, FoundInstance& found) {
    Section section{"Query/retrieve", "", "", {}, {}};
    const std::pair<const char*, const char*> models[] = {{"Study Root FIND", STUDY_FIND},
                                                          {"Study Root MOVE", STUDY_MOVE},
                                                          {"Patient Root FIND", PATIENT_FIND},
                                                          {"Patient Root MOVE", PATIENT_MOVE}};
    bool any = false;
    for (std::size_t i = 0; i < 4; ++i) {
        const int32_t result = results[i + 1];
        any = any || result == 0;
        section.rows.push_back({models[i].first,
                                models[i].second,
                                VerdictOf(result),
                                result == 0 ? "accepted" : ContextWords(result),
                                {}});
    }
    section.verdict = any ? "works" : "not offered";
    section.detail = any ? "" : "the peer offers no query/retrieve model";
    if (results[1] != 0) return section;

    const char* levels[] = {"STUDY", "SERIES", "IMAGE"};
    std::vector<std::pair<std::string, std::string>> keys;
    for (const char* level : levels) {
        RecordList* list = NewRecordList();
        int32_t status = -1;
        const bool sent = FindSome(probe, level, keys, list, status);
        if (!sent || (status < 0 && RecordCount(list) == 0)) {
            Row row{std::string(level) + " level", "", "failed", LastWhy(), {}};
            if (row.detail.empty())
                row.detail = OutcomeWords(OUTCOME_FIND, status, probe.options.called);
            section.rows.push_back(std::move(row));
            DeleteRecordList(list);
            break;
        }
        section.rows.push_back(KeysRow(level, list));
        const uint32_t count = RecordCount(list);
        std::string study, series, instance;
        if (count > 0) {
            const void* first = RecordAt(list, 0);
            auto text = [&](const char* name) {
                const int index = FieldIndex(level, name);
                const char* t =
                    index < 0 ? nullptr : RecordText(first, static_cast<uint32_t>(index));
                return std::string(t == nullptr ? "" : t);
            };
            study = text("StudyInstanceUID");
            series = text("SeriesInstanceUID");
            instance = text("SOPInstanceUID");
        }
        ClearQuery(list, level);
        DeleteRecordList(list);
        if (count == 0) break;
        if (std::string(level) == "STUDY") {
            found.study = study;
            keys = {{"StudyInstanceUID", study}};
        } else if (std::string(level) == "SERIES") {
            found.series = series;
            keys = {{"StudyInstanceUID", found.study}, {"SeriesInstanceUID", series}};
        } else {
            found.instance = instance;
        }
    }
    return section;
}

Section ProbeWorklist(Probe& probe, int32_t result) {
    Section section{"Worklist", VerdictOf(result), "", {}, {}};
    if (result != 0) {
        section.detail = ContextWords(result);
        return section;
    }
    const Options& o = probe.options;
    RecordList* list = NewRecordList();
    void* key = NewRecord("WORKLIST");
    SetRecordField(key, static_cast<uint32_t>(FieldIndex("WORKLIST", "SPSStartDate")),
                   Today().c_str());
    AppendRecord(list, key);
    Association* assoc = NewPDU();
    std::string calling = o.calling;
    calling.resize(std::max<std::size_t>(calling.size(), 17), '\0');
    ++probe.associations;
    int32_t status = -1;
    if (OpenAssoc(assoc, o.host.c_str(), o.port.c_str(), calling.data(), o.called.c_str(),
                  WORKLIST_FIND, nullptr) == 1 &&
        WriteWLFindRQ(assoc, list, WORKLIST_FIND) == 1) {
        ClearWL(list);
        do {
            status = ReadWLFindRSP(assoc, list);
        } while (status == 0xFF00 || status == 0xFF01);
    }
    const std::string why = status == 0 ? "" : LastWhy();
    DeletePDU(assoc);
    if (status == 0) {
        const uint32_t count = RecordCount(list);
        section.detail = std::to_string(count) + (count == 1 ? " entry" : " entries") +
                         " for today (" + Today() + ")";
    } else {
        section.verdict = "failed";
        section.detail =
            OutcomeWords(OUTCOME_FIND, status, o.called) + (why.empty() ? "" : ": " + why);
    }
    ClearWL(list);
    DeleteRecordList(list);
    return section;
}

bool HoldsFile(const fs::path& dir) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        if (it->path().extension() == ".dcm") return true;
    return false;
}

Section ProbeRetrievePath(Probe& probe, bool moveAccepted, const FoundInstance& found) {
    const Options& o = probe.options;
    Section section{"Retrieve path", "", "", {}, {}};
    if (o.moveDest.empty()) {
        section.verdict = "not tested";
        section.detail =
            "give --move-dest AE --receive PORT to have the peer move an instance here";
        return section;
    }
    if (!moveAccepted) {
        section.verdict = "not offered";
        section.detail = "the peer does not accept Study Root MOVE";
        return section;
    }
    if (found.instance.empty()) {
        section.verdict = "failed";
        section.detail = "the peer returned no instance to move: store one first (--store-test)";
        return section;
    }
    // The provider writes its index under ./Database: it runs in a folder of its own.
    std::error_code ec;
    const fs::path home = fs::current_path(ec);
    const fs::path dir = fs::temp_directory_path(ec) /
                         ("tessaly-probe-" + std::to_string(static_cast<long>(::getpid())));
    fs::create_directories(dir, ec);
    fs::current_path(dir, ec);
    StartStoreSCPAcceptingAll((dir / "images").string().c_str(), o.receivePort.c_str());
    if (StoreSCPListening(o.receivePort.c_str()) != 1) {
        StopStoreSCP();
        fs::current_path(home, ec);
        fs::remove_all(dir, ec);
        section.verdict = "failed";
        section.detail = "cannot listen on port " + o.receivePort + ": choose a free port";
        return section;
    }
    RecordList* list = NewRecordList();
    void* key = NewRecord("IMAGE");
    SetRecordField(key, static_cast<uint32_t>(FieldIndex("IMAGE", "StudyInstanceUID")),
                   found.study.c_str());
    SetRecordField(key, static_cast<uint32_t>(FieldIndex("IMAGE", "SeriesInstanceUID")),
                   found.series.c_str());
    SetRecordField(key, static_cast<uint32_t>(FieldIndex("IMAGE", "SOPInstanceUID")),
                   found.instance.c_str());
    AppendRecord(list, key);
    const auto start = Clock::now();
    ++probe.associations;
    const int32_t status =
        MoveSCUStatus(o.host.c_str(), o.port.c_str(), o.calling.c_str(), o.called.c_str(),
                      o.moveDest.c_str(), "IMAGE", list, nullptr, nullptr);
    const std::string why = status == 0 ? "" : LastWhy();
    bool arrived = HoldsFile(dir / "images");
    while (!arrived && Clock::now() - start < ARRIVAL_WAIT + std::chrono::seconds(1) &&
           status == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        arrived = HoldsFile(dir / "images");
    }
    const auto took = Clock::now() - start;
    ClearQuery(list, "IMAGE");
    DeleteRecordList(list);
    StopStoreSCP();
    fs::current_path(home, ec);
    fs::remove_all(dir, ec);
    if (status == 0 && arrived) {
        section.verdict = "works";
        section.detail = "one instance moved to " + o.moveDest + " arrived in " + Millis(took);
    } else {
        section.verdict = "failed";
        section.detail = why.empty() ? OutcomeWords(OUTCOME_MOVE, status, o.called) : why;
        if (status == 0xA801)
            section.detail = OutcomeWords(OUTCOME_MOVE, status, o.called) + ": add " + o.moveDest +
                             " to the peer's nodes with this machine's address and " + "port " +
                             o.receivePort;
        if (status == 0)
            section.detail += ": nothing arrived on port " + o.receivePort +
                              "; the peer's connection to this machine was refused or timed "
                              "out: check the address it has for " +
                              o.moveDest + " and the firewall";
    }
    return section;
}

Section ProbePrint(Probe& probe, int32_t result) {
    Section section{"Print", VerdictOf(result), "", {}, {}};
    if (result != 0) {
        section.detail = ContextWords(result);
        return section;
    }
    const Options& o = probe.options;
    PrinterInfo info{};
    ++probe.associations;
    const int32_t status =
        GetPrinterInfo(o.host.c_str(), o.port.c_str(), o.calling.c_str(), o.called.c_str(), &info);
    section.facts.push_back({"printer status", ToTerminal(info.status)});
    if (info.statusInfo[0] != '\0')
        section.facts.push_back({"status info", ToTerminal(info.statusInfo)});
    section.facts.push_back({"printer name", ToTerminal(info.name)});
    if (status != 0) {
        section.verdict = "failed";
        section.detail = "N-GET of the printer: " + ToTerminal(info.explanation);
    } else {
        section.detail = "Basic Grayscale Print accepted";
        if (std::string(info.status) == "FAILURE") {
            section.verdict = "failed";
            section.detail = "the printer reports FAILURE: " + ToTerminal(info.statusInfo);
        }
    }
    return section;
}

void RunProbe(Probe& probe) {
    Section connection;
    const std::vector<int32_t> results = ProbeConnection(probe, connection);
    probe.sections.push_back(connection);
    const char* later[] = {"Verification", "Storage",       "Query/retrieve",
                           "Worklist",     "Retrieve path", "Print"};
    if (results.empty()) {
        for (const char* name : later)
            probe.sections.push_back(FailedSection(name, "no association (see Connection)"));
        return;
    }
    probe.sections.push_back(ProbeVerification(probe, results[0]));
    probe.sections.push_back(ProbeStorage(probe));
    FoundInstance found;
    probe.sections.push_back(ProbeQuery(probe, results, found));
    probe.sections.push_back(ProbeWorklist(probe, results[5]));
    probe.sections.push_back(ProbeRetrievePath(probe, results[2] == 0, found));
    probe.sections.push_back(ProbePrint(probe, results[6]));
}

// Wide enough for the longest storage class name.
constexpr std::size_t ITEM_WIDTH = 60;

std::string Pad(const std::string& text, std::size_t width) {
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

std::string Terminal(const Probe& probe) {
    const Options& o = probe.options;
    std::string out = "Probe of " + o.called + " at " + o.host + ":" + o.port + ", calling " +
                      (o.calling.empty() ? "ORLANE" : o.calling) + "\n";
    for (const Section& s : probe.sections) {
        std::string head = Pad(s.name, 16) + Pad(s.verdict, 13) + s.detail;
        while (head.back() == ' ')
            head.pop_back();
        out += "\n" + head + "\n";
        for (const auto& [name, value] : s.facts)
            out += "  " + Pad(name, 27) + value + "\n";
        const bool matrix = !s.rows.empty() && !s.rows.front().syntaxes.empty();
        if (matrix) {
            // A column per transfer syntax, numbered, with the numbers explained first.
            std::string legend = "  transfer syntaxes:";
            std::string header;
            for (uint32_t t = 0; const TransferSyntaxInfo* ts = TransferSyntaxAt(t); ++t) {
                legend += " " + std::to_string(t + 1) + " " + SyntaxLabel(*ts);
                header += Pad(std::to_string(t + 1), 3);
            }
            while (header.back() == ' ')
                header.pop_back();
            out += legend + "\n  " + Pad("", ITEM_WIDTH) + Pad("", 13) + header + "\n";
        }
        for (const Row& r : s.rows) {
            std::string marks;
            for (const auto& [uid, result] : r.syntaxes)
                marks += Pad(result == 0 ? "x" : ".", 3);
            std::string line =
                "  " + Pad(ToTerminal(r.item), ITEM_WIDTH) + Pad(r.verdict, 13) + marks + r.detail;
            while (!line.empty() && line.back() == ' ')
                line.pop_back();
            out += line + "\n";
        }
    }
    out += "\n" + std::to_string(probe.associations) + " associations\n";
    return out;
}

std::string Json(const std::string& text) {
    std::string out = "\"";
    for (const char c : Cp1252ToUtf8(text)) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", u);
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string JsonReport(const Probe& probe) {
    const Options& o = probe.options;
    std::string out = "{\n  \"peer\": {\"host\": " + Json(o.host) + ", \"port\": " + Json(o.port) +
                      ", \"calledAeTitle\": " + Json(o.called) +
                      ", \"callingAeTitle\": " + Json(o.calling) + "},\n  \"sections\": [";
    for (std::size_t i = 0; i < probe.sections.size(); ++i) {
        const Section& s = probe.sections[i];
        out += std::string(i == 0 ? "" : ",") + "\n    {\"name\": " + Json(s.name) +
               ", \"verdict\": " + Json(s.verdict) + ", \"detail\": " + Json(s.detail) +
               ",\n     \"facts\": {";
        for (std::size_t f = 0; f < s.facts.size(); ++f)
            out += std::string(f == 0 ? "" : ", ") + Json(s.facts[f].first) + ": " +
                   Json(s.facts[f].second);
        out += "},\n     \"rows\": [";
        for (std::size_t r = 0; r < s.rows.size(); ++r) {
            const Row& row = s.rows[r];
            out += std::string(r == 0 ? "" : ",") + "\n       {\"item\": " + Json(row.item) +
                   ", \"uid\": " + Json(row.uid) + ", \"verdict\": " + Json(row.verdict) +
                   ", \"detail\": " + Json(row.detail);
            if (!row.syntaxes.empty()) {
                out += ", \"syntaxes\": {";
                for (std::size_t t = 0; t < row.syntaxes.size(); ++t)
                    out += std::string(t == 0 ? "" : ", ") + Json(row.syntaxes[t].first) + ": " +
                           std::to_string(row.syntaxes[t].second);
                out += "}";
            }
            out += "}";
        }
        out += std::string(s.rows.empty() ? "" : "\n     ") + "]}";
    }
    out += "\n  ],\n  \"associations\": " + std::to_string(probe.associations) + "\n}\n";
    return out;
}

std::string Html(const std::string& text) {
    std::string out;
    for (const char c : Cp1252ToUtf8(text)) {
        switch (c) {
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string HtmlReport(const Probe& probe) {
    const Options& o = probe.options;
    const std::string title = "DICOM probe of " + o.called + " at " + o.host + ":" + o.port;
    std::string out =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + Html(title) +
        "</title>\n<style>body{font-family:sans-serif;margin:2em}table{border-collapse:collapse;"
        "margin-bottom:1.5em}td,th{border:1px solid #bbb;padding:3px 8px;text-align:left;"
        "vertical-align:top}.works{background:#d8f0d8}.refused,.failed{background:#f6d6d6}"
        ".not-offered,.not-tested{background:#eee}</style></head><body>\n<h1>" +
        Html(title) + "</h1>\n<p>Calling AE title " +
        Html(o.calling.empty() ? "ORLANE" : o.calling) + "; " + std::to_string(probe.associations) +
        " associations.</p>\n";
    auto cls = [](std::string verdict) {
        for (char& c : verdict)
            if (c == ' ') c = '-';
        return verdict;
    };
    for (const Section& s : probe.sections) {
        out += "<h2>" + Html(s.name) + "</h2>\n<table><tr><th>verdict</th><td class=\"" +
               cls(s.verdict) + "\">" + Html(s.verdict) + "</td></tr>";
        if (!s.detail.empty()) out += "<tr><th>detail</th><td>" + Html(s.detail) + "</td></tr>";
        for (const auto& [name, value] : s.facts)
            out += "<tr><th>" + Html(name) + "</th><td>" + Html(value) + "</td></tr>";
        out += "</table>\n";
        if (s.rows.empty()) continue;
        const bool matrix = !s.rows.front().syntaxes.empty();
        out += "<table><tr><th>item</th><th>verdict</th>";
        if (matrix) {
            for (uint32_t t = 0; const TransferSyntaxInfo* ts = TransferSyntaxAt(t); ++t)
                out += "<th title=\"" + std::string(ts->uid) + "\">" + Html(SyntaxLabel(*ts)) +
                       "</th>";
        }
        out += "<th>detail</th></tr>\n";
        for (const Row& r : s.rows) {
            out += "<tr><td>" + Html(r.item) +
                   (r.uid.empty() ? "" : "<br><small>" + r.uid + "</small>") + "</td><td class=\"" +
                   cls(r.verdict) + "\">" + Html(r.verdict) + "</td>";
            if (matrix) {
                for (const auto& [uid, result] : r.syntaxes)
                    out += std::string("<td class=\"") + (result == 0 ? "works" : "not-offered") +
                           "\">" + (result == 0 ? "&#10003;" : "&ndash;") + "</td>";
                if (r.syntaxes.empty())
                    for (uint32_t t = 0; TransferSyntaxAt(t) != nullptr; ++t)
                        out += "<td></td>";
            }
            out += "<td>" + Html(r.detail) + "</td></tr>\n";
        }
        out += "</table>\n";
    }
    return out + "</body></html>\n";
}

int RunProbeCommand(const Args& args) {
    const Command& self = ProbeCommand;
    Options o;
    int positional = 0;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--aet" || a == "--aec" || a == "--move-dest" || a == "--receive" ||
            a == "--html" || a == "--store-test") {
            if (i + 1 == args.size()) return UsageError(self);
            const std::string& value = args[++i];
            if (a == "--aet") o.calling = value;
            if (a == "--aec") o.called = value;
            if (a == "--move-dest") o.moveDest = value;
            if (a == "--receive") o.receivePort = value;
            if (a == "--html") o.html = value;
            if (a == "--store-test") o.storeTest = value;
        } else if (a == "--json") {
            o.json = true;
        } else if (!a.empty() && a[0] == '-') {
            return UsageError(self);
        } else if (positional == 0) {
            o.host = a;
            ++positional;
        } else if (positional == 1) {
            o.port = a;
            ++positional;
        } else {
            return UsageError(self);
        }
    }
    if (positional != 2 || o.host.empty() || o.port.empty() ||
        o.moveDest.empty() != o.receivePort.empty())
        return UsageError(self);
    if (o.calling.size() > AE_TITLE_LIMIT || o.called.size() > AE_TITLE_LIMIT ||
        o.moveDest.size() > AE_TITLE_LIMIT) {
        std::fprintf(stderr, "tessaly-cli: probe: an AE title holds at most 16 characters\n");
        return 2;
    }

    WriteLogLine("Starting PROBE Service");
    Probe probe{o, {}, 0};
    RunProbe(probe);
    std::fputs(o.json ? JsonReport(probe).c_str() : Terminal(probe).c_str(), stdout);
    if (!o.html.empty()) {
        std::ofstream file(o.html, std::ios::binary);
        file << HtmlReport(probe);
        if (!file) {
            std::fprintf(stderr, "tessaly-cli: probe: cannot write %s\n", o.html.c_str());
            return 1;
        }
    }
    const bool connected = probe.sections.front().verdict == "works";
    WriteLogLine(connected ? "PROBE OK" : "PROBE failed: no association");
    return connected ? 0 : 1;
}

}  // namespace

const Command ProbeCommand = {
    "probe",
    "probe HOST PORT [--aet LOCAL] [--aec REMOTE] [--move-dest AE --receive PORT] [--json] "
    "[--html FILE] [--store-test FILE]",
    RunProbeCommand};

}  // namespace cli
