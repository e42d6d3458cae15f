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
};

// Every subcommand, in the order --help lists them.
const std::vector<Command>& AllCommands();

// The trace level given with --log-level (0 without a trace log).
int TraceLevel();

// Prints "usage: tessaly-cli <usage>" on standard error and returns 2.
int UsageError(const Command& command);

}  // namespace cli
