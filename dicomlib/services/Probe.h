// What a peer accepts, found out without storing anything unless asked: one report of
// sections (connection, verification, storage table, query/retrieve keys, worklist, retrieve
// path, print, security, workflow), each with a verdict, the reason and what the operator can do,
// and rows for what the section looked at one by one. Presentation contexts are proposed one
// transfer syntax each, in as many associations as the limit of 128 contexts needs; every
// association is released at once. The words are the library's; drawing the report is the front
// ends' job.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "net/Association.h"

namespace dicomlib::services {

// A probe gives up on an address that does not answer after this long, where the platform would
// wait for minutes; the exported services keep the platform's time.
constexpr std::chrono::seconds PROBE_CONNECT_TIMEOUT{10};

// The storage SOP classes a probe proposes: the provider's own, then RT, SR, PDF, waveform,
// enhanced and multi-frame classes, each with the standard's name.
struct ProbeClass {
    std::string_view uid;
    std::string_view name;
};
const std::vector<ProbeClass>& ProbeStorageClasses();

struct SyntaxPair {
    std::string abstractSyntax;
    std::string transferSyntax;
};

// The peer's answer to one pair: its result (0 accepted, 1 to 4 refused), or -1 when the
// association that proposed it failed before an answer.
struct PairAnswer {
    int32_t result = -1;
    std::string transferSyntax;
};

struct ContextsProbe {
    std::vector<PairAnswer> answers;  // one per pair, in the pairs' order
    // The first association that failed in another way than refusing every context, or else
    // the first association.
    net::OpenReport report;
    net::AssociateRJ rejection;
    net::UserInformation peer;  // the peer's user information from the first answer
    std::string explanation;    // empty when every association was answered with an AC
    uint32_t associations = 0;  // connections opened
};

// Proposes every pair as a context of its own. A connection, rejection or abort failure stops
// the probe: the pairs not yet answered keep -1.
ContextsProbe ProposeEach(const net::ConnectionSettings& peer,
                          const std::vector<SyntaxPair>& pairs);

struct PrinterStatus {
    int32_t outcome = -1;    // the N-GET status, or an NFailure; -4 no association
    std::string status;      // Printer Status (2110,0010)
    std::string statusInfo;  // Printer Status Info (2110,0020)
    std::string name;        // Printer Name (2110,0030)
    std::string manufacturer, model;
    std::string explanation;  // why it failed, with what to do
};

// Opens an association for Basic Grayscale Print Management and asks the printer for its
// status; nothing is printed.
PrinterStatus GetPrinterStatus(const net::ConnectionSettings& printer);

// The settings a probe opens its associations with: the given ones, with PROBE_CONNECT_TIMEOUT
// unless they name a connect time-out of their own.
net::ConnectionSettings ProbeSettings(net::ConnectionSettings settings);

// The report of a whole probe, and the call that makes it.
namespace probe {

// The verdict of a section or row. "works" is never said of a section holding a failed or
// refused row.
enum class Verdict : int32_t { Works = 0, Refused = 1, NotOffered = 2, Failed = 3, NotTested = 4 };

struct Options {
    std::string host, port;
    std::string callingAeTitle;  // empty: the default title
    std::string calledAeTitle = "ANY-SCP";
    // Both given: the peer is asked to move one instance to moveDestination, which a provider
    // of ours receives on receivePort. Neither: the retrieve path is not tested. receivePort is
    // also where the commit of the store test's instance awaits the peer's report; without it
    // the report is awaited on our own association.
    std::string moveDestination, receivePort;
    // Given: one C-STORE of it; then the instance is fetched back with a C-GET and committed.
    std::filesystem::path storeTestFile;
    // Where the provider of the retrieve path files what it receives, in a folder of its own
    // that is removed afterwards; empty: the system's temporary folder.
    std::filesystem::path workFolder;
    // The waits and maximum PDU length of every association; its peer and titles are taken
    // from the fields above.
    net::ConnectionSettings connection;
};

struct Fact {
    std::string name, value;
};

struct SyntaxResult {
    std::string transferSyntax;
    int32_t result = -1;  // as PairAnswer
};

// reason: what works, or what went wrong; advice: what the operator can do about it (empty
// when there is nothing to do). Texts are Windows-1252, as the peer's values came.
struct Row {
    std::string item;  // what was looked at: a SOP class name, "STUDY level", "store test: ..."
    std::string uid;   // its SOP class UID, when it has one
    Verdict verdict = Verdict::Failed;
    std::string reason, advice;
    std::vector<SyntaxResult> syntaxes;  // storage classes: one per transfer syntax proposed
};

struct Section {
    std::string name;
    Verdict verdict = Verdict::Failed;
    std::string reason, advice;
    std::vector<Fact> facts;  // measured or reported values: timings, the peer's names
    std::vector<Row> rows;
};

struct Report {
    std::vector<Section> sections;
    uint32_t associations = 0;  // connections opened by the whole probe
};

// Told of each section as soon as it is finished, in report order.
using SectionSink = std::function<void(const Section& section)>;

// Runs the whole probe; the report always holds the nine sections, those between the
// connection and security, and the workflow, marked so after a failed connection. Nothing changes
// the process's working directory.
Report Run(const Options& options, const SectionSink& onSection = {});

}  // namespace probe

}  // namespace dicomlib::services
