// hxcli's subcommands: each source file registers its own with a static Registration.
#pragma once

#include <CLI/CLI.hpp>

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace hxcli {

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // the library reported an error
inline constexpr int kExitUsage = 2;   // bad command line

// A subcommand's action; returns the exit code.
using Action = std::function<int()>;

struct Registration {
    // `setup` adds the subcommand to `app` and returns the action to run when it was chosen.
    Registration(int order, std::function<void(CLI::App& app, Action& action)> setup);
};

// Runs every registered setup, in `order`.
void SetUpCommands(CLI::App& app, std::vector<std::pair<CLI::App*, Action>>& actions);

// Prints "hxcli: <what> failed: <code> (<name>)" to stderr and returns kExitFailed.
int Fail(const std::string& what, DWORD code);
// The Windows name of a result code the library returns ("ERROR_INVALID_INDEX").
std::string ErrorName(DWORD code);
// Runs one command line (without the program name) in this process; returns its exit code.
int RunCommandLine(const std::string& line);
// Parses decimal or 0x-prefixed hexadecimal into an unsigned 32-bit value.
bool ParseU32(const std::string& text, uint32_t& value);

}  // namespace hxcli
