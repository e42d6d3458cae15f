// Exported probing operations: thin wrappers over services/Probe and the thread's last failure.
// A report crosses as records that point into the library's own copy of each section.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ExportSettings.h"
#include "Guarded.h"
#include "ProbeRecords.h"
#include "net/Association.h"
#include "services/Probe.h"
#include "zedavura.h"

using namespace dicomlib;

namespace {

constexpr bool Mirrors(ProbeVerdict exported, services::probe::Verdict core) {
    return static_cast<int32_t>(exported) == static_cast<int32_t>(core);
}
static_assert(Mirrors(PROBE_WORKS, services::probe::Verdict::Works));
static_assert(Mirrors(PROBE_REFUSED, services::probe::Verdict::Refused));
static_assert(Mirrors(PROBE_NOT_OFFERED, services::probe::Verdict::NotOffered));
static_assert(Mirrors(PROBE_FAILED, services::probe::Verdict::Failed));
static_assert(Mirrors(PROBE_NOT_TESTED, services::probe::Verdict::NotTested));

std::string ProbeText(const char* text, const char* fallback = "") {
    return text != nullptr ? text : fallback;
}

template <std::size_t N>
void Fill(char (&field)[N], std::string_view text) {
    CopyText(text, field, N);
}

int32_t OutcomeCode(net::OpenOutcome outcome) {
    switch (outcome) {
        case net::OpenOutcome::NotOpened:
        case net::OpenOutcome::Accepted:
            return ASSOCIATION_ACCEPTED;
        case net::OpenOutcome::UnknownHost:
            return ASSOCIATION_UNKNOWN_HOST;
        case net::OpenOutcome::UnknownPort:
            return ASSOCIATION_UNKNOWN_PORT;
        case net::OpenOutcome::ConnectFailed:
            return ASSOCIATION_NO_CONNECTION;
        case net::OpenOutcome::TlsFailed:
            return ASSOCIATION_TLS_FAILED;
        case net::OpenOutcome::IdentityNotConfirmed:
            return ASSOCIATION_IDENTITY_NOT_CONFIRMED;
        case net::OpenOutcome::SendFailed:
            return ASSOCIATION_SEND_FAILED;
        case net::OpenOutcome::Rejected:
            return ASSOCIATION_REJECTED;
        case net::OpenOutcome::Aborted:
            return ASSOCIATION_ABORTED;
        case net::OpenOutcome::Closed:
            return ASSOCIATION_CLOSED;
        case net::OpenOutcome::MalformedAnswer:
            return ASSOCIATION_MALFORMED_ANSWER;
        case net::OpenOutcome::NothingAccepted:
            return ASSOCIATION_NOTHING_ACCEPTED;
    }
    return ASSOCIATION_MALFORMED_ANSWER;
}

uint32_t Micros(std::chrono::microseconds time) {
    return static_cast<uint32_t>(std::min<long long>(time.count(), UINT32_MAX));
}

}  // namespace

extern "C" ZEDAVURA_API ProbeReport* RunProbe(const ProbeOptions* options, ProbeSectionSink sink,
                                              void* context) {
    // Callers compiled before the connection field keep its default.
    constexpr std::size_t FIRST_PROBE_OPTIONS_SIZE = offsetof(ProbeOptions, connection);
    if (options == nullptr || options->structSize < FIRST_PROBE_OPTIONS_SIZE ||
        options->host == nullptr || options->port == nullptr)
        return nullptr;
    const bool hasConnection =
        options->structSize >= offsetof(ProbeOptions, connection) + sizeof(options->connection);
    const auto connection = hasConnection && options->connection != nullptr
                                ? SettingsOf(options->connection)
                                : std::optional<net::ConnectionSettings>();
    return Guarded("RunProbe", static_cast<ProbeReport*>(nullptr), [&] {
        services::probe::Options o;
        o.host = options->host;
        o.port = options->port;
        o.callingAeTitle = ProbeText(options->callingAeTitle);
        o.calledAeTitle = ProbeText(options->calledAeTitle, "ANY-SCP");
        o.moveDestination = ProbeText(options->moveDestination);
        o.receivePort = ProbeText(options->receivePort);
        o.storeTestFile = ProbeText(options->storeTestFile);
        o.workFolder = ProbeText(options->workFolder);
        if (connection) o.connection = *connection;
        auto report = std::make_unique<ProbeReport>();
        const services::probe::Report done =
            services::probe::Run(o, [&](const services::probe::Section& section) {
                report->sections.push_back(std::make_unique<SectionRecords>(section));
                if (sink != nullptr) sink(context, &report->sections.back()->record);
            });
        report->associations = done.associations;
        return report.release();
    });
}

extern "C" ZEDAVURA_API uint32_t ProbeSectionCount(const ProbeReport* report) {
    return report == nullptr ? 0 : static_cast<uint32_t>(report->sections.size());
}

