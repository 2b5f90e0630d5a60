#include "sim/AnalogOutput.h"

#include <mutex>
#include <stdexcept>

#include "sim/Board.h"
#include "sim/Bus.h"

namespace halvex::sim {
namespace {

struct OutputRange {
    bool bipolar;
    double span;
};

constexpr OutputRange kRanges[] = {{false, 5.0}, {false, 10.0}, {true, 10.0}, {true, 20.0}, {true, 5.0}};
constexpr uint32_t kRangeCount = 5;

enum Command : uint32_t { kOutputOne = 3, kRangeOne = 6, kOutputAll = 10, kRangeAll = 14 };

}  // namespace

AnalogOutputModel::AnalogOutputModel(Board& board) {
    ranges_.fill(kPowerUpRange);
    counts_.fill(kPowerUpCounts);
    for (unsigned ch = 0; ch < kChannels; ++ch) Publish(board, ch);
}

double AnalogOutputModel::Volts(uint32_t code, uint32_t counts) {
    const OutputRange& range = kRanges[code < kRangeCount ? code : kPowerUpRange];
    const double fraction = (static_cast<double>(counts) - (range.bipolar ? 32768.0 : 0.0)) / 65536.0;
    return fraction * range.span;
}

void AnalogOutputModel::Publish(Board& board, unsigned channel) {
    board.analogOutputVolts[channel] = Volts(ranges_[channel], counts_[channel]);
}

bool AnalogOutputModel::OnWrite(Board& board, uint32_t offset, unsigned width, uint32_t value) {
    if (offset != kCommandRegister || width != 4) return false;
    const uint32_t data = value & 0xFFFF;
    const unsigned channel = (value >> 16) & 0xF;
    const uint32_t command = (value >> 20) & 0xF;
    switch (command) {
        case kOutputOne:
            if (channel >= kChannels) break;
            counts_[channel] = data;
            Publish(board, channel);
            break;
        case kOutputAll:
            for (unsigned ch = 0; ch < kChannels; ++ch) {
                counts_[ch] = data;
                Publish(board, ch);
            }
            break;
        case kRangeOne:
            if (channel >= kChannels || data >= kRangeCount) break;
            // The converter keeps its code: the same counts now mean a level on the new range.
            ranges_[channel] = data;
            Publish(board, channel);
            break;
        case kRangeAll:
            if (data >= kRangeCount) break;
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
