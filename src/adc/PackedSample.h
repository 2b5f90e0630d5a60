// The 32-bit analog-input sample as the boards deliver it, the input range codes with their
// four-byte tags, and the conversions every reader of samples shares.
//
//   bits  0-15  counts, signed 16-bit
//   bits 16-18  range code in force for the conversion
//   bits 20-23  channel (not interpreted here)
//   bit  31     no-sample flag
#pragma once

#include <windows.h>

#include <halvex/halvex.h>

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "board/Ranges.h"

namespace halvex {

using PackedSample = uint32_t;

inline constexpr PackedSample NoSample = HALVEX_NO_SAMPLE;

// "Leave the ranges as they are" where a range code is expected; "all channels" as a channel.
inline constexpr DWORD kKeepRanges = HALVEX_KEEP_RANGES;
inline constexpr DWORD kAllChannels = HALVEX_ALL_CHANNELS;

// The NaN every volts output is pre-set to and every invalid sample converts to: the default
// NaN of x86 arithmetic, so callers comparing bit patterns see one value.
inline constexpr uint64_t kNaNBits = 0xFFF8000000000000ull;
inline double NaNVolts() { return std::bit_cast<double>(kNaNBits); }

using board::TInputRange;
// Codes 0-5 and 7; code 6 is not a range.
inline constexpr const auto& InputRanges = board::kInputRanges;

// The range of a code, or null for code 6 and anything above 7.
const TInputRange* FindInputRange(DWORD code);

// A code 0-5 or 7 stays as it is (0); a range tag becomes its code (0); kKeepRanges stays as it
// is and gives ERROR_HANDLE_EOF, which callers take as "change nothing"; everything else gives
// ERROR_INVALID_PARAMETER.
DWORD CheckRangeCode(DWORD& RangeCode);

// Volts of a sample; NaN (kNaNBits) for the no-sample flag or range code 6.
double PackedSampleToVolts(PackedSample Sample);

// Writes each output that is given: counts, status (bits 16-31), timestamp (always 0) and volts.
void UnpackSample(PackedSample Sample, int16_t* Counts, uint16_t* Status, uint16_t* Timestamp, double* Volts);

// ---- Whole chunks ----------------------------------------------------------------------------
// The callback thread converts every sample it delivers, so these run at memory speed: no call
// and no branch per sample, and results bit for bit those of UnpackSample.

// Indexed by the range code with the no-sample flag as bit 3. An invalid word scales its counts
// by 0 and ORs the NaN over the product, whatever its sign: one multiply, no branch.
struct TSampleScale {
    double VoltsPerCount;
    uint64_t OrBits;
};
inline constexpr std::array<TSampleScale, 16> kSampleScales = [] {
    std::array<TSampleScale, 16> table{};
    for (TSampleScale& entry : table) entry = {0.0, kNaNBits};
    for (const TInputRange& range : InputRanges) table[range.Code] = {range.VoltsPerCount, 0};
    return table;
}();

inline std::size_t SampleScaleIndex(PackedSample Sample) { return ((Sample >> 16) & 7) | ((Sample >> 28) & 8); }

// Counts (bits 0-15) and status (bits 16-31) of `n` samples.
inline void PackedSamplesToCounts(const PackedSample* __restrict Samples, std::size_t n, WORD* __restrict Counts,
                                  WORD* __restrict Status) {
    for (std::size_t i = 0; i < n; ++i) {
        Counts[i] = static_cast<WORD>(Samples[i]);
        Status[i] = static_cast<WORD>(Samples[i] >> 16);
    }
}

// Volts (as PackedSampleToVolts) and status of `n` samples.
inline void PackedSamplesToVolts(const PackedSample* __restrict Samples, std::size_t n, double* __restrict Volts,
                                 WORD* __restrict Status) {
    for (std::size_t i = 0; i < n; ++i) {
        const PackedSample sample = Samples[i];
        const TSampleScale& scale = kSampleScales[SampleScaleIndex(sample)];
        const double volts = static_cast<double>(static_cast<int16_t>(sample & 0xFFFF)) * scale.VoltsPerCount;
        Volts[i] = std::bit_cast<double>(std::bit_cast<uint64_t>(volts) | scale.OrBits);
        Status[i] = static_cast<WORD>(sample >> 16);
    }
}

}  // namespace halvex
