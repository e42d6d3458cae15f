#include "Commands.h"

namespace cli {

const std::vector<Command>& AllCommands() {
    static const std::vector<Command> commands = {};
    return commands;
}

}  // namespace cli
