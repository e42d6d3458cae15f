#include "ExportSettings.h"

#include <algorithm>
#include <chrono>
#include <cstddef>

namespace dicomlib {
namespace {

using std::chrono::milliseconds;

constexpr std::size_t FIRST_VERSION_SIZE =
    offsetof(ConnectionOptions, maxPduLength) + sizeof(uint32_t);

std::string TextOr(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}

}  // namespace

std::optional<net::ConnectionSettings> SettingsOf(const ConnectionOptions* options) {
    if (options == nullptr || options->structSize < FIRST_VERSION_SIZE) return std::nullopt;
    net::ConnectionSettings settings =
        net::SettingsFor(TextOr(options->host), TextOr(options->port),
                         TextOr(options->callingAeTitle), TextOr(options->calledAeTitle));
    if (options->connectTimeoutMs != 0)
        settings.connectTimeout = milliseconds(options->connectTimeoutMs);
    if (options->acseTimeoutMs != 0) {
        settings.acseTimeout = milliseconds(options->acseTimeoutMs);
        settings.releaseTimeout = milliseconds(options->acseTimeoutMs);
    }
    if (options->dimseTimeoutMs != 0) settings.dimseTimeout = milliseconds(options->dimseTimeoutMs);
    if (options->idleTimeoutMs != 0) settings.idleTimeout = milliseconds(options->idleTimeoutMs);
    if (options->maxPduLength != 0)
        settings.maxPduLength = std::clamp(options->maxPduLength, net::SMALLEST_MAX_PDU_LENGTH,
                                           net::LARGEST_MAX_PDU_LENGTH);
    return settings;
}

}  // namespace dicomlib
