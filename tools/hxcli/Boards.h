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
    unsigned number;  // 1, 2 or 3
    const char* registers;
    const char* immediate;
    bool streams;  // 32-bit start/stop registers
};
Layout LayoutOf(UINT64 board);

// The clock the conversion-rate divisor divides.
DWORD BaseClockOf(UINT64 board);

// The divisor the library computes on `board` (nearest, ties to even) for `hz` samples per second
// per channel on `channels` channels, or for `hz` conversions per second in all where `channels`
// is 0; none when it falls outside 1 .. 2^32 - 1, and then `why` names the rates the board takes,
// in the same terms.
std::optional<DWORD> RateDivisor(UINT64 board, double hz, unsigned channels, std::string& why);

// "boards 0-2", "board 0", "no boards found".
std::string BoardsText();
// The boards that can stream, e.g. "boards 1 and 2 can", "no board can".
std::string StreamingBoardsText();

}  // namespace hxcli
