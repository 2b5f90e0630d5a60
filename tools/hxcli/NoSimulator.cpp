// hxcli where the boards are real: no simulator behind the library, no 'bus' or 'source'.
#include <stdexcept>

#include "Command.h"
#include "Simulator.h"

namespace hxcli {

namespace simulator {

std::string HelpNote() { return {}; }

std::string BoardsVariableProblem() { return {}; }

void SetFreeRunning(UINT64, bool) {}

StreamTotals StreamTotalsOf(UINT64) { return {}; }

std::optional<OutputLevel> OutputLevelOf(UINT64, unsigned) { return std::nullopt; }

void StartInterruptTimer(UINT64, DWORD) { throw std::out_of_range("--sim-timer needs simulated boards"); }

void StopInterruptTimer(UINT64) {}

std::string StartReplay(const std::string&, bool) { return "--replay needs the simulated boards"; }

std::string ReplayDivergence() { return {}; }

}  // namespace simulator

Command AddBusCommand(CLI::App&) { return {}; }

Command AddSourceCommand(CLI::App&) { return {}; }

Command AddFailCommand(CLI::App&) { return {}; }

}  // namespace hxcli
