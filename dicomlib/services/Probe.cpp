// The probe's sections, run one after the other. Each opens associations of its own; the
// connection section's one association proposes every non-storage service looked at, and its
// answers decide which of the later sections have anything to try.
#include "services/Probe.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <optional>
#include <span>
#include <thread>

#include "data/Datadec.h"
#include "data/Tags.h"
#include "data/TransferSyntax.h"
#include "data/Uids.h"
#include "net/AssociationWords.h"
#include "net/NService.h"
#include "net/StorageClasses.h"
#include "net/TlsTransport.h"
#include "net/TraceLog.h"
#include "services/Commitment.h"
#include "services/QueryRetrieve.h"
#include "services/Retrieve.h"
#include "services/Storage.h"
#include "services/Verification.h"
#include "services/Worklist.h"
#include "store/StoreScp.h"

namespace dicomlib::services {
namespace {

using probe::Report;
using probe::Row;
using probe::Section;
using probe::Verdict;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// C-FIND responses read per level before the query is cancelled.
constexpr uint32_t FIND_LIMIT = 5;
// How long the retrieve path waits for a moved instance after the C-MOVE ended.
constexpr std::chrono::seconds ARRIVAL_WAIT{10};
// How long the commit of the test instance waits for the peer's report.
constexpr std::chrono::seconds COMMIT_WAIT{10};

constexpr char PATIENT_ROOT_FIND[] = "1.2.840.10008.5.1.4.1.2.1.1";
constexpr char PATIENT_ROOT_MOVE[] = "1.2.840.10008.5.1.4.1.2.1.2";
constexpr char WORKLIST_FIND[] = "1.2.840.10008.5.1.4.31";
constexpr char MPPS_SOP_CLASS[] = "1.2.840.10008.3.1.2.3.3";

// The services the connection's association proposes, in this order.
enum Service : std::size_t {
    VERIFICATION,
    STUDY_FIND,
    STUDY_MOVE,
    PATIENT_FIND,
    PATIENT_MOVE,
    WORKLIST,
    PRINT,
    STUDY_GET,
    PATIENT_GET,
    COMMITMENT,
    MPPS,
    SERVICE_COUNT
};

using Results = std::vector<int32_t>;  // per Service: the context result, -1 unanswered

// Opens an association of the probe; dump: its messages go to the trace at level 2 or more.
net::AssociationPtr OpenProbeAssociation(const net::ConnectionSettings& peer,
                                         const net::Proposals& proposals, bool dump) {
    net::AssociationPtr assoc = net::Open(ProbeSettings(peer), proposals);
    assoc->messageDump = dump && net::LogLevel() >= net::LOG_MESSAGES;
    return assoc;
}

bool IsOpen(const Association& assoc) {
    return assoc.opened.outcome == net::OpenOutcome::Accepted;
}

std::string Millis(uint64_t microseconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", static_cast<double>(microseconds) / 1000.0);
    return text;
}

std::string Millis(Clock::duration d) {
    return Millis(
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(d).count()));
}

std::string Millis(std::chrono::microseconds time) {
    return Millis(static_cast<uint64_t>(std::max<long long>(time.count(), 0)));
}

Verdict VerdictOf(int32_t contextResult) {
    if (contextResult == 0) return Verdict::Works;
    if (contextResult == net::RESULT_ABSTRACT_SYNTAX_NOT_SUPPORTED) return Verdict::NotOffered;
    if (contextResult < 0) return Verdict::Failed;
    return Verdict::Refused;
}

// What a context result means, and what to do about a refusal.
std::pair<std::string, std::string> ContextWords(int32_t result) {
    if (result == -1) return {"not answered: the association failed first", ""};
    if (result < 0 || result > 0xFF) return {"unknown outcome " + std::to_string(result), ""};
    const auto value = static_cast<uint8_t>(result);
    if (value == 0) return {net::ContextResultMeaning(0), ""};
    return {net::ContextResultMeaning(value), std::string(net::ContextResultAdvice(value))};
}

Section MakeSection(std::string name, Verdict verdict, std::string reason = "",
                    std::string advice = "") {
    Section s;
    s.name = std::move(name);
    s.verdict = verdict;
    s.reason = std::move(reason);
    s.advice = std::move(advice);
    return s;
}

Section ContextSection(std::string name, int32_t result) {
    auto [reason, advice] = ContextWords(result);
    return MakeSection(std::move(name), VerdictOf(result), std::move(reason), std::move(advice));
}

Row MakeRow(std::string item, std::string uid, Verdict verdict, std::string reason,
            std::string advice = "") {
    Row r;
    r.item = std::move(item);
    r.uid = std::move(uid);
    r.verdict = verdict;
    r.reason = std::move(reason);
    r.advice = std::move(advice);
    return r;
}

// The explanation of the thread's last failure, or the fallback when there is none.
std::string LastWhy(std::string fallback = "") {
    const std::string& why = net::LastFailure();
    return why.empty() ? fallback : why;
}

// A section never says "works" while one of its rows failed or was refused; it takes the
// worse of the two, and when it has no reason of its own, names the row.
void JudgeByRows(Section& section) {
    if (section.verdict != Verdict::Works) return;
    const Row* worst = nullptr;
    for (const Row& row : section.rows) {
        if (row.verdict == Verdict::Failed) {
            worst = &row;
            break;
        }
        if (row.verdict == Verdict::Refused && worst == nullptr) worst = &row;
    }
    if (worst == nullptr) return;
    section.verdict = worst->verdict;
    if (section.reason.empty())
        section.reason = worst->item + (worst->verdict == Verdict::Failed ? " failed" : " refused");
}

// The store test's instance, as its file names it.
struct TestInstance {
    std::string study, series, instance, sopClass;
};

std::optional<TestInstance> TestInstanceOf(const fs::path& file) {
    data::DecoderState state;
    ElementList meta, dataSet;
    if (!data::ReadPart10File(state, file, meta, dataSet)) return std::nullopt;
    TestInstance t{data::GetTopLevelString(dataSet, tag::StudyInstanceUID),
                   data::GetTopLevelString(dataSet, tag::SeriesInstanceUID),
                   data::GetTopLevelString(dataSet, tag::SOPInstanceUID),
                   data::GetTopLevelString(dataSet, tag::SOPClassUID)};
    if (t.study.empty() || t.series.empty() || t.instance.empty() || t.sopClass.empty())
        return std::nullopt;
    return t;
}

// Values of the uncompressed little-endian syntaxes are the same bytes in each; only the VRs
// that an implicit syntax does not carry are left out of the comparison then.
bool SameElement(const DicomElement& a, const DicomElement& b, bool compareVr) {
    if (a.group != b.group || a.element != b.element || a.length != b.length) return false;
    if (compareVr && (a.vr[0] != b.vr[0] || a.vr[1] != b.vr[1])) return false;
    if (!data::HasValue(a)) return true;
    const data::ValueView va(a), vb(b);
    return va.Ok() && vb.Ok() &&
           std::equal(va.Bytes().begin(), va.Bytes().end(), vb.Bytes().begin(), vb.Bytes().end());
}

// A sequence of defined length: by its VR, or in an implicit syntax, where the dictionary may
// not know the tag and the element has no VR, by a value that opens with an item.
bool IsDefinedContainer(const data::DecoderState& state, const DicomElement& e) {
    if (!data::HasValue(e)) return false;
    if (data::VrIs(e, "SQ") || TagOf(e) == tag::Item) return true;
    uint8_t head[4];
    return state.explicitVr == 0 && e.length >= 8 && data::ReadValueBytes(e, 0, head) &&
           head[0] == 0xFE && head[1] == 0xFF && head[2] == 0x00 && head[3] == 0xE0;
}

// The data set with its defined-length sequences and items opened, so that two encodings of
// the same sequence read alike; a malformed one stays as it was read.
ElementList Flat(const data::DecoderState& state, const ElementList& list) {
    ElementList flat;
    for (const DicomElement* e : list) {
        const bool container = IsDefinedContainer(state, *e);
        ElementList opened;
        if (container && data::ExpandSequence(state, *e, opened)) {
            for (const DicomElement* o : opened)
                flat.Append(data::CopyElement(*o));
        } else {
            flat.Append(data::CopyElement(*e));
        }
    }
    return flat;
}

// How an instance that came back compares with the file that was sent: the same data set or
// the first element that differs, and the other syntax it came in.
std::string CompareWithSent(const fs::path& sent, const fs::path& back) {
    data::DecoderState sentState, backState;
    ElementList sentMeta, sentRead, backMeta, backRead;
    if (!data::ReadPart10File(sentState, sent, sentMeta, sentRead) ||
        !data::ReadPart10File(backState, back, backMeta, backRead))
        return "it could not be read back to compare with the file sent";
    const ElementList sentData = Flat(sentState, sentRead), backData = Flat(backState, backRead);
    const std::string sentSyntax = data::GetTagString(sentMeta, tag::TransferSyntaxUID);
    const std::string backSyntax = data::GetTagString(backMeta, tag::TransferSyntaxUID);
    const bool sameSyntax = sentSyntax == backSyntax;
    const std::string syntax = sameSyntax
                                   ? ""
                                   : ", in " + data::SyntaxTitle(backSyntax) + " (the file is in " +
                                         data::SyntaxTitle(sentSyntax) + ")";
    const bool bothExplicit = sentState.explicitVr != 0 && backState.explicitVr != 0;
    for (std::size_t i = 0;; ++i) {
        const bool sentEnd = i >= sentData.Size(), backEnd = i >= backData.Size();
        if (sentEnd && backEnd) return "the same data set as the file sent" + syntax;
        if (sentEnd || backEnd || !SameElement(*sentData[i], *backData[i], bothExplicit)) {
            const DicomElement& e = sentEnd ? *backData[i] : *sentData[i];
            char where[32];
            std::snprintf(where, sizeof where, "(%04X,%04X)", static_cast<unsigned>(e.group),
                          static_cast<unsigned>(e.element));
            if (backEnd)
                return std::string("without element ") + where +
                       " of the file sent and what follows it" + syntax;
            if (sentEnd)
                return std::string("with elements the file sent has not, from ") + where + " on" +
                       syntax;
            return std::string("its bytes differ from the file sent from element ") + where +
                   " on" + syntax;
        }
    }
}

class Prober {
  public:
    explicit Prober(const probe::Options& options) : o_(options) {}

