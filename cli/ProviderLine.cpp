#include "ProviderLine.h"

#include <cstdio>
#include <ctime>

namespace cli {

std::string ProviderEventLine(const ProviderEvent& e) {
    const std::time_t seconds = static_cast<std::time_t>(e.timeMs / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char time[16];
    std::strftime(time, sizeof time, "%H:%M:%S", &local);
    std::string line = std::string(time) + "." + std::to_string(1000 + e.timeMs % 1000).substr(1) +
                       " #" + std::to_string(e.association) + " ";
    if (e.kind == PROVIDER_ASSOCIATION) {
        line += std::string("association from ") + e.peer + ": " + e.callingAeTitle + " -> " +
                e.calledAeTitle;
        if (*e.rejection != '\0') {
            line += std::string(", rejected (") + e.rejection + ")";
        } else {
            line += std::string(", accepted: ") + (*e.contexts != '\0' ? e.contexts : "nothing");
            if (*e.tls != '\0') line += std::string("; TLS ") + e.tls;
            if (*e.identity != '\0') line += std::string("; ") + e.identity;
        }
    } else if (e.kind == PROVIDER_MESSAGE) {
        line += std::string(e.command) + " " + e.sopClass;
        if (*e.transferSyntax != '\0') line += std::string(", ") + e.transferSyntax;
        line += ", " + std::to_string(e.bytes) + " bytes: ";
        if (e.status >= 0) {
            char status[16];
            std::snprintf(status, sizeof status, "0x%04X", static_cast<unsigned>(e.status));
            line += std::string("status ") + status + " (" + e.statusWords + ")";
        } else {
            line += "no response";
        }
        line += ", " + std::to_string(e.milliseconds) + " ms";
    } else {
        line += "ended: " + std::to_string(e.messages) + " messages, " + std::to_string(e.bytes) +
                " bytes, " + e.ending;
    }
    if (*e.fault != '\0') line += std::string(" [fault: ") + e.fault + "]";
    return line;
}

}  // namespace cli
