// Exported storage provider operations: thin wrappers over store/.
#include "Guarded.h"
#include "store/DatabaseIndex.h"
#include "store/StoreScp.h"
#include "zedavura.h"

using namespace dicomlib;

extern "C" ZEDAVURA_API void StartStoreSCP(const char* directory, const char* port) {
    if (directory == nullptr || port == nullptr) return;
    GuardedVoid("StartStoreSCP", [&] { store::StartStoreSCP(directory, port); });
}

extern "C" ZEDAVURA_API void StartStoreSCPAcceptingAll(const char* directory, const char* port) {
    if (directory == nullptr || port == nullptr) return;
    GuardedVoid("StartStoreSCPAcceptingAll", [&] {
        store::StartStoreSCP(directory, port, store::INDEX_ROOT, net::AcceptPolicy::Everything);
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