    Report Run(const probe::SectionSink& onSection) {
        auto add = [&](Section section) {
            report_.sections.push_back(std::move(section));
            if (onSection) onSection(report_.sections.back());
        };
        Section connection, workflow;
        const Results results = Connection(connection);
        add(std::move(connection));
        if (results.empty()) {
            for (const char* name : {"Verification", "Storage", "Query/retrieve", "Worklist",
                                     "Retrieve path", "Print"})
                add(MakeSection(name, Verdict::Failed, "no association (see Connection)"));
            workflow = MakeSection("Workflow", Verdict::Failed, "no association (see Connection)");
        } else {
            add(Verification(results[VERIFICATION]));
            add(Storage());
            add(Query(results));
            add(Worklist(results[WORKLIST]));
            add(RetrievePath(results[STUDY_MOVE] == 0));
            add(Print(results[PRINT]));
            workflow = Workflow(results);
        }
        // After the others, so that they keep their places; it runs after a failed
        // connection too, where it tells whether the port wants the other transport.
        add(Security());
        add(std::move(workflow));
        return report_;
    }

  private:
    // What the query section found for the retrieve path: the UIDs of one instance, or why
    // there is none.
    struct Found {
        std::string study, series, instance;
        std::string missing;
    };

    net::ConnectionSettings Settings() const {
        net::ConnectionSettings settings = o_.connection;
        settings.host = o_.host;
        settings.port = o_.port;
        settings.callingAeTitle = o_.callingAeTitle;
        settings.calledAeTitle = o_.calledAeTitle;
        return ProbeSettings(std::move(settings));
    }

    std::string Calling() const {
        return o_.callingAeTitle.empty() ? std::string("ORLANE") : o_.callingAeTitle;
    }
    std::string Peer() const {
        return o_.calledAeTitle.empty() ? std::string("the peer") : o_.calledAeTitle;
    }

