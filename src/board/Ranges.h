// The boards' analog ranges: the input ranges a conversion is made on and the output ranges of
// the DAC, each by its code and four-byte tag, and the word a conversion is delivered as. The
// library, the simulated boards and (through HX_GetRangeInfo) hxcli and the Python package all
// read them here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace halvex::board {

// ---- Input ranges -----------------------------------------------------------------------------
// Every input range is bipolar: -half-span .. +half-span, reached at kFullScaleCounts counts.
// The converter goes on past it (to the 16-bit limits), but not accurately.
inline constexpr int32_t kFullScaleCounts = 16000;

struct TInputRange {
    uint32_t Code;
    uint32_t Tag;          // little-endian bytes 'B', 0xE1, then the half-span
    double VoltsPerCount;  // half-span / kFullScaleCounts
    double HalfSpan;
};

// Codes 0-5 and 7; code 6 is not a range.
inline constexpr TInputRange kInputRanges[] = {
    {0, 0x3231E142, 0.00075, 12.0},        {1, 0x3530E142, 0.0003125, 5.0},
    {2, 0xBD32E142, 0.00015625, 2.5},      {3, 0xBC31E142, 0.000078125, 1.25},
    {4, 0x3835E142, 0.0000390625, 0.625},  {5, 0x3331E142, 0.00001953125, 0.3125},
    {7, 0x3031E142, 0.000625, 10.0},
};
static_assert([] {
    for (const TInputRange& range : kInputRanges)
        if (range.VoltsPerCount * kFullScaleCounts != range.HalfSpan) return false;
    return true;
}());

// The range of a code, or null for code 6 and anything above 7.
constexpr const TInputRange* InputRangeOfCode(uint32_t code) {
    for (const TInputRange& range : kInputRanges)
        if (range.Code == code) return &range;
    return nullptr;
}

// ---- Output ranges ----------------------------------------------------------------------------
struct TOutputRange {
    uint32_t Tag;  // four characters, little-endian: "U005", "U010", "B\xE1" "05", ...
    bool Bipolar;  // offset binary: 0x8000 is 0 V
    double Span;   // volts from the bottom to the top of the range
};

// Indexed by range code 0 to 4. Counts 0 .. 65535 cover the span: 65536 counts would reach its top.
inline constexpr TOutputRange kOutputRanges[] = {
    {0x35303055, false, 5.0},   // 0 V .. +5 V
    {0x30313055, false, 10.0},  // 0 V .. +10 V
    {0x3530E142, true, 10.0},   // -5 V .. +5 V
    {0x3031E142, true, 20.0},   // -10 V .. +10 V
    {0xBD32E142, true, 5.0},    // -2.5 V .. +2.5 V
};
inline constexpr uint32_t kOutputRangeCount = static_cast<uint32_t>(std::size(kOutputRanges));
inline constexpr double kOutputCountsPerSpan = 65536.0;
// What an output comes up at: -10 V .. +10 V at mid-scale, i.e. 0 V.
inline constexpr uint32_t kPowerUpOutputRange = 3;
inline constexpr uint32_t kPowerUpOutputCounts = 0x8000;

constexpr double OutputRangeLow(const TOutputRange& range) { return range.Bipolar ? -range.Span / 2 : 0.0; }
constexpr double OutputRangeHigh(const TOutputRange& range) { return range.Bipolar ? range.Span / 2 : range.Span; }

// ---- The sample word --------------------------------------------------------------------------
//   bits  0-15  counts, signed 16-bit
//   bits 16-18  range code in force for the conversion
//   bits 20-23  channel
//   bit  31     no-sample flag
inline constexpr unsigned kSampleRangeShift = 16;
inline constexpr unsigned kSampleChannelShift = 20;
constexpr uint32_t SampleWord(uint16_t counts, uint32_t rangeCode, uint32_t channel) {
    return counts | (rangeCode & 7) << kSampleRangeShift | (channel & 0xF) << kSampleChannelShift;
}

}  // namespace halvex::board
