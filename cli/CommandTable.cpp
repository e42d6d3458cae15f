#include "Commands.h"

namespace cli {

extern const Command DumpCommand;
extern const Command ConvertCommand;
extern const Command MetaCommand;

const std::vector<Command>& AllCommands() {
    static const std::vector<Command> commands = {DumpCommand, ConvertCommand, MetaCommand};
    return commands;
}

}  // namespace cli