extern "C" ZEDAVURA_API const ProbeSectionRecord* ProbeSectionAt(const ProbeReport* report,
                                                                 uint32_t index) {
    if (report == nullptr || index >= report->sections.size()) return nullptr;
    return &report->sections[index]->record;
}

extern "C" ZEDAVURA_API uint32_t ProbeAssociationCount(const ProbeReport* report) {
    return report == nullptr ? 0 : report->associations;
}

extern "C" ZEDAVURA_API void DeleteProbeReport(ProbeReport* report) {
    delete report;
}

extern "C" ZEDAVURA_API int32_t ProposeContexts(const char* host, const char* port,
                                                const char* callingAeTitle,
                                                const char* calledAeTitle,
                                                const ContextProposal* proposals, uint32_t count,
                                                ContextAnswer* answers, AssociationReport* report) {
    if (host == nullptr || port == nullptr ||
        (count > 0 && (proposals == nullptr || answers == nullptr)))
        return ASSOCIATION_UNKNOWN_HOST;
    return Guarded("ProposeContexts", int32_t{ASSOCIATION_MALFORMED_ANSWER}, [&] {
        std::vector<services::SyntaxPair> pairs;
        for (uint32_t i = 0; i < count; ++i)
            pairs.push_back({proposals[i].abstractSyntax ? proposals[i].abstractSyntax : "",
                             proposals[i].transferSyntax ? proposals[i].transferSyntax : ""});
        const services::ContextsProbe probe = services::ProposeEach(
            net::SettingsFor(host, port, ProbeText(callingAeTitle), ProbeText(calledAeTitle)),
            pairs);
        for (uint32_t i = 0; i < count; ++i) {
            answers[i].result = probe.answers[i].result;
            Fill(answers[i].transferSyntax, probe.answers[i].transferSyntax);
        }
        int32_t outcome = OutcomeCode(probe.report.outcome);
        // Every association answered, none accepting anything.
        if (probe.explanation.empty() && outcome == ASSOCIATION_NOTHING_ACCEPTED) outcome = 0;
        bool any = false;
        for (const auto& a : probe.answers)
            any = any || a.result == 0;
        if (probe.explanation.empty() && !any && count > 0) outcome = ASSOCIATION_NOTHING_ACCEPTED;
        if (report != nullptr) {
            *report = AssociationReport{};
            report->outcome = outcome;
            report->rejectResult = probe.rejection.result;
            report->rejectSource = probe.rejection.source;
            report->rejectReason = probe.rejection.reason;
            report->abortSource = probe.report.abort.source;
            report->abortReason = probe.report.abort.reason;
            if (probe.report.outcome != net::OpenOutcome::Aborted)
                report->abortSource = report->abortReason = 0;
            report->socketError = probe.report.socketError;
            report->associations = probe.associations;
            report->lookupMicroseconds = Micros(probe.report.lookupTime);
            report->connectMicroseconds = Micros(probe.report.connectTime);
            report->negotiationMicroseconds = Micros(probe.report.negotiationTime);
            report->peerMaximumLength = probe.peer.maximumLength;
            Fill(report->peerImplementationClassUid, probe.peer.implementationClassUid);
            Fill(report->peerImplementationVersionName, probe.peer.implementationVersionName);
            Fill(report->explanation, probe.explanation);
        }
        return outcome;
    });
}

extern "C" ZEDAVURA_API int32_t GetPrinterInfo(const char* host, const char* port,
                                               const char* callingAeTitle,
                                               const char* calledAeTitle, PrinterInfo* info) {
    if (host == nullptr || port == nullptr) return -4;
    return Guarded("GetPrinterInfo", int32_t{-4}, [&] {
        const services::PrinterStatus printer = services::GetPrinterStatus(
            net::SettingsFor(host, port, ProbeText(callingAeTitle), ProbeText(calledAeTitle)));
        if (info != nullptr) {
            *info = PrinterInfo{};
            Fill(info->status, printer.status);
            Fill(info->statusInfo, printer.statusInfo);
            Fill(info->name, printer.name);
            Fill(info->manufacturer, printer.manufacturer);
            Fill(info->model, printer.model);
            Fill(info->explanation, printer.explanation);
        }
        return printer.outcome;
    });
}

extern "C" ZEDAVURA_API int32_t LastFailureText(char* text, uint32_t capacity) {
    return Guarded("LastFailureText", int32_t{0},
                   [&] { return CopyText(net::LastFailure(), text, capacity); });
}

extern "C" ZEDAVURA_API const char* ProbeStorageClassAt(uint32_t index, const char** name) {
    return Guarded("ProbeStorageClassAt", static_cast<const char*>(nullptr), [&] {
        const auto& classes = services::ProbeStorageClasses();
        if (index >= classes.size()) return static_cast<const char*>(nullptr);
        // Both texts come from constant tables that end in a NUL.
        if (name != nullptr) *name = classes[index].name.data();
        return classes[index].uid.data();
    });
}
