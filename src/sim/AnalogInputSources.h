// What the simulated analog inputs see and how a board's converter packs it. Shared by the
// immediate-conversion model and anything else that converts inputs (a streaming engine).
#pragma once

#include <halvex/sim.h>

#include <array>
#include <cstdint>

namespace halvex::sim {

inline constexpr unsigned kInputSequencers = 2;
inline constexpr unsigned kInputChannels = 8;  // per sequencer

// The source a channel has at power-up: a constant, different on every channel of both
// sequencers and in every differential pair, small enough for the narrowest range.
InputSource DefaultInputSourceFor(unsigned sequencer, unsigned channel);

// The level a source presents `seconds` after the board came up. `ordinal` numbers the
// conversions of that input (noise is a fixed pseudo-random sequence over it); `outputs` are
// the board's analog outputs for a loopback source.
double SourceVolts(const InputSource& source, double seconds, uint64_t ordinal, unsigned input,
                   const std::array<double, 4>& outputs);

// The word the converter delivers for `volts` on input range `rangeCode` (0-5, 7):
// counts rounded to the nearest and clipped to 16 bits, the range code and the channel.
// Code 6 is no range and converts to 0 counts.
uint32_t PackConversion(double volts, uint32_t rangeCode, unsigned channel);

}  // namespace halvex::sim
