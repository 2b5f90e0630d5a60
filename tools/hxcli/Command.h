// What hxcli's subcommands share: exit codes, the command table's entry type and small helpers.
#pragma once

#include <CLI/CLI.hpp>

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace hxcli {

// Exit codes (the README lists them).
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;        // the library reported an error
inline constexpr int kExitUsage = 2;         // bad command line, or a bad HALVEX_SIM_BOARDS
inline constexpr int kExitNoInterrupt = 3;   // irq: a wait timed out, or a poll found none
inline constexpr int kExitIncomplete = 4;    // stream, block: samples lost or missing
inline constexpr int kExitOutput = 5;        // stream, block: an output file could not be written
inline constexpr int kExitInterrupted = 130; // stream, block: ended by Ctrl-C, the shell's code for it

// A subcommand's action; returns the exit code.
using Action = std::function<int()>;

// A subcommand added to one parse's command tree, and what to run when the parse chose it. The
// action owns the options the parse fills, so no value outlives its command line.
struct Command {
    CLI::App* cli = nullptr;
    Action action;
};

// Adds one subcommand (with its options) to `app`.
using AddCommand = Command (*)(CLI::App& app);

Command AddListCommand(CLI::App& app);
Command AddBusCommand(CLI::App& app);
Command AddResetCommand(CLI::App& app);
Command AddRegCommand(CLI::App& app);
Command AddScanCommand(CLI::App& app);
Command AddReadCommand(CLI::App& app);
Command AddConfigCommand(CLI::App& app);
Command AddRateCommand(CLI::App& app);
Command AddStreamCommand(CLI::App& app);
Command AddBlockCommand(CLI::App& app);
Command AddDacCommand(CLI::App& app);
Command AddIrqCommand(CLI::App& app);
Command AddBarCommand(CLI::App& app);
Command AddRunCommand(CLI::App& app);
Command AddSourceCommand(CLI::App& app);
Command AddFailCommand(CLI::App& app);

// Adds every subcommand this build has to `app`, in the order help lists them. A command of
// the simulated boards comes back with a null `cli` where there are none.
std::vector<Command> AddCommands(CLI::App& app);

// Prints "hxcli: <what> failed: <code> (<name>: <meaning>)" to stderr and returns kExitFailed.
int Fail(const std::string& what, DWORD code);
// The Windows name of a result code the library returns ("ERROR_INVALID_INDEX").
std::string ErrorName(DWORD code);
// Runs one command line (without the program name) in this process; returns its exit code.
int RunCommandLine(const std::string& line);
// Parses decimal or 0x-prefixed hexadecimal into an unsigned 32-bit value.
bool ParseU32(const std::string& text, uint32_t& value);

}  // namespace hxcli
