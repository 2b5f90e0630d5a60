// The board-finder list the bus keeps in the registry for its boards.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace halvex::sim {

// The product name a board gets in the list when its BoardSetup names none.
std::string DefaultBoardName(uint32_t deviceId);

// Removes the list as written under `company`, or writes it for the boards now on the bus.
void RemoveBoardListOf(const std::string& company);
void WriteBoardListOf(const std::string& company);
// The list with these names (identifier, name) rather than the bus's boards: a replay's boards.
void WriteBoardListOf(const std::string& company, const std::vector<std::pair<uint32_t, std::string>>& names);

// Rewrites the list for the boards now on the bus, under the company last chosen.
void RefreshBoardList();

}  // namespace halvex::sim
