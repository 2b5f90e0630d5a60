// Analog output: the range table, the ranges remembered per board, the range-code check, the
// DAC command word and the volts-to-counts conversion shared by the output exports.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "board/Ranges.h"
#include "board/Registers.h"
#include "core/DeviceTable.h"

namespace halvex {

using TDACRange = board::TOutputRange;

// Indexed by range code 0 to 4.
inline constexpr const auto& DACRangeTable = board::kOutputRanges;

inline constexpr DWORD DACChannelCount = board::kDacChannels;
inline constexpr DWORD DACAllChannels = 0xFFFFFFFF;
inline constexpr int32_t DACRangeUnchanged = -1;
// A channel whose range this library never set is taken to be on -10 V .. +10 V.
inline constexpr int32_t DACDefaultRange = 3;

// The command register and its commands.
inline constexpr DWORD DACCommandRegister = board::kDacCommandRegister;
using board::TDacCommand;
using enum board::TDacCommand;

// The range code this library last set per output channel of a board, DACRangeUnchanged when
// it never set one. The output exports take no lock: each is an atomic whose last writer wins.
struct TDACRanges {
    std::atomic<int32_t> Last[DACChannelCount] = {DACRangeUnchanged, DACRangeUnchanged, DACRangeUnchanged,
                                                  DACRangeUnchanged};
};
// Built at start-up and released at unload with the device table.
extern TBoardTable<TDACRanges> DACRanges;

// Turns a range code or tag into its code. 0 for codes 0-4 and the five tags (replaced by their
// code); ERROR_HANDLE_EOF for -1 (leave the range alone); ERROR_INVALID_PARAMETER otherwise.
DWORD CheckDACRangeCode(int32_t& code);

// Writes one command word through PIO_Out32 and returns its result.
DWORD WriteDACCommand(UINT64 iBoard, DWORD Command, DWORD Channel, DWORD Data);

// The counts that put `volts` out on range `code` (0-4), rounding half to even. False when the
// result is not within 0..65535 or `volts` is not a finite number.
bool DACVoltsToCounts(double volts, int32_t code, DWORD& counts);

}  // namespace halvex
