// What the simulated analog inputs see and how a board's converter packs it. Shared by the
// immediate-conversion model and anything else that converts inputs (a streaming engine).
#pragma once

#include <halvex/sim.h>

#include <array>
#include <cstddef>
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

// One input of a run of conversions: its source, its number for the noise sequence and the
// ordinal of the run's first conversion of it.
struct RunInput {
    const InputSource* source = nullptr;
    unsigned input = 0;
    uint64_t ordinal = 0;
};

// The conversions of one scan position over a stretch of an acquisition: conversion k is the
// acquisition's sample `first + k * stride`, taken `startSeconds + sample / rate` seconds after
// the board came up, of `plus` minus `minus` (a differential pair) or of `plus` alone.
struct ConversionRun {
    RunInput plus;
    RunInput minus;
    bool differential = false;
    double startSeconds = 0.0;
    double rate = 1.0;
    uint64_t first = 0;
    uint64_t stride = 1;
    uint32_t rangeCode = 0;
    unsigned channel = 0;
};

// Writes the words of `count` conversions of `run` to out[0], out[stride], out[2 * stride] ...:
// word for word what SourceVolts and PackConversion give sample by sample, with the inputs'
// ordinals counting up from the run's, but a whole run at a time.
void ConvertRun(const ConversionRun& run, const std::array<double, 4>& outputs, uint32_t* out, std::size_t count);

}  // namespace halvex::sim
