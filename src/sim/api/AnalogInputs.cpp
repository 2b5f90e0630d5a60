// The sim API of the analog inputs: sources per channel and the command spacing.
#include <halvex/sim.h>

#include <chrono>
#include <mutex>
#include <stdexcept>

#include "sim/AnalogInputModel.h"
#include "sim/AnalogInputSources.h"
#include "sim/Board.h"
#include "sim/Bus.h"

namespace halvex::sim {
namespace {

constexpr double kMaxCommandSpacingMicroseconds = 1e12;

void CheckChannel(unsigned sequencer, unsigned channel) {
    if (sequencer >= kInputSequencers) throw std::out_of_range("a board has sequencers 0 and 1");
    if (channel >= kInputChannels) throw std::out_of_range("a sequencer has channels 0 to 7");
}

// Runs `use` on the board's input model under the board's mutex.
template <typename Use>
auto WithInputs(std::size_t board, Use&& use) {
    ModelOf<AnalogInputModel> target(board, "the board has no analog inputs");
    std::lock_guard lock(target.board->mutex);
    return use(*target.model);
}

}  // namespace

void SetInputSource(std::size_t board, unsigned sequencer, unsigned channel, const InputSource& source) {
    CheckChannel(sequencer, channel);
    if (source.kind == InputSourceKind::AnalogOutput && source.output >= 4) {
        throw std::invalid_argument("a board has analog outputs 0 to 3");
    }
    WithInputs(board, [&](AnalogInputModel& model) { model.Source(sequencer, channel) = source; });
}

InputSource InputSourceOf(std::size_t board, unsigned sequencer, unsigned channel) {
    CheckChannel(sequencer, channel);
    return WithInputs(board, [&](AnalogInputModel& model) { return model.Source(sequencer, channel); });
}

InputSource DefaultInputSource(unsigned sequencer, unsigned channel) {
    CheckChannel(sequencer, channel);
    return DefaultInputSourceFor(sequencer, channel);
}

uint32_t PackedConversion(double volts, uint32_t rangeCode, unsigned channel) {
    return PackConversion(volts, rangeCode, channel);
}

void SetCommandSpacing(std::size_t board, double microseconds) {
    // Whole nanoseconds must hold it: converting what they cannot is undefined.
    if (!(microseconds >= 0.0 && microseconds <= kMaxCommandSpacingMicroseconds)) {
        throw std::invalid_argument("a command spacing from 0 to 10^12 microseconds");
    }
    const auto spacing = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double, std::micro>(microseconds));
    WithInputs(board, [&](AnalogInputModel& model) { model.SetCommandSpacing(spacing); });
}

}  // namespace halvex::sim
