// tessaly-cli: the command-line front end of TESSALY. Global options come before the
// subcommand; everything else belongs to the subcommand.
#include <cstdio>
#include <cstring>
#include <string>

#include "Commands.h"
#include "zedavura.h"

namespace cli {

int UsageError(const Command& command) {
    std::fprintf(stderr, "usage: tessaly-cli %s\n", command.usage);
    return 2;
}

}  // namespace cli

namespace {

void PrintHelp() {
    std::printf("tessaly-cli: DICOM connectivity tester (ZEDAVURA %s)\n\n", Version());
    std::printf("usage: tessaly-cli [--version] [--help] COMMAND [ARGS]\n\ncommands:\n");
    for (const auto& command : cli::AllCommands())
        std::printf("  %s\n", command.usage);
}

}  // namespace

int main(int argc, char** argv) {
    cli::Args args(argv + 1, argv + argc);
    if (args.empty()) {
        PrintHelp();
        return 2;
    }
    if (args[0] == "--version") {
        std::printf("%s\n", Version());
        return 0;
    }
    if (args[0] == "--help" || args[0] == "-h") {
        PrintHelp();
        return 0;
    }
    for (const auto& command : cli::AllCommands()) {
        if (args[0] == command.name) return command.run(cli::Args(args.begin() + 1, args.end()));
    }
    std::fprintf(stderr, "tessaly-cli: unknown command '%s' (see tessaly-cli --help)\n",
                 args[0].c_str());
    return 2;
}
