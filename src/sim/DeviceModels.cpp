#include "sim/DeviceModels.h"

#include "sim/Board.h"

namespace halvex::sim {

void AttachDeviceModels(Board& board) {
    // One line per model, in the order they should see each access, for example
    //   board.AttachModel(std::make_unique<AnalogInputModel>(board));
    (void)board;
}

}  // namespace halvex::sim
