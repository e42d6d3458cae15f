// What every network command of tessaly-cli takes the same way: HOST PORT, --aet and --aec, the
// waits (--connect-timeout, --acse-timeout, --dimse-timeout, --idle-timeout, in seconds) and
// --max-pdu; TLS (--tls with --tls-cert, --tls-key, --tls-key-password-file, --tls-ca,
// --tls-profile, and --tls-no-verify for a requestor or --tls-peer-cert for a listener); user
// identity (--user with --password-file, --user-jwt, --user-saml, --user-kerberos, --user-response;
// a listener's --require-user); and the words of a failure that a wait running out caused, naming
// its option.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "Commands.h"
#include "NetLine.h"
#include "zedavura.h"

namespace cli {

enum class NetRole {
    Requestor,  // HOST PORT first, then --aet and --aec
    Listener,   // no peer: PORT and the rest are the command's own
};

// Takes the shared options and, for a requestor, the first two arguments that are neither an
// option nor an option's value (valueOptions names the command's own options that take one).
// Everything else goes to rest, in order. 0 when the line is sound; otherwise the exit code,
// the problem already told on standard error (2: a usage error, a bad value, a title longer than
// 16 characters, a TLS option without --tls; 1: TLS files that cannot be used, why on the second
// line). With --tls the TLS context is made here, once for the whole command.
int ParseNetLine(const Command& self, const Args& args, const std::set<std::string>& valueOptions,
                 NetRole role, NetLine& line, Args& rest);

// The words of the thread's last failure when a wait ran out: "no C-FIND response within 30 s
// (--dimse-timeout)"; empty when it was no time-out, or only a release went unanswered.
std::string TimeoutWords();

// ExplanationLine, naming the option of the wait that ran out.
std::string NetExplanationLine();

// Tells on standard error when the peer left our release unanswered for its whole wait.
void WarnOfUnansweredRelease(const char* command);

}  // namespace cli
