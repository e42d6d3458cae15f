#include "Commands.h"

namespace cli {

extern const Command DumpCommand;
extern const Command ConvertCommand;
extern const Command MetaCommand;
extern const Command EchoCommand;
extern const Command StoreCommand;
extern const Command ScpCommand;
extern const Command FindCommand;
extern const Command MoveCommand;
extern const Command GetCommand;
extern const Command WorklistCommand;
extern const Command DicomdirCommand;
extern const Command ThumbnailCommand;
extern const Command PrintCommand;
extern const Command EcgCommand;
extern const Command ProbeCommand;
extern const Command QidoCommand;
extern const Command WadoCommand;
extern const Command StowCommand;
extern const Command MppsCommand;
extern const Command CommitCommand;
extern const Command LoadCommand;

const std::vector<Command>& AllCommands() {
    static const std::vector<Command> commands = {
        DumpCommand, ConvertCommand, MetaCommand,     DicomdirCommand, ThumbnailCommand,
        EcgCommand,  EchoCommand,    StoreCommand,    ScpCommand,      FindCommand,
        MoveCommand, GetCommand,     WorklistCommand, PrintCommand,    ProbeCommand,
        QidoCommand, WadoCommand,    StowCommand,     MppsCommand,     CommitCommand,
        LoadCommand};
    return commands;
}

}  // namespace cli