    // One association proposing every non-storage service; the results tell which of them the
    // peer takes. Empty when no association was answered.
    Results Connection(Section& section) {
        static constexpr const char* SERVICES[SERVICE_COUNT] = {
            uid::Verification.data(),
            STUDY_ROOT_FIND,
            STUDY_ROOT_MOVE,
            PATIENT_ROOT_FIND,
            PATIENT_ROOT_MOVE,
            WORKLIST_FIND,
            uid::BasicGrayscalePrintManagementMeta.data(),
            STUDY_ROOT_GET,
            PATIENT_ROOT_GET,
            STORAGE_COMMITMENT_CLASS,
            MPPS_SOP_CLASS};
        std::vector<SyntaxPair> pairs;
        for (const char* service : SERVICES)
            pairs.push_back({service, std::string(uid::ImplicitVRLittleEndian)});
        const ContextsProbe probe = ProposeEach(Settings(), pairs);
        report_.associations += probe.associations;
        section.name = "Connection";
        const net::OpenOutcome outcome = probe.report.outcome;
        section.facts.push_back({"name look-up", Millis(probe.report.lookupTime)});
        if (outcome != net::OpenOutcome::UnknownHost && outcome != net::OpenOutcome::UnknownPort)
            section.facts.push_back({"TCP connect", Millis(probe.report.connectTime)});
        if (probe.report.negotiationTime.count() > 0)
            section.facts.push_back({"association", Millis(probe.report.negotiationTime)});
        if (!probe.peer.implementationClassUid.empty()) {
            std::string implementation = probe.peer.implementationClassUid;
            if (!probe.peer.implementationVersionName.empty())
                implementation += " (" + probe.peer.implementationVersionName + ")";
            section.facts.push_back({"peer implementation", implementation});
            section.facts.push_back({"peer maximum PDU", std::to_string(probe.peer.maximumLength)});
        }
        if (!probe.explanation.empty()) {
            section.verdict =
                outcome == net::OpenOutcome::Rejected ? Verdict::Refused : Verdict::Failed;
            section.reason = probe.explanation;
            return {};
        }
        section.verdict = Verdict::Works;
        section.reason = "titles " + Calling() + " -> " + o_.calledAeTitle + " accepted";
        Results results;
        for (const PairAnswer& answer : probe.answers)
            results.push_back(answer.result);
        return results;
    }

    Section Verification(int32_t result) {
        if (result != 0) return ContextSection("Verification", result);
        auto assoc = OpenProbeAssociation(Settings(), net::ProposalFor(uid::Verification), false);
        ++report_.associations;
        if (!IsOpen(*assoc)) return MakeSection("Verification", Verdict::Failed, LastWhy());
        const auto start = Clock::now();
        const bool ok = WriteEchoRQ(*assoc, uid::Verification) && ReadEchoRSP(*assoc);
        const auto took = Clock::now() - start;
        const std::string why = ok ? "" : LastWhy("no C-ECHO response");
        assoc.reset();
        if (!ok) return MakeSection("Verification", Verdict::Failed, why);
        return MakeSection("Verification", Verdict::Works, "C-ECHO round trip " + Millis(took));
    }

    // Every storage class in every transfer syntax of the library's table, each pair a context
    // of its own: the answers alone fill the table, nothing is stored.
    Section Storage() {
        const auto& classes = ProbeStorageClasses();
        const auto syntaxes = data::TransferSyntaxes();
        std::vector<SyntaxPair> pairs;
        for (const ProbeClass& c : classes)
            for (const data::TransferSyntax& ts : syntaxes)
                pairs.push_back({std::string(c.uid), std::string(ts.uid)});
        const ContextsProbe probe = ProposeEach(Settings(), pairs);
        report_.associations += probe.associations;
        if (!probe.explanation.empty())
            return MakeSection("Storage", Verdict::Failed, probe.explanation);
        Section section = MakeSection("Storage", Verdict::Works);
        std::size_t accepted = 0;
        for (std::size_t c = 0; c < classes.size(); ++c) {
            Row row = MakeRow(std::string(classes[c].name), std::string(classes[c].uid), {}, "");
            bool any = false;
            int32_t refusal = net::RESULT_ABSTRACT_SYNTAX_NOT_SUPPORTED;
            for (std::size_t s = 0; s < syntaxes.size(); ++s) {
                const int32_t result = probe.answers[c * syntaxes.size() + s].result;
                row.syntaxes.push_back({std::string(syntaxes[s].uid), result});
                if (result == 0) {
                    any = true;
                } else if (result != net::RESULT_ABSTRACT_SYNTAX_NOT_SUPPORTED) {
                    refusal = result;  // a refusal other than "not supported" says more
                }
            }
            row.verdict = any ? Verdict::Works : VerdictOf(refusal);
            if (!any) std::tie(row.reason, row.advice) = ContextWords(refusal);
            accepted += any ? 1 : 0;
            section.rows.push_back(std::move(row));
        }
        section.verdict = accepted > 0 ? Verdict::Works : Verdict::NotOffered;
        section.reason = std::to_string(accepted) + " of " + std::to_string(classes.size()) +
                         " classes accepted, " + std::to_string(probe.associations) +
                         " associations";
        if (accepted == 0) section.advice = "the peer takes none of these storage classes";

        if (!o_.storeTestFile.empty()) {
            const int32_t stored = StoreFile(Settings(), o_.storeTestFile, std::nullopt, true);
            ++report_.associations;
            const bool ok = stored == net::STATUS_SUCCESS;
            if (ok) tested_ = TestInstanceOf(o_.storeTestFile);
            section.rows.push_back(MakeRow("store test: " + o_.storeTestFile.string(), "",
                                           ok ? Verdict::Works : Verdict::Failed,
                                           StoreOutcomeText(stored, Peer()), ok ? "" : LastWhy()));
        }
        JudgeByRows(section);
        return section;
    }

    // A C-FIND on an association of its own. At most FIND_LIMIT matches are read; a query with
    // more is cancelled. matches: how many records came with pending responses (a final
    // failure's record is no match). Returns the final status, or a negative code.
    int32_t FindSome(RecordType level, const std::vector<std::pair<std::string, std::string>>& keys,
                     RecordList& list, uint32_t& matches) {
        const std::string_view levelName = KindName(level);
        void* key = list.AppendNew(level);
        const auto fields = FieldsOf(level);
        for (const auto& [name, value] : keys)
            for (std::size_t i = 0; i < fields.size(); ++i)
                if (name == fields[i].name) SetField(level, key, i, value);
        auto assoc = OpenProbeAssociation(Settings(), net::ProposalFor(STUDY_ROOT_FIND), false);
        ++report_.associations;
        matches = 0;
        const bool sent = IsOpen(*assoc) && WriteFindRQ(*assoc, list, STUDY_ROOT_FIND, levelName);
        if (!sent) {
            ClearQuery(list, levelName);
            return QUERY_NO_RESPONSE;
        }
        int32_t status = QUERY_NO_RESPONSE;
        do {
            status = ReadFindRSP(*assoc, list, levelName);
            if (net::IsPending(status)) ++matches;
        } while (net::IsPending(status) && matches < FIND_LIMIT);
        // The peer has more: it is told to stop before the association is released.
        if (net::IsPending(status)) status = CancelQuery(*assoc, net::C_FIND_RSP);
        return status;
    }

