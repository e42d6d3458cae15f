// The subcommands of tessaly-cli. Each takes the arguments after its own name and returns the
// process exit code: 0 done, 1 the operation failed, 2 the command line was wrong.
#pragma once

#include <string>
#include <vector>

namespace cli {

using Args = std::vector<std::string>;

struct Command {
    const char* name;
    const char* usage;  // the line printed for a usage error, after "usage: tessaly-cli "
    int (*run)(const Args& args);
    // A network command's TLS and user identity options, printed on a line of their own.
    const char* security = nullptr;
};

// The TLS and user identity options of every requestor, and those of the provider.
inline constexpr char REQUESTOR_SECURITY_USAGE[] =
    "[--tls [--tls-cert FILE --tls-key FILE [--tls-key-password-file FILE]] "
    "[--tls-ca FILE|DIR]... [--tls-no-verify] [--tls-profile bcp195-nd|bcp195|bcp195-ex]] "
    "[--user NAME [--password-file FILE] | --user-jwt FILE | --user-saml FILE | "
    "--user-kerberos FILE] [--user-response]";
inline constexpr char PROVIDER_SECURITY_USAGE[] =
    "[--tls --tls-cert FILE --tls-key FILE [--tls-key-password-file FILE] [--tls-ca FILE|DIR]... "
    "[--tls-peer-cert required|optional|ignore] [--tls-profile bcp195-nd|bcp195|bcp195-ex]] "
    "[--require-user FILE]";

// Every subcommand, in the order --help lists them.
const std::vector<Command>& AllCommands();

// The trace level given with --log-level (0 without a trace log).
int TraceLevel();

// Prints "usage: tessaly-cli <usage>" on standard error and returns 2.
int UsageError(const Command& command);

}  // namespace cli
