// What a peer accepts, found out without storing anything: presentation contexts proposed one
// transfer syntax each, in as many associations as the limit of 128 contexts needs, and the
// printer's own status from an N-GET. Each association is released at once.
#pragma once

#include <chrono>
#include <cstdint>
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
ContextsProbe ProposeEach(std::string_view host, std::string_view port,
                          std::string_view callingAeTitle, std::string_view calledAeTitle,
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
PrinterStatus GetPrinterStatus(std::string_view host, std::string_view port,
                               std::string_view callingAeTitle, std::string_view calledAeTitle);

}  // namespace dicomlib::services
