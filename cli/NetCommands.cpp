// echo: the verification job of the service runner on the command line, with its log lines
// and its outcome line.
#include <cstdio>
#include <string>

#include "Commands.h"
#include "FrontEnd.h"
#include "NetOptions.h"
#include "zedavura.h"

namespace cli {

extern const Command EchoCommand;

namespace {

int RunEcho(const Args& args) {
    NetLine line;
    Args rest;
    if (const int bad = ParseNetLine(EchoCommand, args, {}, NetRole::Requestor, line, rest);
        bad != 0)
        return bad;
    if (!rest.empty()) return UsageError(EchoCommand);

    WriteLogLine("Starting ECHO Service");
    const ConnectionOptions options = line.Options();
    const bool ok = EchoSCUWith(&options) == 1;
    const std::string timeout = ok ? "" : TimeoutWords();
    const std::string outcome = timeout.empty()
                                    ? OutcomeLine("ECHO", ok, line.host, line.port, line.called)
                                    : "ECHO failed: " + timeout + ": " + line.Peer();
    WriteLogLine(outcome.c_str());
    std::printf("%s\n", outcome.c_str());
    if (const std::string why = ok ? "" : NetExplanationLine(); !why.empty()) {
        WriteLogLine(why.c_str());
        std::printf("%s\n", why.c_str());
    }
    WarnOfUnansweredRelease(EchoCommand.name);
    return ok ? 0 : 1;
}

}  // namespace

const Command EchoCommand = {
    "echo",
    "echo HOST PORT [--aet LOCAL] [--aec REMOTE] [--connect-timeout S] [--acse-timeout S] "
    "[--dimse-timeout S] [--max-pdu N]",
    RunEcho, REQUESTOR_SECURITY_USAGE};

}  // namespace cli