    // Which fields of the level the peer filled in the matches it returned.
    static Row KeysRow(RecordType level, const RecordList& list, uint32_t matches) {
        std::string filled, empty;
        const auto fields = FieldsOf(level);
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (fields[i].tag.group == 0) continue;
            bool any = false;
            for (uint32_t r = 0; r < matches && r < list.Size(); ++r) {
                const std::string_view text = FieldText(level, list[r], i);
                any = any || text.find_first_not_of(' ') != std::string_view::npos;
            }
            std::string& into = any ? filled : empty;
            into += (into.empty() ? "" : " ") + std::string(fields[i].name);
        }
        return MakeRow(std::string(KindName(level)) + " level", "", Verdict::Works,
                       std::to_string(matches) + (matches == 1 ? " record" : " records") +
                           "; filled: " + (filled.empty() ? "none" : filled) +
                           "; empty or left out: " + (empty.empty() ? "none" : empty));
    }

    Section Query(const Results& results) {
        Section section = MakeSection("Query/retrieve", Verdict::NotOffered);
        QueryModels(section, results);
        if (!o_.storeTestFile.empty()) section.rows.push_back(GetTestInstance(results[STUDY_GET]));
        JudgeByRows(section);
        return section;
    }

    void QueryModels(Section& section, const Results& results) {
        const ServiceRow models[] = {{"Study Root FIND", STUDY_ROOT_FIND, STUDY_FIND},
                                     {"Study Root MOVE", STUDY_ROOT_MOVE, STUDY_MOVE},
                                     {"Patient Root FIND", PATIENT_ROOT_FIND, PATIENT_FIND},
                                     {"Patient Root MOVE", PATIENT_ROOT_MOVE, PATIENT_MOVE},
                                     {"Study Root GET", STUDY_ROOT_GET, STUDY_GET},
                                     {"Patient Root GET", PATIENT_ROOT_GET, PATIENT_GET}};
        const bool any = AddServiceRows(section, models, results);
        if (any) {
            section.verdict = Verdict::Works;
        } else {
            section.reason = "the peer offers no query/retrieve model";
        }
        if (results[STUDY_FIND] != 0) {
            found_.missing = "the peer does not accept Study Root FIND, which finds one";
            return;
        }

        std::vector<std::pair<std::string, std::string>> keys;
        for (const RecordType level : {RecordType::Study, RecordType::Series, RecordType::Image}) {
            RecordList list;
            uint32_t matches = 0;
            const int32_t status = FindSome(level, keys, list, matches);
            const std::string item = std::string(KindName(level)) + " level";
            if (status != net::STATUS_SUCCESS && status != net::STATUS_CANCEL) {
                // A query that ended in anything else found nothing that can be trusted.
                Row row = MakeRow(item, "", Verdict::Failed, "");
                if (status >= 0) {
                    const auto value = static_cast<uint16_t>(status);
                    row.reason = net::StatusText(value, net::C_FIND_RSP);
                    row.advice = std::string(net::StatusAdvice(value, net::C_FIND_RSP));
                } else {
                    row.reason = LastWhy(QueryOutcomeText(net::C_FIND_RSP, status));
                }
                section.rows.push_back(std::move(row));
                found_.missing = "the " + item + " query failed (see Query/retrieve)";
                ClearQuery(list, KindName(level));
                break;
            }
            section.rows.push_back(KeysRow(level, list, matches));
            if (matches == 0) {
                ClearQuery(list, KindName(level));
                break;
            }
            const auto text = [&](const char* name) {
                const auto fields = FieldsOf(level);
                for (std::size_t i = 0; i < fields.size(); ++i)
                    if (std::string_view(fields[i].name) == name)
                        return std::string(FieldText(level, list[0], i));
                return std::string();
            };
            if (level == RecordType::Study) {
                found_.study = text("StudyInstanceUID");
                keys = {{"StudyInstanceUID", found_.study}};
            } else if (level == RecordType::Series) {
                found_.series = text("SeriesInstanceUID");
                keys = {{"StudyInstanceUID", found_.study}, {"SeriesInstanceUID", found_.series}};
            } else {
                found_.instance = text("SOPInstanceUID");
            }
            ClearQuery(list, KindName(level));
        }
    }

    struct ServiceRow {
        const char* item;
        const char* uid;
        Service service;
    };

    // A row per service as the connection's association answered it; true when one was
    // accepted.
    static bool AddServiceRows(Section& section, std::span<const ServiceRow> services,
                               const Results& results) {
        bool any = false;
        for (const ServiceRow& service : services) {
            const int32_t result = results[service.service];
            any = any || result == 0;
            auto [reason, advice] = result == 0
                                        ? std::pair<std::string, std::string>("accepted", "")
                                        : ContextWords(result);
            section.rows.push_back(MakeRow(service.item, service.uid, VerdictOf(result),
                                           std::move(reason), std::move(advice)));
        }
        return any;
    }

    // What a modality's workflow needs of an archive and a RIS besides storing and the
    // worklist: negotiation, and the commit of the store test's instance when there is one; no
    // procedure step is ever created.
    Section Workflow(const Results& results) {
        Section section = MakeSection("Workflow", Verdict::NotOffered);
        const ServiceRow services[] = {
            {"Storage Commitment Push Model", STORAGE_COMMITMENT_CLASS, COMMITMENT},
            {"Modality Performed Procedure Step", MPPS_SOP_CLASS, MPPS}};
        if (AddServiceRows(section, services, results)) {
            section.verdict = Verdict::Works;
            for (const Row& row : section.rows)
                if (row.verdict == Verdict::Works)
                    section.reason += (section.reason.empty() ? "" : " and ") + row.item;
            section.reason += " accepted";
        } else {
            section.reason = "the peer takes neither storage commitment nor procedure steps";
        }
        if (!o_.storeTestFile.empty()) {
            section.rows.push_back(CommitTestInstance(results[COMMITMENT]));
            if (section.rows.back().verdict == Verdict::Failed)
                section.reason += "; " + section.rows.back().item + " failed";
        }
        JudgeByRows(section);
        return section;
    }

    static std::string Today() {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        char text[16];
        std::strftime(text, sizeof text, "%Y%m%d", &local);
        return text;
    }

