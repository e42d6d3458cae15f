// Exported verification and storage operations: thin wrappers over services/.
#include <optional>
#include <string_view>

#include "ExportSettings.h"
#include "Guarded.h"
#include "net/CommandSet.h"
#include "services/Storage.h"
#include "services/Verification.h"
#include "store/DatabaseIndex.h"
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

extern "C" ZEDAVURA_API uint8_t EchoSCUWith(const ConnectionOptions* peer) {
    const auto settings = SettingsOf(peer);
    if (!settings) return 0;
    return Guarded("EchoSCU", uint8_t{0},
                   [&] { return static_cast<uint8_t>(services::EchoSCU(*settings) ? 1 : 0); });
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

namespace {

std::string_view ServiceText(const char* text) {
    return text != nullptr ? std::string_view(text) : std::string_view();
}

// Null means no preferred syntax; "" is a preferred syntax too (an empty sub-item).
std::optional<std::string_view> OptionalText(const char* text) {
    if (text == nullptr) return std::nullopt;
    return std::string_view(text);
}

// Each file of a series handed to the caller's sink (none for null).
services::SeriesProgress SeriesReport(StoreProgressSink progress, void* context) {
    if (progress == nullptr) return {};
    return [progress, context](std::size_t index, std::size_t count,
                               const std::filesystem::path& file, int32_t outcome) {
        progress(context, static_cast<int32_t>(index), static_cast<int32_t>(count), file.c_str(),
                 outcome);
    };
}

}  // namespace

extern "C" ZEDAVURA_API int32_t StoreSCUStatus(const char* host, const char* port,
                                               const char* callingAeTitle,
                                               const char* calledAeTitle, const char* fileName,
                                               const char* preferredSyntax, uint8_t convert) {
    if (host == nullptr || port == nullptr || fileName == nullptr)
        return services::STORE_NO_CONNECTION;
    return Guarded("StoreSCU", int32_t{services::STORE_INTERNAL_ERROR}, [&] {
        return services::StoreFile(host, port, ServiceText(callingAeTitle),
                                   ServiceText(calledAeTitle), fileName,
                                   OptionalText(preferredSyntax), convert != 0);
    });
}

extern "C" ZEDAVURA_API int32_t StoreSCUWith(const ConnectionOptions* peer, const char* fileName,
                                             const char* preferredSyntax, uint8_t convert) {
    const auto settings = SettingsOf(peer);
    if (!settings || fileName == nullptr) return services::STORE_NO_CONNECTION;
    return Guarded("StoreSCU", int32_t{services::STORE_INTERNAL_ERROR}, [&] {
        return services::StoreFile(*settings, fileName, OptionalText(preferredSyntax),
                                   convert != 0);
    });
}

extern "C" ZEDAVURA_API uint8_t StoreSCU(const char* host, const char* port,
                                         const char* callingAeTitle, const char* calledAeTitle,
                                         const char* fileName, const char* preferredSyntax,
                                         uint8_t convert) {
    const int32_t status = StoreSCUStatus(host, port, callingAeTitle, calledAeTitle, fileName,
                                          preferredSyntax, convert);
    return static_cast<uint8_t>(status == net::STATUS_SUCCESS ? 1 : 0);
}

extern "C" ZEDAVURA_API uint8_t WriteStoreRQ(Association* assoc, ElementList* dataSet,
                                             const char* sopClassUid, const char* currentSyntax,
                                             uint8_t convert) {
    if (assoc == nullptr || dataSet == nullptr || sopClassUid == nullptr ||
        currentSyntax == nullptr)
        return 0;
    return Guarded("WriteStoreRQ", uint8_t{0}, [&] {
        const bool sent =
            services::WriteStoreRQ(*assoc, *dataSet, sopClassUid, currentSyntax, convert != 0);
        return static_cast<uint8_t>(sent ? 1 : 0);
    });
}

extern "C" ZEDAVURA_API int32_t ReadStoreRSP(Association* assoc) {
    if (assoc == nullptr) return services::STORE_NO_RESPONSE;
    return Guarded("ReadStoreRSP", int32_t{services::STORE_NO_RESPONSE},
                   [&] { return services::ReadStoreRSP(*assoc); });
}

extern "C" ZEDAVURA_API int32_t SendSeriesWithProgress(const char* host, const char* port,
                                                       const char* callingAeTitle,
                                                       const char* calledAeTitle,
                                                       const char* directory,
                                                       const char* preferredSyntax, uint8_t convert,
                                                       StoreProgressSink progress, void* context) {
    if (host == nullptr || port == nullptr || directory == nullptr) return services::STORE_NO_FILES;
    return Guarded("SendSeries", int32_t{services::STORE_INTERNAL_ERROR}, [&] {
        return services::SendSeriesStatus(
            host, port, ServiceText(callingAeTitle), ServiceText(calledAeTitle), directory,
            OptionalText(preferredSyntax), convert != 0, SeriesReport(progress, context));
    });
}

extern "C" ZEDAVURA_API int32_t SendSeriesWith(const ConnectionOptions* peer, const char* directory,
                                               const char* preferredSyntax, uint8_t convert,
                                               StoreProgressSink progress, void* context) {
    const auto settings = SettingsOf(peer);
    if (!settings) return services::STORE_NO_CONNECTION;
    if (directory == nullptr) return services::STORE_NO_FILES;
    return Guarded("SendSeries", int32_t{services::STORE_INTERNAL_ERROR}, [&] {
        return services::SendSeriesStatus(*settings, directory, OptionalText(preferredSyntax),
                                          convert != 0, SeriesReport(progress, context));
    });
}

extern "C" ZEDAVURA_API int32_t SendSeries(const char* host, const char* port,
                                           const char* callingAeTitle, const char* calledAeTitle,
                                           const char* directory, const char* preferredSyntax,
                                           uint8_t convert) {
    const int32_t outcome =
        SendSeriesWithProgress(host, port, callingAeTitle, calledAeTitle, directory,
                               preferredSyntax, convert, nullptr, nullptr);
    return outcome == net::STATUS_SUCCESS ? 1 : 0;
}
