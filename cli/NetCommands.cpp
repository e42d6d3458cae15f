// echo: the verification job of the service runner on the command line, with its log lines
// and its outcome line.
#include <cstdio>
#include <string>

#include "Commands.h"
#include "FrontEnd.h"
#include "zedavura.h"

namespace cli {

extern const Command EchoCommand;

namespace {

constexpr std::size_t AE_TITLE_LIMIT = 16;

int RunEcho(const Args& args) {
    const Command& self = EchoCommand;
    std::string host, port, calling, called = "ANY-SCP";
    int positional = 0;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--aet" || a == "--aec") {
            if (i + 1 == args.size()) return UsageError(self);
            (a == "--aet" ? calling : called) = args[++i];
        } else if (!a.empty() && a[0] == '-') {
            return UsageError(self);
        } else if (positional == 0) {
            host = a;
            ++positional;
        } else if (positional == 1) {
            port = a;
            ++positional;
        } else {
            return UsageError(self);
        }
    }
    if (positional != 2 || host.empty() || port.empty()) return UsageError(self);
    if (calling.size() > AE_TITLE_LIMIT || called.size() > AE_TITLE_LIMIT) {
        std::fprintf(stderr, "tessaly-cli: echo: an AE title holds at most 16 characters\n");
        return 2;
    }

    WriteLogLine("Starting ECHO Service");
    const bool ok = EchoSCU(host.c_str(), port.c_str(), calling.c_str(), called.c_str()) == 1;
    const std::string outcome = OutcomeLine("ECHO", ok, host, port, called);
    WriteLogLine(outcome.c_str());
    std::printf("%s\n", outcome.c_str());
    return ok ? 0 : 1;
}

}  // namespace

const Command EchoCommand = {"echo", "echo HOST PORT [--aet LOCAL] [--aec REMOTE]", RunEcho};

}  // namespace cli
