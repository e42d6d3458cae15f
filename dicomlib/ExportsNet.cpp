// Exported trace and association operations: thin wrappers over net/.
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "ExportSettings.h"
#include "Guarded.h"
#include "net/Association.h"
#include "net/TraceLog.h"
#include "zedavura.h"

using namespace dicomlib;

extern "C" ZEDAVURA_API void SetLOG(const char* path, int32_t level) {
    GuardedVoid("SetLOG", [&] { net::SetLog(path == nullptr ? "" : path, level); });
}

extern "C" ZEDAVURA_API void WriteLogLine(const char* text) {
    GuardedVoid("WriteLogLine", [&] { net::WriteLogLine(text == nullptr ? "" : text); });
}

extern "C" ZEDAVURA_API Association* NewPDU(void) {
    return Guarded("NewPDU", static_cast<Association*>(nullptr),
                   [] { return net::NewAssociation(); });
}

extern "C" ZEDAVURA_API void DeletePDU(Association* assoc) {
    GuardedVoid("DeletePDU", [&] { net::DeleteAssociation(assoc); });
}

extern "C" ZEDAVURA_API uint8_t OpenAssoc(Association* assoc, const char* host, const char* port,
                                          char* callingAeTitle, const char* calledAeTitle,
                                          const char* abstractSyntax, const char* transferSyntax) {
    if (assoc == nullptr || host == nullptr || port == nullptr || abstractSyntax == nullptr)
        return 0;
    return Guarded("OpenAssoc", uint8_t{0}, [&] {
        std::string calling = callingAeTitle == nullptr ? "" : callingAeTitle;
        const bool defaulted = calling.empty();
        std::optional<std::string_view> syntax;
        if (transferSyntax != nullptr) syntax = transferSyntax;
        const bool open =
            net::OpenAssoc(*assoc, host, port, calling, calledAeTitle ? calledAeTitle : "",
                           abstractSyntax, syntax);
        // The caller's buffer holds at least 17 bytes: the default title and its NUL.
        if (defaulted && callingAeTitle != nullptr)
            std::memcpy(callingAeTitle, net::DEFAULT_CALLING_AE_TITLE,
                        sizeof net::DEFAULT_CALLING_AE_TITLE);
        return static_cast<uint8_t>(open ? 1 : 0);
    });
}

extern "C" ZEDAVURA_API uint8_t OpenAssocWith(Association* assoc, const ConnectionOptions* peer,
                                              const char* abstractSyntax,
                                              const char* transferSyntax) {
    const auto settings = SettingsOf(peer);
    if (assoc == nullptr || !settings || abstractSyntax == nullptr) return 0;
    return Guarded("OpenAssoc", uint8_t{0}, [&] {
        std::optional<std::string_view> syntax;
        if (transferSyntax != nullptr) syntax = transferSyntax;
        const bool open =
            net::OpenWith(*assoc, *settings, net::ProposalFor(abstractSyntax, syntax));
        return static_cast<uint8_t>(open ? 1 : 0);
    });
}

extern "C" ZEDAVURA_API int32_t LastTimeout(uint32_t* milliseconds, char* awaited,
                                            uint32_t capacity) {
    return Guarded("LastTimeout", int32_t{WAIT_NONE}, [&] {
        const net::TimeoutRecord& timeout = net::LastTimeout();
        if (milliseconds != nullptr) *milliseconds = static_cast<uint32_t>(timeout.length.count());
        CopyText(timeout.awaited, awaited, capacity);
        return static_cast<int32_t>(timeout.wait);
    });
}

extern "C" ZEDAVURA_API uint8_t SetMessageDump(Association* assoc, uint8_t on) {
    if (assoc == nullptr) return 0;
    assoc->messageDump = on != 0;
    return 1;
}

extern "C" ZEDAVURA_API uint8_t CloseAssoc(Association* assoc) {
    if (assoc == nullptr) return 0;
    return Guarded("CloseAssoc", uint8_t{0},
                   [&] { return static_cast<uint8_t>(net::CloseAssoc(*assoc) ? 1 : 0); });
}

extern "C" ZEDAVURA_API uint8_t CheckTlsOptions(const TlsOptions* tls, char* why,
                                                uint32_t capacity) {
    if (tls == nullptr) return 0;
    return Guarded("CheckTlsOptions", uint8_t{0}, [&] {
        const auto context = TlsContextOf(*tls);
        CopyText(context ? "" : context.GetError().detail, why, capacity);
        return static_cast<uint8_t>(context ? 1 : 0);
    });
}
