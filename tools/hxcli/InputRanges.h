// The analog-input ranges, by the names and volts hxcli accepts for them.
#pragma once

#include <halvex/halvex.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace hxcli {

struct InputRange {
    const char* name;      // the half-span: every range is bipolar
    double halfSpan;       // volts at 16000 counts
    DWORD code;
    DWORD tag;             // the four-byte tag the library also takes for the code
    double voltsPerCount;
};

inline constexpr InputRange kInputRanges[] = {
    {"12V", 12.0, HALVEX_AI_RANGE_12V, 0x3231E142, 0.00075},
    {"10V", 10.0, HALVEX_AI_RANGE_10V, 0x3031E142, 0.000625},
    {"5V", 5.0, HALVEX_AI_RANGE_5V, 0x3530E142, 0.0003125},
    {"2.5V", 2.5, HALVEX_AI_RANGE_2V5, 0xBD32E142, 0.00015625},
    {"1.25V", 1.25, HALVEX_AI_RANGE_1V25, 0xBC31E142, 0.000078125},
    {"0.625V", 0.625, HALVEX_AI_RANGE_0V625, 0x3835E142, 0.0000390625},
    {"0.3125V", 0.3125, HALVEX_AI_RANGE_0V3125, 0x3331E142, 0.00001953125},
};

// A range by name or by its half-span in volts: "10V", "10v" and "10" are the +-10 V range; a
// range code only as "code7", which no one reads as volts. Null for anything else (a bare 5 is
// +-5 V, never code 5; tags are not taken).
const InputRange* FindInputRange(std::string_view text);
// Null for code 6 and anything above 7.
const InputRange* InputRangeOfCode(DWORD code);
// "12V, 10V, 5V, 2.5V, 1.25V, 0.625V or 0.3125V"
std::string InputRangeNames();
// The rule for help and messages: the names, that a number is volts, and how a code is written.
std::string InputRangeRule();

// Counts beyond +-16000 lie outside the range the sample was converted on.
inline bool BeyondRange(int16_t counts) { return counts > 16000 || counts < -16000; }

}  // namespace hxcli
