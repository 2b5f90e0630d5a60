#include "sim/DeviceModels.h"

#include "sim/AnalogInputModel.h"
#include "sim/AnalogOutput.h"
#include "sim/Board.h"
#include "sim/DmaEngine.h"
#include "sim/DmaPiong.h"
#include "sim/Interrupt.h"

namespace halvex::sim {

void AttachDeviceModels(Board& board) {
    // One line per model, in the order they should see each access, for example
    //   board.AttachModel(std::make_unique<AnalogInputModel>(board));
    board.AttachModel(std::make_unique<AnalogInputModel>(board));
    board.AttachModel(std::make_unique<AnalogOutputModel>(board));
    board.AttachModel(std::make_unique<InterruptModel>(board));
    board.AttachModel(std::make_unique<DmaPiongModel>());
    board.AttachModel(std::make_unique<DmaEngineModel>(board));
}

}  // namespace halvex::sim
