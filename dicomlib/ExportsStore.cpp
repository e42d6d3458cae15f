// Exported storage provider operations: thin wrappers over store/.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <string>

#include "ExportSettings.h"
#include "Guarded.h"
#include "store/DatabaseIndex.h"
#include "store/NServiceProvider.h"
#include "store/QueryProvider.h"
#include "store/Rddcmdir.h"
#include "store/RetrieveProvider.h"
#include "store/StoreScp.h"
#include "zedavura.h"

using namespace dicomlib;

namespace {

// How many associations listeners started from now on serve at once.
std::atomic<int32_t> gMaxAssociations{1};

std::optional<store::FaultSettings> FaultsOf(const ProviderFaults* faults) {
    store::FaultSettings settings;
    if (faults == nullptr) return settings;
    if (faults->structSize < sizeof(ProviderFaults)) return std::nullopt;
    for (uint32_t i = 0; faults->refused != nullptr && i < faults->refusedCount; ++i)
        if (faults->refused[i] != nullptr) settings.refused.emplace_back(faults->refused[i]);
    if (faults->rejectResult != 0)
        settings.reject =
            net::AssociateRJ{faults->rejectResult, faults->rejectSource, faults->rejectReason};
    for (uint32_t i = 0; faults->statuses != nullptr && i < faults->statusCount; ++i) {
        const ProviderStatusFault& f = faults->statuses[i];
        settings.statuses.push_back({f.commandField, f.status, f.every});
    }
    settings.delayMs = faults->delayMs;
    settings.abortAfter = faults->abortAfter;
    settings.closeAfter = faults->closeAfter;
    return settings;
}

// The event as the C record holds it; its texts live as long as the event.
void TellSink(ProviderEventSink sink, void* context, const store::ProviderEvent& e) {
    ProviderEvent record{};
    record.structSize = sizeof record;
    record.kind = static_cast<int32_t>(e.kind);
    record.association = e.association;
    record.timeMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(e.time.time_since_epoch()).count();
    record.peer = e.peer.c_str();
    record.callingAeTitle = e.callingAeTitle.c_str();
    record.calledAeTitle = e.calledAeTitle.c_str();
    record.contexts = e.contexts.c_str();
    record.tls = e.tls.c_str();
    record.identity = e.identity.c_str();
    record.rejection = e.rejection.c_str();
    record.command = e.command.c_str();
    record.sopClass = e.sopClass.c_str();
    record.transferSyntax = e.transferSyntax.c_str();
    record.bytes = e.bytes;
    record.status = e.status;
    record.statusWords = e.statusWords.c_str();
    record.milliseconds = e.milliseconds;
    record.messages = e.messages;
    record.ending = e.ending.c_str();
    record.fault = e.fault.c_str();
    sink(context, &record);
}

}  // namespace

extern "C" ZEDAVURA_API void SetStoreSCPMaxAssociations(int32_t count) {
    gMaxAssociations.store(std::clamp<int32_t>(count, 1, store::MAX_ASSOCIATIONS));
}

extern "C" ZEDAVURA_API void StartStoreSCP(const char* directory, const char* port) {
    if (directory == nullptr || port == nullptr) return;
    GuardedVoid("StartStoreSCP", [&] {
        store::StartStoreSCP(directory, port, store::INDEX_ROOT, gMaxAssociations.load());
    });
}

extern "C" ZEDAVURA_API void StartStoreSCPAcceptingAll(const char* directory, const char* port) {
    if (directory == nullptr || port == nullptr) return;
    GuardedVoid("StartStoreSCPAcceptingAll", [&] {
        store::StartStoreSCP(directory, port, store::INDEX_ROOT, gMaxAssociations.load(),
                             store::AcceptPolicy::Everything);
    });
}

extern "C" ZEDAVURA_API void StartStoreSCPWith(const char* directory,
                                               const ConnectionOptions* listener,
                                               uint8_t acceptAll) {
    const auto settings = SettingsOf(listener);
    if (directory == nullptr || !settings || settings->port.empty()) return;
    GuardedVoid("StartStoreSCPWith", [&] {
        store::StartStoreSCP(
            directory, settings->port, store::INDEX_ROOT, gMaxAssociations.load(),
            acceptAll != 0 ? store::AcceptPolicy::Everything : store::AcceptPolicy::Standard,
            *settings);
    });
}

