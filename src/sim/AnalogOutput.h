// The DAC command register (offset 4): four 16-bit outputs with a range each.
#pragma once

#include <array>
#include <cstdint>

#include "board/Ranges.h"
#include "board/Registers.h"
#include "sim/Device.h"

namespace halvex::sim {

class AnalogOutputModel final : public Device {
public:
    static constexpr unsigned kChannels = halvex::board::kDacChannels;

    explicit AnalogOutputModel(Board& board);

    // A 32-bit write to the command register. Other commands than the four and range codes
    // above 4 do nothing. The register file also keeps the last word, as a latch would.
    bool OnWrite(Board& board, uint32_t offset, unsigned width, uint32_t value) override;

    // Board mutex held.
    uint32_t Range(unsigned channel) const { return ranges_[channel]; }
    uint32_t Counts(unsigned channel) const { return counts_[channel]; }

    // The voltage `counts` stand for on range `code` (0-4).
    static double Volts(uint32_t code, uint32_t counts);

private:
    void Publish(Board& board, unsigned channel);

    std::array<uint32_t, kChannels> ranges_{};
    std::array<uint32_t, kChannels> counts_{};
};

}  // namespace halvex::sim
