// What hxcli asks of the simulated boards. SimCommands.cpp is the only file that talks to the
// simulator (and defines the 'bus' and 'source' commands); everything else goes through the
// public API. Builds without the simulator take NoSimulator.cpp instead, where these do nothing
// and those two commands do not exist. Board numbers here are library board indexes, which on the simulated bus are the
// boards' positions.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

namespace hxcli::simulator {

// Appended to hxcli's own description in help.
std::string HelpNote();

// What is wrong with HALVEX_SIM_BOARDS, naming the bad entry; empty when it is fine or unset,
// and where the boards are not simulated.
std::string BoardsVariableProblem();

// Simulated boards only: fill DMA transfers as fast as memory allows, or at the conversion rate.
// Does nothing for a board that is not simulated.
void SetFreeRunning(UINT64 board, bool freeRunning);

// Totals of a simulated board's DMA engine since the bus came up (zeros for other boards).
struct StreamTotals {
    uint64_t completedTransfers = 0;
    uint64_t overruns = 0;  // samples lost to a full FIFO
};
StreamTotals StreamTotalsOf(UINT64 board);

// The level a simulated board's analog output puts out; none for a board that is not simulated.
struct OutputLevel {
    uint32_t rangeCode = 0;
    uint32_t counts = 0;
    double volts = 0.0;
};
std::optional<OutputLevel> OutputLevelOf(UINT64 board, unsigned channel);

// Raises the board's interrupt every `periodMs` milliseconds until stopped. Throws
// std::out_of_range for a board that is not simulated.
void StartInterruptTimer(UINT64 board, DWORD periodMs);
void StopInterruptTimer(UINT64 board);

// Replays the recording at `path` (docs/recording-format.md) in place of the simulated boards,
// restarting the library on it; an empty string, or why it cannot.
std::string StartReplay(const std::string& path, bool paced);
// After the command: why the replay diverged, or an empty string when it did not.
std::string ReplayDivergence();

}  // namespace hxcli::simulator
