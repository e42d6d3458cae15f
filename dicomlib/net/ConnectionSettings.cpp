#include "net/ConnectionSettings.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "net/Dimse.h"

namespace dicomlib::net {

ConnectionSettings SettingsFor(std::string host, std::string port, std::string callingAeTitle,
                               std::string calledAeTitle) {
    ConnectionSettings settings;
    settings.host = std::move(host);
    settings.port = std::move(port);
    settings.callingAeTitle = std::move(callingAeTitle);
    settings.calledAeTitle = std::move(calledAeTitle);
    return settings;
}

ConnectionSettings OutgoingSettings(const ConnectionSettings& listener, std::string host,
                                    std::string port, std::string callingAeTitle,
                                    std::string calledAeTitle) {
    ConnectionSettings settings = SettingsFor(std::move(host), std::move(port),
                                              std::move(callingAeTitle), std::move(calledAeTitle));
    settings.transport = listener.transport;
    settings.connectTimeout = listener.connectTimeout;
    settings.acseTimeout = listener.acseTimeout;
    settings.dimseTimeout = listener.dimseTimeout;
    settings.maxPduLength = listener.maxPduLength;
    return settings;
}

std::size_t FragmentSizeFor(uint32_t peerMaximumLength) {
    // The PDU length counts the PDV item's length field, context ID and control header.
    constexpr uint32_t PDV_OVERHEAD = 6;
    if (peerMaximumLength == 0) return FRAGMENT_SIZE;
    if (peerMaximumLength <= PDV_OVERHEAD) return 1;
    return std::min<std::size_t>(FRAGMENT_SIZE, peerMaximumLength - PDV_OVERHEAD);
}

std::string WaitLength(std::chrono::milliseconds length) {
    const auto ms = length.count();
    char text[32];
    if (ms % 1000 == 0)
        std::snprintf(text, sizeof text, "%lld s", static_cast<long long>(ms / 1000));
    else
        std::snprintf(text, sizeof text, "%.3g s", static_cast<double>(ms) / 1000.0);
    return text;
}

}  // namespace dicomlib::net
