#include "Commands.h"

namespace cli {

extern const Command DumpCommand;
extern const Command ConvertCommand;
extern const Command MetaCommand;
extern const Command EchoCommand;
extern const Command StoreCommand;

const std::vector<Command>& AllCommands() {
    static const std::vector<Command> commands = {DumpCommand, ConvertCommand, MetaCommand,
                                                  EchoCommand, StoreCommand};
    return commands;
}

}  // namespace cli
