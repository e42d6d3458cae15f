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

std::size_t FragmentSizeFor(uint32_t peerMaximumLength) {
    // The PDU length counts the PDV item's length field, context ID and control header.
    constexpr uint32_t PDV_OVERHEAD = 6;
    const std::size_t longest = peerMaximumLength == 0
                                    ? MAX_SENT_PDU_LENGTH
                                    : std::min<std::size_t>(MAX_SENT_PDU_LENGTH, peerMaximumLength);
    if (longest <= PDV_OVERHEAD) return 1;
    return longest - PDV_OVERHEAD;
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
