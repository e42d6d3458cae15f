#include "Commands.h"

namespace cli {

extern const Command DumpCommand;
extern const Command ConvertCommand;
extern const Command MetaCommand;
extern const Command EchoCommand;

const std::vector<Command>& AllCommands() {
    static const std::vector<Command> commands = {DumpCommand, ConvertCommand, MetaCommand,
                                                  EchoCommand};
    return commands;
}

}  // namespace cli
