// The analog-input ranges by the names hxcli accepts for them.
#pragma once

#include <halvex/halvex.h>

namespace hxcli {

struct InputRange {
    const char* name;
    DWORD code;
    DWORD tag;  // the four-byte tag the library also takes for the code
};

inline constexpr InputRange kInputRanges[] = {
    {"12V", HALVEX_AI_RANGE_12V, 0x3231E142},        {"5V", HALVEX_AI_RANGE_5V, 0x3530E142},
    {"2.5V", HALVEX_AI_RANGE_2V5, 0xBD32E142},       {"1.25V", HALVEX_AI_RANGE_1V25, 0xBC31E142},
    {"0.625V", HALVEX_AI_RANGE_0V625, 0x3835E142},   {"0.3125V", HALVEX_AI_RANGE_0V3125, 0x3331E142},
    {"10V", HALVEX_AI_RANGE_10V, 0x3031E142},
};

}  // namespace hxcli
