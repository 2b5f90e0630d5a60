#include "adc/PackedSample.h"

namespace halvex {

const TInputRange* FindInputRange(DWORD code) { return board::InputRangeOfCode(code); }

DWORD CheckRangeCode(DWORD& RangeCode) {
    if (RangeCode == kKeepRanges) return ERROR_HANDLE_EOF;
    for (const TInputRange& range : InputRanges) {
        if (RangeCode == range.Code) return ERROR_SUCCESS;
        if (RangeCode == range.Tag) {
            RangeCode = range.Code;
            return ERROR_SUCCESS;
        }
    }
    return ERROR_INVALID_PARAMETER;
}

double PackedSampleToVolts(PackedSample Sample) {
    if (Sample & NoSample) return NaNVolts();
    const TInputRange* range = FindInputRange((Sample >> 16) & 7);
    if (range == nullptr) return NaNVolts();
    const auto counts = static_cast<int16_t>(Sample & 0xFFFF);
    return static_cast<double>(counts) * range->VoltsPerCount;
}

void UnpackSample(PackedSample Sample, int16_t* Counts, uint16_t* Status, uint16_t* Timestamp, double* Volts) {
    if (Counts != nullptr) *Counts = static_cast<int16_t>(Sample & 0xFFFF);
    if (Status != nullptr) *Status = static_cast<uint16_t>(Sample >> 16);
    if (Timestamp != nullptr) *Timestamp = 0;
    if (Volts != nullptr) *Volts = PackedSampleToVolts(Sample);
}

}  // namespace halvex