    Section Worklist(int32_t result) {
        if (result != 0) return ContextSection("Worklist", result);
        RecordList list;
        void* key = list.AppendNew(RecordType::Worklist);
        const auto fields = FieldsOf(RecordType::Worklist);
        for (std::size_t i = 0; i < fields.size(); ++i)
            if (std::string_view(fields[i].name) == "SPSStartDate")
                SetField(RecordType::Worklist, key, i, Today());
        auto assoc = OpenProbeAssociation(Settings(), net::ProposalFor(WORKLIST_FIND), false);
        ++report_.associations;
        int32_t status = QUERY_NO_RESPONSE;
        if (IsOpen(*assoc) && WriteWLFindRQ(*assoc, list, WORKLIST_FIND)) {
            ClearWL(list);
            do {
                status = ReadWLFindRSP(*assoc, list);
            } while (net::IsPending(status));
        }
        const std::string why = status == 0 ? "" : LastWhy();
        assoc.reset();
        if (status == net::STATUS_SUCCESS) {
            const std::size_t count = list.Size();
            return MakeSection("Worklist", Verdict::Works,
                               std::to_string(count) + (count == 1 ? " entry" : " entries") +
                                   " for today (" + Today() + ")");
        }
        if (status >= 0) {
            const auto value = static_cast<uint16_t>(status);
            return MakeSection("Worklist", Verdict::Failed, net::StatusText(value, net::C_FIND_RSP),
                               std::string(net::StatusAdvice(value, net::C_FIND_RSP)));
        }
        return MakeSection("Worklist", Verdict::Failed, QueryOutcomeText(net::C_FIND_RSP, status),
                           why);
    }

