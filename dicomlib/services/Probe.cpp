#include "services/Probe.h"

#include <algorithm>
#include <optional>

#include "data/Tags.h"
#include "data/Uids.h"
#include "net/AssociationWords.h"
#include "net/StorageClasses.h"
#include "net/TraceLog.h"
#include "services/Print.h"

namespace dicomlib::services {

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
        for (const char* uid : net::ACCEPTED_ABSTRACT_SYNTAXES) {
            const std::string_view text = uid;
            if (text.starts_with("1.2.840.10008.5.1.4.1.1.")) list.push_back(named(text));
        }
        for (const char* uid : MORE)
            list.push_back(named(uid));
        return list;
    }();
    return classes;
}

ContextsProbe ProposeEach(std::string_view host, std::string_view port,
                          std::string_view callingAeTitle, std::string_view calledAeTitle,
                          const std::vector<SyntaxPair>& pairs) {
    ContextsProbe probe;
    probe.answers.resize(pairs.size());
    for (std::size_t first = 0; first < pairs.size(); first += net::MAX_PROPOSALS) {
        const std::size_t count = std::min(net::MAX_PROPOSALS, pairs.size() - first);
        std::vector<net::PresentationContextRQ> proposals;
        for (std::size_t i = first; i < first + count; ++i)
            proposals.push_back({0, pairs[i].abstractSyntax, {pairs[i].transferSyntax}});

        net::AssociationPtr assoc(new Association());
        assoc->messageDump = net::LogLevel() >= net::LOG_MESSAGES;
        assoc->stream.Socket().SetConnectTimeout(PROBE_CONNECT_TIMEOUT);
        std::string calling(callingAeTitle);
        const bool open =
            net::OpenAssocContexts(*assoc, host, port, calling, calledAeTitle, proposals);
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

PrinterStatus GetPrinterStatus(std::string_view host, std::string_view port,
                               std::string_view callingAeTitle, std::string_view calledAeTitle) {
    PrinterStatus printer;
    net::AssociationPtr assoc(new Association());
    assoc->messageDump = net::LogLevel() >= net::LOG_MESSAGES;
    assoc->stream.Socket().SetConnectTimeout(PROBE_CONNECT_TIMEOUT);
    std::string calling(callingAeTitle);
    if (!net::OpenAssoc(*assoc, host, port, calling, calledAeTitle,
                        uid::BasicGrayscalePrintManagementMeta, std::nullopt)) {
        printer.outcome = -4;
        printer.explanation = net::ExplainOpenFailure(*assoc);
        return printer;
    }
    net::CommandSet get =
        net::NGetRequest(uid::Printer, uid::PrinterInstance, net::NextMessageID());
    net::NResponse response = net::NExchange(*assoc, get, uid::Printer, nullptr, net::N_GET_RSP);
    printer.outcome = response.outcome;
    if (response.outcome != 0) {
        printer.explanation = response.outcome > 0
                                  ? net::LastFailure()
                                  : net::DescribeNOutcome(response, net::N_GET_RSP, "the printer");
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

}  // namespace dicomlib::services
