// The board families by device identifier: what start-up classifies a board by, and what the
// simulated boards take their register layout from. Both ask TakesWideCommands whether a board
// takes 32-bit immediate commands.
#pragma once

#include <cstdint>

namespace halvex::board {

enum class TBoardFamily : uint8_t {
    Unknown,           // not a board of ours: left out
    Fixed,             // 0x0C40: a fixed 10 MHz clock, 16-bit start/stop registers, no register access at start-up
    Layout1,           // 16-bit start/stop registers and commands
    FirmwareSelected,  // 32-bit commands when the firmware word says so, else as Layout1
    Layout2,           // 32-bit start/stop registers and commands
};

inline constexpr uint32_t kFixedFamilyBaseClock = 10'000'000;
// The upper half of the firmware word (register 104) of a FirmwareSelected board that takes
// 32-bit commands.
inline constexpr uint32_t kWideCommandFirmware = 0x0001;

struct TBoardFamilyRow {
    uint32_t first;
    uint32_t last;
    TBoardFamily family;
};

inline constexpr TBoardFamilyRow kBoardFamilies[] = {
    {0x0C40, 0x0C40, TBoardFamily::Fixed},
    {0x1100, 0x1100, TBoardFamily::Layout1},
    {0x8258, 0x825A, TBoardFamily::Layout1},
    {0x82E8, 0x82EA, TBoardFamily::Layout1},
    {0xC258, 0xC25A, TBoardFamily::Layout1},
    {0xC2E8, 0xC2EA, TBoardFamily::Layout1},
    {0x8058, 0x805A, TBoardFamily::FirmwareSelected},
    {0x80E8, 0x80EA, TBoardFamily::FirmwareSelected},
    {0xC058, 0xC05A, TBoardFamily::FirmwareSelected},
    {0xC0E8, 0xC0EA, TBoardFamily::FirmwareSelected},
    {0x805C, 0x805E, TBoardFamily::Layout2},
    {0x80EC, 0x80EE, TBoardFamily::Layout2},
    {0xC05C, 0xC05E, TBoardFamily::Layout2},
    {0xC0EC, 0xC0EE, TBoardFamily::Layout2},
};

constexpr TBoardFamily BoardFamilyOf(uint32_t deviceId) {
    for (const auto& row : kBoardFamilies)
        if (deviceId >= row.first && deviceId <= row.last) return row.family;
    return TBoardFamily::Unknown;
}

// Whether a board of this identifier and firmware word takes 32-bit immediate commands.
constexpr bool TakesWideCommands(uint32_t deviceId, uint32_t firmware) {
    const TBoardFamily family = BoardFamilyOf(deviceId);
    return family == TBoardFamily::Layout2 ||
           (family == TBoardFamily::FirmwareSelected && (firmware >> 16) == kWideCommandFirmware);
}

}  // namespace halvex::board
