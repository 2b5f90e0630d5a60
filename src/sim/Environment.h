// The bus as the environment variable HALVEX_SIM_BOARDS describes it (format in sim.h).
#pragma once

#include <halvex/sim.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halvex::sim {

// Parses a HALVEX_SIM_BOARDS value. False, with `boards` unchanged, when it is malformed.
bool ParseBoardList(std::string_view text, std::vector<BoardSetup>& boards);

// The first entry of a HALVEX_SIM_BOARDS value that cannot be parsed, trimmed (empty for the
// empty entry a trailing comma makes); nullopt when the whole value parses.
std::optional<std::string> FirstBadEntry(std::string_view text);

// Builds the bus from a HALVEX_SIM_BOARDS value, null for an unset variable: the default set
// when it is unset or cannot be parsed (false then).
bool UseBoardsFrom(const char* value);

}  // namespace halvex::sim
