// The bus as the environment variable HALVEX_SIM_BOARDS describes it (format in sim.h).
#pragma once

#include <halvex/sim.h>

#include <string_view>
#include <vector>

namespace halvex::sim {

// Parses a HALVEX_SIM_BOARDS value. False, with `boards` unchanged, when it is malformed.
bool ParseBoardList(std::string_view text, std::vector<BoardSetup>& boards);

// UseEnvironmentBoards with the variable's value given: null for an unset variable.
bool UseBoardsFrom(const char* value);

}  // namespace halvex::sim