    static bool HoldsFile(const fs::path& dir) {
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(dir, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
            if (it->path().extension() == ".dcm") return true;
        return false;
    }

    // A folder of this probe's own for what the retrieve path receives.
    fs::path WorkFolder() const {
        static std::atomic<uint32_t> probes{0};
        std::error_code ec;
        const fs::path base = o_.workFolder.empty() ? fs::temp_directory_path(ec) : o_.workFolder;
        return base / ("tessaly-probe-" + std::to_string(static_cast<long>(::getpid())) + "-" +
                       std::to_string(probes.fetch_add(1)));
    }

    // The peer is asked to move the instance the query found to our own provider, started
    // for this alone and stopped alone afterwards.
    Section RetrievePath(bool moveAccepted) {
        const std::string name = "Retrieve path";
        if (o_.moveDestination.empty() || o_.receivePort.empty())
            return MakeSection(
                name, Verdict::NotTested, "",
                "give --move-dest AE --receive PORT to have the peer move an instance "
                "here");
        if (!moveAccepted)
            return MakeSection(name, Verdict::NotOffered,
                               "the peer does not accept Study Root MOVE");
        if (found_.instance.empty()) {
            if (!found_.missing.empty())
                return MakeSection(name, Verdict::Failed, "no instance to move: " + found_.missing);
            return MakeSection(name, Verdict::Failed, "the peer returned no instance to move",
                               "store one first (--store-test)");
        }
        // The peer's association to our listener is secured as ours to it is: our certificate,
        // and the CAs we trust to verify the peer's.
        net::ConnectionSettings listening;
        listening.transport = Settings().transport;
        if (listening.transport.tls && !listening.transport.tls->HasCertificate())
            return MakeSection(name, Verdict::NotTested,
                               "under TLS the peer's association to port " + o_.receivePort +
                                   " is secured with our certificate, and none was given",
                               "add --tls-cert and --tls-key");
        const fs::path dir = WorkFolder();
        std::error_code ec;
        fs::create_directories(dir, ec);
        std::optional<Section> section;
        {
            store::StoreProvider provider((dir / "images").string(), o_.receivePort,
                                          dir / "Database", 1, store::AcceptPolicy::Everything,
                                          listening);
            if (!provider.Listening()) {
                section =
                    MakeSection(name, Verdict::Failed, "cannot listen on port " + o_.receivePort,
                                "choose a free port");
            } else {
                section = Move(dir / "images");
            }
        }
        fs::remove_all(dir, ec);
        return *section;
    }

    Section Move(const fs::path& images) {
        const std::string name = "Retrieve path";
        RecordList list;
        void* key = list.AppendNew(RecordType::Image);
        SetFieldNamed(RecordType::Image, key, "StudyInstanceUID", found_.study);
        SetFieldNamed(RecordType::Image, key, "SeriesInstanceUID", found_.series);
        SetFieldNamed(RecordType::Image, key, "SOPInstanceUID", found_.instance);
        const auto start = Clock::now();
        ++report_.associations;
        const int32_t status = MoveSCUStatus(Settings(), o_.moveDestination, "IMAGE", list);
        const std::string why = status == 0 ? "" : LastWhy();
        bool arrived = HoldsFile(images);
        while (!arrived && status == 0 &&
               Clock::now() - start < ARRIVAL_WAIT + std::chrono::seconds(1)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            arrived = HoldsFile(images);
        }
        const auto took = Clock::now() - start;
        ClearQuery(list, "IMAGE");
        if (status == 0 && arrived)
            return MakeSection(
                name, Verdict::Works,
                "one instance moved to " + o_.moveDestination + " arrived in " + Millis(took));
        const std::string words = QueryOutcomeText(net::C_MOVE_RSP, status);
        if (status == net::STATUS_MOVE_DESTINATION_UNKNOWN)
            return MakeSection(name, Verdict::Failed, words,
                               "add " + o_.moveDestination +
                                   " to the peer's nodes with this machine's address and port " +
                                   o_.receivePort);
        if (status == 0)
            return MakeSection(name, Verdict::Failed, words,
                               "nothing arrived on port " + o_.receivePort +
                                   "; the peer's connection to this machine was refused or timed "
                                   "out: check the address it has for " +
                                   o_.moveDestination + " and the firewall");
        return MakeSection(name, Verdict::Failed, why.empty() ? words : why);
    }

    // The instance the store test left on the peer, fetched back with a C-GET at image level on
    // our own association, into a folder of this probe's own that is removed afterwards.
    Row GetTestInstance(int32_t getResult) {
        const std::string item = "Study Root GET of the test instance";
        if (getResult != 0)
            return MakeRow(item, STUDY_ROOT_GET, VerdictOf(getResult),
                           "the peer does not accept Study Root GET");
        if (!tested_)
            return MakeRow(item, STUDY_ROOT_GET, Verdict::NotTested,
                           "the test instance was not stored (see Storage)");
        const fs::path dir = WorkFolder();
        std::error_code ec;
        fs::create_directories(dir, ec);
        RecordList list;
        void* key = list.AppendNew(RecordType::Image);
        SetFieldNamed(RecordType::Image, key, "StudyInstanceUID", tested_->study);
        SetFieldNamed(RecordType::Image, key, "SeriesInstanceUID", tested_->series);
        SetFieldNamed(RecordType::Image, key, "SOPInstanceUID", tested_->instance);
        GetJob job;
        job.level = "IMAGE";
        job.storageClasses = {tested_->sopClass};
        job.directory = (dir / "images").string();
        job.indexRoot = dir / "Database";
        GetProgress last;
        std::string notes;
        const auto start = Clock::now();
        ++report_.associations;
        const int32_t outcome =
            GetSCUStatus(Settings(), job, list, last, {},
                         [&notes](const std::string& words) { notes += "; " + words; });
        const auto took = Clock::now() - start;
        const std::string why = outcome == 0 ? "" : LastWhy();
        ClearQuery(list, "IMAGE");
        std::vector<fs::path> back;
        for (auto it = fs::recursive_directory_iterator(dir / "images", ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
            if (it->path().extension() == ".dcm") back.push_back(it->path());
        Row row = MakeRow(item, STUDY_ROOT_GET, Verdict::Failed, "");
        if (outcome == net::STATUS_SUCCESS && back.size() == 1 &&
            TestInstanceOf(back[0]).value_or(TestInstance{}).instance == tested_->instance) {
            row.verdict = Verdict::Works;
            row.reason = "it came back on our association in " + Millis(took) + ": " +
                         CompareWithSent(o_.storeTestFile, back[0]);
        } else if (outcome == net::STATUS_SUCCESS) {
            row.reason = "the peer reported success, but ";
            if (back.empty())
                row.reason += "nothing came back";
            else if (back.size() == 1)
                row.reason += "another instance came back (" +
                              TestInstanceOf(back[0]).value_or(TestInstance{}).instance + ")";
            else
                row.reason += std::to_string(back.size()) + " instances came back";
            row.advice = notes.empty() ? "" : notes.substr(2);
        } else if (outcome >= 0) {
            const auto status = static_cast<uint16_t>(outcome);
            row.reason = net::StatusText(status, net::C_GET_RSP) + notes;
            row.advice = std::string(net::StatusAdvice(status, net::C_GET_RSP));
        } else {
            row.reason = GetOutcomeText(outcome) + notes;
            row.advice = why;
        }
        fs::remove_all(dir, ec);
        return row;
    }

    // The test instance committed: the report awaited on our association, or with --receive on
    // the one the peer opens to our listener on that port.
    Row CommitTestInstance(int32_t commitmentResult) {
        const std::string item = "commit of the test instance";
        if (commitmentResult != 0)
            return MakeRow(item, STORAGE_COMMITMENT_CLASS, VerdictOf(commitmentResult),
                           "the peer does not accept Storage Commitment Push Model");
        if (!tested_)
            return MakeRow(item, STORAGE_COMMITMENT_CLASS, Verdict::NotTested,
                           "the test instance was not stored (see Storage)");
        CommitOptions options;
        options.receivePort = o_.receivePort;
        options.wait = COMMIT_WAIT;
        CommitResult result;
        ++report_.associations;
        const int32_t outcome =
            Commit(Settings(), {{tested_->sopClass, tested_->instance}}, options, result);
        const std::string why = outcome == 0 ? "" : LastWhy();
        Row row = MakeRow(item, STORAGE_COMMITMENT_CLASS, Verdict::Failed, "");
        if (outcome == 0) {
            row.verdict = Verdict::Works;
            row.reason = "committed in " + Millis(std::chrono::microseconds(result.timeToCommit)) +
                         (result.onOurAssociation
                              ? ", the report on our association"
                              : ", the report on the peer's association to port " + o_.receivePort);
        } else if (outcome == COMMIT_NOT_COMMITTED && !result.verdicts.empty()) {
            row.reason = "not committed: " + FailureReasonText(result.verdicts[0].reason);
        } else if (outcome == COMMIT_NO_REPORT) {
            row.reason = "no report within " + std::to_string(COMMIT_WAIT.count()) +
                         " s: the peer took the request but did not answer it";
            row.advice =
                o_.receivePort.empty()
                    ? "it may report only on an association of its own: give --move-dest AE "
                      "--receive PORT, with " +
                          Calling() + " and this machine's address and PORT among its nodes"
                    : "check that the peer knows " + Calling() +
                          " with this machine's address and port " + o_.receivePort;
        } else {
            row.reason = why.empty() ? CommitOutcomeText(outcome) : why;
        }
        return row;
    }

    Section Print(int32_t result) {
        if (result != 0) return ContextSection("Print", result);
        ++report_.associations;
        const PrinterStatus printer = GetPrinterStatus(Settings());
        Section section = MakeSection("Print", Verdict::Works);
        section.facts.push_back({"printer status", printer.status});
        if (!printer.statusInfo.empty())
            section.facts.push_back({"status info", printer.statusInfo});
        section.facts.push_back({"printer name", printer.name});
        if (printer.outcome != 0) {
            section.verdict = Verdict::Failed;
            section.reason = "N-GET of the printer: " + printer.explanation;
        } else if (printer.status == "FAILURE") {
            section.verdict = Verdict::Failed;
            section.reason = "the printer reports FAILURE: " + printer.statusInfo;
        } else {
            section.reason = "Basic Grayscale Print accepted";
        }
        return section;
    }

    // One association proposing Verification: what its transport agreed on and what the peer
    // answered.
    struct Attempt {
        bool answered = false;  // an AC, an RJ or an A-ABORT came back
        net::OpenOutcome outcome = net::OpenOutcome::NotOpened;
        std::optional<net::TlsFacts> tls;  // when a handshake finished
        std::optional<net::UserIdentityAC> identity;
        std::string why;  // when it was not accepted
    };

    Attempt Try(const net::ConnectionSettings& settings) {
        auto assoc = OpenProbeAssociation(settings, net::ProposalFor(uid::Verification), true);
        Attempt a;
        a.outcome = assoc->opened.outcome;
        if (a.outcome != net::OpenOutcome::UnknownHost &&
            a.outcome != net::OpenOutcome::UnknownPort)
            ++report_.associations;
        a.answered = a.outcome == net::OpenOutcome::Accepted ||
                     a.outcome == net::OpenOutcome::NothingAccepted ||
                     a.outcome == net::OpenOutcome::Rejected ||
                     a.outcome == net::OpenOutcome::Aborted ||
                     a.outcome == net::OpenOutcome::IdentityNotConfirmed;
        if (const auto* tls = dynamic_cast<const net::TlsTransport*>(&assoc->stream.GetTransport());
            tls != nullptr && !tls->Facts().protocol.empty())
            a.tls = tls->Facts();
        a.identity = assoc->answer.userInformation.userIdentityAC;
        if (IsOpen(*assoc)) {
            net::CloseAssoc(*assoc);
        } else {
            a.why = net::ExplainOpenFailure(*assoc);
        }
        return a;
    }

    // The settings with TLS under these settings, or with a plain connection (null).
    net::ConnectionSettings WithTls(const net::TlsSettings* tls) {
        net::ConnectionSettings settings = Settings();
        settings.transport.tls = nullptr;
        if (tls == nullptr) return settings;
        auto made = net::TlsContext::Create(*tls);
        if (made) settings.transport.tls = *made;
        return settings;
    }

    static void AddCertificateFacts(Section& section, const net::TlsFacts& tls) {
        section.facts.push_back({"TLS handshake", Millis(tls.handshakeTime)});
        section.facts.push_back({"TLS protocol", tls.protocol});
        section.facts.push_back({"cipher suite", tls.cipherSuite});
        if (const auto& c = tls.peerCertificate) {
            section.facts.push_back({"peer certificate", c->subject});
            section.facts.push_back({"issued by", c->issuer});
            section.facts.push_back({"valid from", net::UtcText(c->notBefore)});
            section.facts.push_back({"valid until", net::UtcText(c->notAfter)});
            const auto left = std::chrono::duration_cast<std::chrono::hours>(
                                  c->notAfter - std::chrono::system_clock::now())
                                  .count();
            section.facts.push_back(
                {"days left", left < 0 ? "none: expired " + std::to_string(-left / 24) + " days ago"
                                       : std::to_string(left / 24)});
            section.facts.push_back(
                {"certificate key", c->keyType + " " + std::to_string(c->keyBits) + " bits"});
        }
        section.facts.push_back({"certificate trusted",
                                 tls.verifyProblem.empty() ? "yes" : "no: " + tls.verifyProblem});
        section.facts.push_back(
            {"asks for our certificate", tls.certificateRequested ? "yes" : "no"});
    }

    // The words of a TLS refusal without the advice meant for a requestor that asked for TLS.
    static std::string TlsRefusal(std::string why) {
        const std::size_t advice = why.find(": leave out --tls");
        if (advice != std::string::npos) why.erase(advice);
        return why;
    }

    // TLS or plain as asked, the other one too, the peer's certificate and which versions it
    // takes; and whether it asks for or answers a user identity.
    Section Security() {
        const net::ConnectionSettings asked = Settings();
        const std::shared_ptr<const net::TlsContext> askedTls = asked.transport.tls;
        net::TlsSettings anyCertificate;  // for the TLS tried when plain was asked
        anyCertificate.noVerify = true;
        if (askedTls) {
            anyCertificate = askedTls->Settings();
            anyCertificate.noVerify = true;
        }

        const Attempt first = Try(asked);
        const Attempt other = Try(WithTls(askedTls ? nullptr : &anyCertificate));
        const Attempt& tls = askedTls ? first : other;
        const Attempt& plain = askedTls ? other : first;
        // A handshake refused for its certificate is tried again to show that certificate.
        const Attempt unverified = askedTls && !tls.tls && !askedTls->Settings().noVerify
                                       ? Try(WithTls(&anyCertificate))
                                       : Attempt();
        const std::optional<net::TlsFacts>& facts = tls.tls ? tls.tls : unverified.tls;
        const net::TlsSettings reached =
            askedTls && tls.tls ? askedTls->Settings() : anyCertificate;

        Section section = MakeSection("Security", Verdict::Works);
        section.facts.push_back({"asked for", askedTls ? "TLS" : "plain TCP"});
        const auto answers = [](const Attempt& a, bool secured) {
            if (a.answered) return std::string("answers");
            return "refused: " + (secured ? TlsRefusal(a.why) : a.why);
        };
        section.facts.push_back({"TLS", answers(tls, true)});
        section.facts.push_back({"plain TCP", answers(plain, false)});
        if (facts) AddCertificateFacts(section, *facts);

        if (askedTls && tls.answered && facts) {
            section.reason =
                facts->protocol + ", " + facts->cipherSuite +
                (plain.answered ? "; the port answers plain TCP too" : "; plain TCP refused");
        } else if (askedTls) {
            section.verdict = Verdict::Failed;
            section.reason = tls.why;
        } else if (tls.tls) {
            section.reason = "the port speaks TLS (" + tls.tls->protocol + ", " +
                             tls.tls->cipherSuite + ")" +
                             (plain.answered ? " and plain TCP" : "; plain TCP refused");
            if (!plain.answered) section.advice = "add --tls (and --tls-ca with its CA)";
        } else if (plain.answered) {
            section.verdict = Verdict::NotOffered;
            section.reason = "plain TCP only; TLS was refused: " + TlsRefusal(tls.why);
        } else {
            section.verdict = Verdict::Failed;
            section.reason = "the port answers neither plain TCP nor TLS";
        }

        if (facts) {
            for (const net::TlsVersion version : {net::TlsVersion::Tls12, net::TlsVersion::Tls13}) {
                net::TlsSettings only = reached;
                only.onlyVersion = version;
                const Attempt a = Try(WithTls(&only));
                const std::string name(net::TlsVersionName(version));
                section.rows.push_back(
                    a.answered && a.tls
                        ? MakeRow(name, "", Verdict::Works, "accepted: " + a.tls->cipherSuite)
                        : MakeRow(name, "", Verdict::NotOffered, TlsRefusal(a.why)));
            }
        }
        IdentityFacts(section, first);
        return section;
    }

    void IdentityFacts(Section& section, const Attempt& first) {
        const std::optional<net::UserIdentityRQ> identity = Settings().userIdentity;
        if (!identity) {
            section.facts.push_back(
                {"user identity",
                 first.outcome == net::OpenOutcome::Rejected
                     ? "none offered; the peer rejected the association: it may require one "
                       "(give --user)"
                     : "none offered; " +
                           std::string(first.answered ? "the peer takes associations without one"
                                                      : "no answer to tell")});
            return;
        }
        std::string offered = "offered (" + net::IdentityLogText(*identity) + "): ";
        if (first.outcome == net::OpenOutcome::Rejected) {
            offered += "the association was rejected";
        } else if (!first.answered) {
            offered += "no answer to tell";
        } else if (identity->positiveResponseRequested) {
            offered += first.identity ? "taken, positive response answered"
                                      : "taken, but no positive response came";
        } else {
            offered += first.identity ? "taken, answered with a positive response"
                                      : "taken (no positive response asked)";
        }
        section.facts.push_back({"user identity", offered});
        net::ConnectionSettings without = Settings();
        without.userIdentity.reset();
        const Attempt bare = Try(without);
        section.facts.push_back(
            {"without identity", bare.outcome == net::OpenOutcome::Rejected
                                     ? "rejected: the peer asks for a user identity"
                                 : bare.answered ? "taken: the peer does not ask for one"
                                                 : "refused: " + bare.why});
    }

    probe::Options o_;
    Report report_;
    Found found_;
    std::optional<TestInstance> tested_;  // the store test's instance, once the peer took it
};

}  // namespace

const std::vector<ProbeClass>& ProbeStorageClasses() {
    static const std::vector<ProbeClass> classes = [] {
        static constexpr const char* MORE[] = {
            "1.2.840.10008.5.1.4.1.1.481.1",   // RT Image
            "1.2.840.10008.5.1.4.1.1.481.2",   // RT Dose
            "1.2.840.10008.5.1.4.1.1.481.3",   // RT Structure Set
            "1.2.840.10008.5.1.4.1.1.481.5",   // RT Plan
            "1.2.840.10008.5.1.4.1.1.88.33",   // Comprehensive SR
            "1.2.840.10008.5.1.4.1.1.88.59",   // Key Object Selection Document
            "1.2.840.10008.5.1.4.1.1.104.2",   // Encapsulated CDA
            "1.2.840.10008.5.1.4.1.1.9.1.1",   // 12-lead ECG Waveform
            "1.2.840.10008.5.1.4.1.1.9.1.2",   // General ECG Waveform
            "1.2.840.10008.5.1.4.1.1.9.4.1",   // Basic Voice Audio Waveform
            "1.2.840.10008.5.1.4.1.1.2.1",     // Enhanced CT Image
            "1.2.840.10008.5.1.4.1.1.4.1",     // Enhanced MR Image
            "1.2.840.10008.5.1.4.1.1.12.1.1",  // Enhanced XA Image
            "1.2.840.10008.5.1.4.1.1.6.2",     // Enhanced US Volume
            "1.2.840.10008.5.1.4.1.1.13.1.3",  // Breast Tomosynthesis Image
            "1.2.840.10008.5.1.4.1.1.7.1",     // Multi-frame Single Bit Secondary Capture
            "1.2.840.10008.5.1.4.1.1.7.2",     // Multi-frame Grayscale Byte Secondary Capture
            "1.2.840.10008.5.1.4.1.1.7.3",     // Multi-frame Grayscale Word Secondary Capture
            "1.2.840.10008.5.1.4.1.1.7.4",     // Multi-frame True Color Secondary Capture
            "1.2.840.10008.5.1.4.1.1.11.1",    // Grayscale Softcopy Presentation State
            "1.2.840.10008.5.1.4.1.1.66.4",    // Segmentation
        };
        auto named = [](std::string_view uid) {
            for (const net::StorageClass& c : net::StandardStorageClasses())
                if (c.uid == uid) return ProbeClass{c.uid, c.name};
            return ProbeClass{uid, uid};
        };
        std::vector<ProbeClass> list;
        for (const char* uid : store::ACCEPTED_ABSTRACT_SYNTAXES) {
            const std::string_view text = uid;
            if (text.starts_with("1.2.840.10008.5.1.4.1.1.")) list.push_back(named(text));
        }
        for (const char* uid : MORE)
            list.push_back(named(uid));
        return list;
    }();
    return classes;
}

net::ConnectionSettings ProbeSettings(net::ConnectionSettings settings) {
    if (!settings.connectTimeout) settings.connectTimeout = PROBE_CONNECT_TIMEOUT;
    return settings;
}

ContextsProbe ProposeEach(const net::ConnectionSettings& peer,
                          const std::vector<SyntaxPair>& pairs) {
    ContextsProbe probe;
    probe.answers.resize(pairs.size());
    for (std::size_t first = 0; first < pairs.size(); first += net::MAX_PROPOSALS) {
        const std::size_t count = std::min(net::MAX_PROPOSALS, pairs.size() - first);
        std::vector<net::PresentationContextRQ> proposals;
        for (std::size_t i = first; i < first + count; ++i)
            proposals.push_back({0, pairs[i].abstractSyntax, {pairs[i].transferSyntax}});

        net::AssociationPtr assoc = OpenProbeAssociation(peer, {proposals}, true);
        const bool open = IsOpen(*assoc);
        const net::OpenOutcome outcome = assoc->opened.outcome;
        if (outcome != net::OpenOutcome::UnknownHost && outcome != net::OpenOutcome::UnknownPort)
            ++probe.associations;
        const bool answered = open || outcome == net::OpenOutcome::NothingAccepted;
        if (first == 0 || !answered) {
            probe.report = assoc->opened;
            probe.rejection = assoc->rejection;
            if (answered) probe.peer = assoc->answer.userInformation;
        }
        if (!answered) {
            probe.explanation = net::ExplainOpenFailure(*assoc);
            return probe;
        }
        // IDs are 1, 3, 5, ... in proposal order.
        for (const auto& pc : assoc->answer.contexts) {
            const std::size_t index = first + pc.id / 2u;
            if (pc.id % 2 == 0 || index >= first + count) continue;
            probe.answers[index] = {pc.result, pc.transferSyntax};
        }
        if (open) net::CloseAssoc(*assoc);
    }
    return probe;
}

PrinterStatus GetPrinterStatus(const net::ConnectionSettings& printerPeer) {
    PrinterStatus printer;
    net::AssociationPtr assoc = OpenProbeAssociation(
        printerPeer, net::ProposalFor(uid::BasicGrayscalePrintManagementMeta), true);
    if (!IsOpen(*assoc)) {
        printer.outcome = -4;
        printer.explanation = net::ExplainOpenFailure(*assoc);
        return printer;
    }
    net::CommandSet get =
        net::NGetRequest(uid::Printer, uid::PrinterInstance, net::NextMessageID());
    net::NResponse response = net::NExchange(*assoc, get, uid::Printer, nullptr, net::N_GET_RSP);
    printer.outcome = response.outcome;
    if (response.outcome != 0) {
        printer.explanation = response.outcome > 0 ? net::LastFailure() : std::string();
        if (printer.explanation.empty())
            printer.explanation = net::DescribeNOutcome(response, net::N_GET_RSP, "the printer");
    }
    printer.status = data::GetTagString(response.dataSet, tag::PrinterStatus);
    printer.statusInfo = data::GetTagString(response.dataSet, tag::PrinterStatusInfo);
    printer.name = data::GetTagString(response.dataSet, tag::PrinterName);
    printer.manufacturer = data::GetTagString(response.dataSet, tag::Manufacturer);
    printer.model = data::GetTagString(response.dataSet, tag::ManufacturerModelName);
    net::CloseAssoc(*assoc);
    return printer;
}

namespace probe {

Report Run(const Options& options, const SectionSink& onSection) {
    return Prober(options).Run(onSection);
}

}  // namespace probe

}  // namespace dicomlib::services
