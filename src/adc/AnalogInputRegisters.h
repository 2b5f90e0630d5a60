// The analog-input register block of the boards: where each register sits and what the bits of
// the start/stop register mean. The library drives the block with these, and the simulated
// boards decode it with the same names. Sequencer 1's registers sit 4 bytes above sequencer 0's.
#pragma once

#include <cstdint>

namespace halvex::adc {

constexpr uint32_t DivisorRegister(uint32_t s) { return 16 + 4 * s; }  // base clock / this = rate
constexpr uint32_t RangeRegister(uint32_t s) { return 24 + 4 * s; }    // a range code per channel, 4 bits each
constexpr uint32_t ChunkSizeRegister(uint32_t s) { return 32 + 4 * s; }  // bytes of one DMA transfer
inline constexpr uint32_t kFifoCountRegister = 40;                    // words in sequencer 0's FIFO
constexpr uint32_t FifoDataRegister(uint32_t s) { return 48 + 4 * s; }
constexpr uint32_t StartStopRegister(uint32_t s) { return 56 + 4 * s; }  // channels, mode and run bit
inline constexpr uint32_t kDmaEnableRegister = 64;
inline constexpr uint32_t kDmaEnableBit = 0x10;

// Start/stop register bits.
inline constexpr uint32_t kAcquireBit = 1u << 5;
inline constexpr uint32_t kSingleEndedBit = 1u << 11;
inline constexpr uint32_t kChannelField = 7u << 12;  // the stop channel
inline constexpr uint32_t kRunBit = 1u << 16;
inline constexpr uint32_t kWideWriteBit = 1u << 17;  // set in every value written to a 32-bit register

}  // namespace halvex::adc
