// The analog-input register block as the simulated boards decode it: sequencer 0's registers
// (sequencer 1's sit 4 bytes above each), named as the library names them.
#pragma once

#include <cstdint>

#include "adc/AnalogInputRegisters.h"

namespace halvex::sim {

inline constexpr uint32_t kDivisorRegister = adc::DivisorRegister(0);
inline constexpr uint32_t kRangeRegister = adc::RangeRegister(0);
inline constexpr uint32_t kStartStopRegister = adc::StartStopRegister(0);
inline constexpr uint32_t kFifoCountRegister = adc::kFifoCountRegister;
inline constexpr uint32_t kFifoDataRegister = adc::FifoDataRegister(0);
inline constexpr uint32_t kDmaEnableRegister = adc::kDmaEnableRegister;
inline constexpr uint32_t kDmaEnableBit = adc::kDmaEnableBit;

using adc::kAcquireBit;
using adc::kRunBit;
using adc::kSingleEndedBit;

}  // namespace halvex::sim
