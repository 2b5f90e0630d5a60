// The device models every simulated board carries (see Device.h).
#pragma once

namespace halvex::sim {

class Board;

// Attaches the models to a board under construction, in the order they see each access.
void AttachDeviceModels(Board& board);

}  // namespace halvex::sim
