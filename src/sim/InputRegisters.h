// The analog-input register block as the simulated boards decode it: sequencer 0's registers
// (sequencer 1's sit 4 bytes above each) and the start/stop register's bits.
#pragma once

#include <cstdint>

namespace halvex::sim {

inline constexpr uint32_t kDivisorRegister = 16;    // base clock / this = conversion rate
inline constexpr uint32_t kRangeRegister = 24;      // a range code per channel, 4 bits each
inline constexpr uint32_t kStartStopRegister = 56;  // channels, mode and run bit

inline constexpr uint32_t kAcquireBit = 1u << 5;
inline constexpr uint32_t kSingleEndedBit = 1u << 11;
inline constexpr uint32_t kRunBit = 1u << 16;

}  // namespace halvex::sim
