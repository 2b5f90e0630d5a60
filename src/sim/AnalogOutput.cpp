#include "sim/AnalogOutput.h"

#include <mutex>
#include <stdexcept>

#include "sim/Board.h"
#include "sim/Bus.h"

namespace halvex::sim {
namespace {

using namespace halvex::board;

}  // namespace

AnalogOutputModel::AnalogOutputModel(Board& board) {
    ranges_.fill(kPowerUpOutputRange);
    counts_.fill(kPowerUpOutputCounts);
    for (unsigned ch = 0; ch < kChannels; ++ch) Publish(board, ch);
}

double AnalogOutputModel::Volts(uint32_t code, uint32_t counts) {
    const TOutputRange& range = kOutputRanges[code < kOutputRangeCount ? code : kPowerUpOutputRange];
    const double fraction =
        (static_cast<double>(counts) - (range.Bipolar ? kOutputCountsPerSpan / 2 : 0.0)) / kOutputCountsPerSpan;
    return fraction * range.Span;
}

void AnalogOutputModel::Publish(Board& board, unsigned channel) {
    board.analogOutputVolts[channel] = Volts(ranges_[channel], counts_[channel]);
}

bool AnalogOutputModel::OnWrite(Board& board, uint32_t offset, unsigned width, uint32_t value) {
    if (offset != kDacCommandRegister || width != 4) return false;
    const uint32_t data = value & 0xFFFF;
    const unsigned channel = (value >> 16) & 0xF;
    const uint32_t command = (value >> 20) & 0xF;
    switch (command) {
        case dcOutputOne:
            if (channel >= kChannels) break;
            counts_[channel] = data;
            Publish(board, channel);
            break;
        case dcOutputAll:
            for (unsigned ch = 0; ch < kChannels; ++ch) {
                counts_[ch] = data;
                Publish(board, ch);
            }
            break;
        case dcRangeOne:
            if (channel >= kChannels || data >= kOutputRangeCount) break;
            // The converter keeps its code: the same counts now mean a level on the new range.
            ranges_[channel] = data;
            Publish(board, channel);
            break;
        case dcRangeAll:
            if (data >= kOutputRangeCount) break;
            for (unsigned ch = 0; ch < kChannels; ++ch) {
                ranges_[ch] = data;
                Publish(board, ch);
            }
            break;
        default:
            break;
    }
    return false;
}

}  // namespace halvex::sim
