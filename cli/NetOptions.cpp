#include "NetOptions.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "FrontEnd.h"

namespace cli {
namespace {

constexpr std::size_t AE_TITLE_LIMIT = 16;
constexpr double LONGEST_WAIT_SECONDS = 86400;
constexpr long SMALLEST_MAX_PDU = 4096;
constexpr long LARGEST_MAX_PDU = 131072;

// Each wait's option, by WaitKind.
const char* WaitOption(int32_t wait) {
    switch (wait) {
        case WAIT_CONNECT:
            return "--connect-timeout";
        case WAIT_ACSE:
        case WAIT_RELEASE:
            return "--acse-timeout";
        case WAIT_DIMSE:
            return "--dimse-timeout";
        case WAIT_IDLE:
            return "--idle-timeout";
        default:
            return "";
    }
}

struct Timeout {
    int32_t wait = WAIT_NONE;
    uint32_t milliseconds = 0;
    std::string awaited;
};

Timeout LastWait() {
    Timeout t;
    char awaited[128] = "";
    t.wait = LastTimeout(&t.milliseconds, awaited, sizeof awaited);
    t.awaited = awaited;
    return t;
}

std::string Seconds(uint32_t milliseconds) {
    char text[32];
    if (milliseconds % 1000 == 0)
        std::snprintf(text, sizeof text, "%u s", milliseconds / 1000);
    else
        std::snprintf(text, sizeof text, "%.3g s", milliseconds / 1000.0);
    return text;
}

// A wait in seconds, more than 0 and at most a day; 0 when the text is no such number.
uint32_t WaitMilliseconds(const std::string& text) {
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(seconds > 0) || seconds > LONGEST_WAIT_SECONDS) return 0;
    return static_cast<uint32_t>(std::max(1.0, std::round(seconds * 1000)));
}

}  // namespace

std::string NetLine::Peer() const {
    return called + " (" + host + ":" + port + ")";
}

ConnectionOptions NetLine::Options() const {
    ConnectionOptions o{};
    o.structSize = sizeof o;
    o.host = host.c_str();
    o.port = port.c_str();
    o.callingAeTitle = calling.c_str();
    o.calledAeTitle = called.c_str();
    o.connectTimeoutMs = connectMs;
    o.acseTimeoutMs = acseMs;
    o.dimseTimeoutMs = dimseMs;
    o.idleTimeoutMs = idleMs;
    o.maxPduLength = maxPdu;
    return o;
}

int ParseNetLine(const Command& self, const Args& args, const std::set<std::string>& valueOptions,
                 NetRole role, NetLine& line, Args& rest) {
    // A requestor connects and awaits responses; a listener awaits requests.
    struct WaitOptionRow {
        const char* name;
        uint32_t NetLine::*target;
        bool requestor, listener;
    };
    static constexpr WaitOptionRow WAITS[] = {
        {"--connect-timeout", &NetLine::connectMs, true, false},
        {"--acse-timeout", &NetLine::acseMs, true, true},
        {"--dimse-timeout", &NetLine::dimseMs, true, false},
        {"--idle-timeout", &NetLine::idleMs, false, true}};
    const bool requestor = role == NetRole::Requestor;
    int positional = 0;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const WaitOptionRow* wait = nullptr;
        for (const WaitOptionRow& row : WAITS)
            if (a == row.name && (requestor ? row.requestor : row.listener)) wait = &row;
        const bool title = requestor && (a == "--aet" || a == "--aec");
        if (wait != nullptr || title || a == "--max-pdu") {
            if (i + 1 == args.size()) return UsageError(self);
            const std::string& value = args[++i];
            if (title) {
                (a == "--aet" ? line.calling : line.called) = value;
            } else if (wait != nullptr) {
                line.*(wait->target) = WaitMilliseconds(value);
                if (line.*(wait->target) == 0) {
                    std::fprintf(stderr,
                                 "tessaly-cli: %s: %s takes a number of seconds above 0 and at "
                                 "most 86400, not '%s'\n",
                                 self.name, a.c_str(), value.c_str());
                    return 2;
                }
            } else {
                char* end = nullptr;
                const long n = std::strtol(value.c_str(), &end, 10);
                if (value.empty() || *end != '\0' || n < SMALLEST_MAX_PDU || n > LARGEST_MAX_PDU) {
                    std::fprintf(stderr,
                                 "tessaly-cli: %s: --max-pdu takes a number of bytes from %ld to "
                                 "%ld, not '%s'\n",
                                 self.name, SMALLEST_MAX_PDU, LARGEST_MAX_PDU, value.c_str());
                    return 2;
                }
                line.maxPdu = static_cast<uint32_t>(n);
            }
        } else if (valueOptions.count(a) != 0) {
            rest.push_back(a);
            if (i + 1 == args.size()) return UsageError(self);
            rest.push_back(args[++i]);
        } else if (requestor && positional < 2 && !a.empty() && a[0] != '-') {
            (positional++ == 0 ? line.host : line.port) = a;
        } else {
            rest.push_back(a);
        }
    }
    if (requestor && (positional != 2 || line.host.empty() || line.port.empty()))
        return UsageError(self);
    if (line.calling.size() > AE_TITLE_LIMIT || line.called.size() > AE_TITLE_LIMIT) {
        std::fprintf(stderr, "tessaly-cli: %s: an AE title holds at most 16 characters\n",
                     self.name);
        return 2;
    }
    return 0;
}

std::string TimeoutWords() {
    const Timeout t = LastWait();
    if (t.wait == WAIT_NONE || t.wait == WAIT_RELEASE) return {};
    return t.awaited + " within " + Seconds(t.milliseconds) + " (" + WaitOption(t.wait) + ")";
}

std::string NetExplanationLine() {
    std::string line = ExplanationLine();
    const Timeout t = LastWait();
    if (!line.empty() && t.wait != WAIT_NONE && t.wait != WAIT_RELEASE)
        line += std::string(" (") + WaitOption(t.wait) + ")";
    return line;
}

void WarnOfUnansweredRelease(const char* command) {
    const Timeout t = LastWait();
    if (t.wait != WAIT_RELEASE) return;
    std::fprintf(stderr,
                 "tessaly-cli: %s: warning: %s within %s (--acse-timeout): the connection was "
                 "closed\n",
                 command, t.awaited.c_str(), Seconds(t.milliseconds).c_str());
}

}  // namespace cli
