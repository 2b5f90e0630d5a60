// hxcli's command table.
#include <iterator>

#include "Command.h"

namespace hxcli {

namespace {

// In the order help lists them.
constexpr AddCommand kCommands[] = {
    AddListCommand,   AddBusCommand,   AddResetCommand, AddRegCommand, AddScanCommand,
    AddReadCommand,   AddConfigCommand, AddRateCommand, AddStreamCommand, AddBlockCommand,
    AddDacCommand,    AddIrqCommand,   AddBarCommand,   AddRunCommand, AddSourceCommand,
    AddFailCommand,
};

}  // namespace

std::vector<Command> AddCommands(CLI::App& app) {
    std::vector<Command> commands;
    commands.reserve(std::size(kCommands));
    for (const AddCommand add : kCommands) {
        Command command = add(app);
        if (command.cli != nullptr) commands.push_back(std::move(command));
    }
    return commands;
}

}  // namespace hxcli
