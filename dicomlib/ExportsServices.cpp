// Exported verification operations: thin wrappers over services/.
#include "Guarded.h"
#include "services/Verification.h"
#include "zedavura.h"

using namespace dicomlib;

extern "C" ZEDAVURA_API uint8_t EchoSCU(const char* host, const char* port,
                                        const char* callingAeTitle, const char* calledAeTitle) {
    if (host == nullptr || port == nullptr) return 0;
    return Guarded("EchoSCU", uint8_t{0}, [&] {
        const bool ok = services::EchoSCU(host, port, callingAeTitle ? callingAeTitle : "",
                                          calledAeTitle ? calledAeTitle : "");
        return static_cast<uint8_t>(ok ? 1 : 0);
    });
}

extern "C" ZEDAVURA_API uint8_t WriteEchoRQ(Association* assoc, const char* sopClassUid) {
    if (assoc == nullptr || sopClassUid == nullptr) return 0;
    return Guarded("WriteEchoRQ", uint8_t{0}, [&] {
        return static_cast<uint8_t>(services::WriteEchoRQ(*assoc, sopClassUid) ? 1 : 0);
    });
}

extern "C" ZEDAVURA_API uint8_t ReadEchoRSP(Association* assoc) {
    if (assoc == nullptr) return 0;
    return Guarded("ReadEchoRSP", uint8_t{0},
                   [&] { return static_cast<uint8_t>(services::ReadEchoRSP(*assoc) ? 1 : 0); });
}
