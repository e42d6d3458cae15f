// Exported storage provider operations: thin wrappers over store/.
#include <algorithm>
#include <atomic>

#include "ExportSettings.h"
#include "Guarded.h"
#include "store/DatabaseIndex.h"
#include "store/Rddcmdir.h"
#include "store/StoreScp.h"
#include "zedavura.h"

using namespace dicomlib;

namespace {

// How many associations listeners started from now on serve at once.
std::atomic<int32_t> gMaxAssociations{1};

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