// The observed provider, with the rows of the services asked for; false, the reason noted,
// when their options cannot be used.
static bool StartObserved(const char* directory, const ConnectionOptions* listener,
                          uint8_t acceptAll, const ProviderFaults* faults, ProviderEventSink sink,
                          void* context, const ProviderServices* services) {
    const auto settings = SettingsOf(listener);
    const auto faultSettings = FaultsOf(faults);
    if (directory == nullptr || !settings || settings->port.empty() || !faultSettings) {
        net::NoteFailure("no storage folder, no port, or options too small for this library");
        return false;
    }
    const store::StorageTarget target{store::StorageDirectoryOf(directory), store::INDEX_ROOT,
                                      false};
    store::ProviderProfile profile = store::ProfileFor(
        acceptAll != 0 ? store::AcceptPolicy::Everything : store::AcceptPolicy::Standard, target);
    if (services != nullptr) {
        auto text = [](const char* t) { return std::string(t != nullptr ? t : ""); };
        std::string why;
        store::ProviderOptions retrieve;
        retrieve.query = services->query != 0;
        retrieve.pending = services->pending;
        retrieve.listener = *settings;
        if (!text(services->nodesFile).empty()) {
            auto nodes = store::ReadNodesFile(text(services->nodesFile), why);
            if (!nodes) {
                net::NoteFailure(why +
                                 ": each line of the nodes file is \"AE HOST PORT\" (# "
                                 "starts a comment)");
                return false;
            }
            retrieve.nodes = std::move(*nodes);
        }
        store::AddRetrieveRows(profile, target, retrieve);
        store::QueryProviderOptions find;
        find.query = services->query != 0;
        find.worklistDirectory = text(services->worklistDirectory);
        find.pending = services->pending;
        store::AddQueryRows(profile, target, find);
        store::NServiceOptions nservices;
        nservices.commit = services->commit != 0;
        nservices.commitNewAssociation = services->commitNewAssociation != 0;
        nservices.nodes = retrieve.nodes;
        nservices.mppsDirectory = text(services->mppsDirectory);
        if (!store::AddNServiceRows(profile, nservices, target.storageDirectory, *settings, why)) {
            net::NoteFailure(why);
            return false;
        }
    }
    profile.faults = *faultSettings;
    if (sink != nullptr)
        profile.observer = [sink, context](const store::ProviderEvent& event) {
            TellSink(sink, context, event);
        };
    store::StartStoreSCP(std::move(profile), settings->port, gMaxAssociations.load(), *settings);
    return true;
}

extern "C" ZEDAVURA_API void StartStoreSCPObserved(const char* directory,
                                                   const ConnectionOptions* listener,
                                                   uint8_t acceptAll, const ProviderFaults* faults,
                                                   ProviderEventSink sink, void* context) {
    GuardedVoid("StartStoreSCPObserved", [&] {
        StartObserved(directory, listener, acceptAll, faults, sink, context, nullptr);
    });
}

extern "C" ZEDAVURA_API uint8_t StartStoreSCPServices(const char* directory,
                                                      const ConnectionOptions* listener,
                                                      uint8_t acceptAll,
                                                      const ProviderFaults* faults,
                                                      ProviderEventSink sink, void* context,
                                                      const ProviderServices* services) {
    return Guarded("StartStoreSCPServices", uint8_t{0}, [&] {
        net::NoteFailure({});
        if (services != nullptr && services->structSize < sizeof(ProviderServices)) {
            net::NoteFailure("the provider's service options are too small for this library");
            return uint8_t{0};
        }
        return static_cast<uint8_t>(
            StartObserved(directory, listener, acceptAll, faults, sink, context, services) ? 1 : 0);
    });
}

extern "C" ZEDAVURA_API uint8_t StoreSCPListening(const char* port) {
    if (port == nullptr) return 0;
    return Guarded("StoreSCPListening", uint8_t{0},
                   [&] { return static_cast<uint8_t>(store::StoreSCPListening(port) ? 1 : 0); });
}

extern "C" ZEDAVURA_API void StopStoreSCP(void) {
    GuardedVoid("StopStoreSCP", [] { store::StopStoreSCP(); });
}

extern "C" ZEDAVURA_API void SetShortDateFormat(const char* format) {
    GuardedVoid("SetShortDateFormat",
                [&] { store::SetShortDateFormat(format == nullptr ? "" : format); });
}

extern "C" ZEDAVURA_API int32_t ReadDCMDIRStatus(const char* fileName, ElementList* list) {
    if (fileName == nullptr || list == nullptr)
        return static_cast<int32_t>(store::DicomDirStatus::CannotOpen);
    return Guarded("ReadDCMDIR", static_cast<int32_t>(store::DicomDirStatus::CannotOpen),
                   [&] { return static_cast<int32_t>(store::ReadDCMDIR(fileName, *list)); });
}

extern "C" ZEDAVURA_API uint8_t ReadDCMDIR(const char* fileName, ElementList* list) {
    return ReadDCMDIRStatus(fileName, list) == DICOMDIR_READ ? 1 : 0;
}
