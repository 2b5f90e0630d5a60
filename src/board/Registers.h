// The boards' registers: where each one the library or the simulated boards use sits, and what
// its bits mean. Per-sequencer registers take the sequencer (0 or 1); sequencer 1's copy sits 4
// bytes above sequencer 0's.
#pragma once

#include <cstdint>

namespace halvex::board {

// ---- The board as a whole ----------------------------------------------------------------------
// The reset register: a byte of 0xFF resets a board with 16-bit start/stop registers, a 32-bit 1
// one with 32-bit start/stop registers.
inline constexpr uint32_t kResetRegister = 0;
inline constexpr uint32_t kResetByte = 0xFF;
inline constexpr uint32_t kResetWord = 1;
inline constexpr uint32_t kBaseClockRegister = 12;  // Hz of the clock the sample-rate divisors divide
inline constexpr uint32_t kFirmwareRegister = 104;  // the firmware word

// ---- Analog inputs ------------------------------------------------------------------------------
constexpr uint32_t DivisorRegister(uint32_t s) { return 16 + 4 * s; }    // base clock / this = rate
constexpr uint32_t RangeRegister(uint32_t s) { return 24 + 4 * s; }      // a range code per channel, 4 bits each
constexpr uint32_t ChunkSizeRegister(uint32_t s) { return 32 + 4 * s; }  // bytes of one DMA transfer
inline constexpr uint32_t kFifoCountRegister = 40;                       // words in sequencer 0's FIFO
constexpr uint32_t FifoDataRegister(uint32_t s) { return 48 + 4 * s; }
constexpr uint32_t StartStopRegister(uint32_t s) { return 56 + 4 * s; }  // channels, mode and run bit
inline constexpr uint32_t kDmaEnableRegister = 64;
inline constexpr uint32_t kDmaEnableBit = 0x10;

// Start/stop register bits.
inline constexpr uint32_t kAcquireBit = 1u << 5;
inline constexpr unsigned kRangeShift = 7;  // the range code of an immediate command, 3 bits
inline constexpr uint32_t kSingleEndedBit = 1u << 11;
inline constexpr unsigned kChannelShift = 12;
inline constexpr uint32_t kChannelField = 7u << kChannelShift;  // the stop channel
inline constexpr uint32_t kRunBit = 1u << 16;
inline constexpr uint32_t kWideWriteBit = 1u << 17;  // set in every value written to a 32-bit register
// What start-up writes to both 16-bit start/stop registers: both sequencers stopped.
inline constexpr uint16_t kStoppedStartStop16 = 0xFCEE;

// A FIFO word when there is no sample: the no-sample flag of a packed sample.
inline constexpr uint32_t kEmptyFifoWord = 0x80000000u;

// ---- Analog outputs -----------------------------------------------------------------------------
// The DAC command register takes 32-bit words: data in bits 0-15, channel in 16-19, command in
// 20-23.
inline constexpr uint32_t kDacCommandRegister = 4;
inline constexpr unsigned kDacChannels = 4;
enum TDacCommand : uint32_t {
    dcOutputOne = 3,
    dcRangeOne = 6,
    dcOutputAll = 10,
    dcRangeAll = 14,
};
constexpr uint32_t DacCommandWord(uint32_t command, uint32_t channel, uint32_t data) {
    return (data & 0xFFFF) | (channel & 0xF) << 16 | (command & 0xF) << 20;
}

}  // namespace halvex::board
