// What hxcli knows about the boards the library opened, read through the public API the way an
// application would.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

namespace hxcli {

// The boards the library opened: indexes 0 to Count() - 1.
uint64_t BoardCount();

struct Layout {
    const char* registers;
    const char* immediate;
    bool streams;  // 32-bit start/stop registers
};
Layout LayoutOf(UINT64 board);

// The clock the conversion-rate divisor divides.
DWORD BaseClockOf(UINT64 board);

// The divisor the library computes for `hz` on `board` (nearest, ties to even), or none when
// it falls outside 1 .. 2^32 - 1; then `why` says which rates the board converts at.
std::optional<DWORD> RateDivisor(UINT64 board, double hz, std::string& why);

// "boards 0-2", "board 0", "no boards found".
std::string BoardsText();
// The boards that can stream, e.g. "boards 1 and 2 can", "no board can".
std::string StreamingBoardsText();

}  // namespace hxcli
