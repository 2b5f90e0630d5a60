// Analog output: the range table, the ranges remembered per board, the range-code check, the
// DAC command word and the volts-to-counts conversion shared by the output exports.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "core/DeviceTable.h"

namespace halvex {

struct TDACRange {
    DWORD Tag;     // four characters, little-endian: "U005", "U010", "B\xE1" "05", ...
    bool Bipolar;  // offset binary: 0x8000 is 0 V
    double Span;   // volts from the bottom to the top of the range
};

// Indexed by range code 0 to 4.
inline constexpr TDACRange DACRangeTable[5] = {
    {0x35303055, false, 5.0},   // 0 V .. +5 V
    {0x30313055, false, 10.0},  // 0 V .. +10 V
    {0x3530E142, true, 10.0},   // -5 V .. +5 V
    {0x3031E142, true, 20.0},   // -10 V .. +10 V
    {0xBD32E142, true, 5.0},    // -2.5 V .. +2.5 V
};

inline constexpr DWORD DACChannelCount = 4;
inline constexpr DWORD DACAllChannels = 0xFFFFFFFF;
inline constexpr int32_t DACRangeUnchanged = -1;
// A channel whose range this library never set is taken to be on -10 V .. +10 V.
inline constexpr int32_t DACDefaultRange = 3;

// The command register and its commands (data in bits 0-15, channel in 16-19, command in 20-23).
inline constexpr DWORD DACCommandRegister = 4;
enum TDACCommand : DWORD {
    dcOutputOne = 3,
    dcRangeOne = 6,
    dcOutputAll = 10,
    dcRangeAll = 14,
};

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
