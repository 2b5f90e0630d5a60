// The analog-input ranges, by the names and volts hxcli accepts for them. The library describes
// them (HX_GetRangeInfo); hxcli only names them.
#pragma once

#include <halvex/halvex.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace hxcli {

struct InputRange {
    std::string name;  // the half-span: every range is bipolar
    double halfSpan;   // volts at fullScaleCounts
    DWORD code;
    DWORD tag;         // the four-byte tag the library also takes for the code
    double voltsPerCount;
    int32_t fullScaleCounts;
};

// Every input range, widest first.
std::span<const InputRange> InputRanges();
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

// Counts beyond the full-scale counts either way lie outside the range the sample was
// converted on.
bool BeyondRange(int16_t counts);

// Volts as hxcli writes them in names: the shortest text that reads back as the same number.
std::string VoltsText(double volts);

}  // namespace hxcli
