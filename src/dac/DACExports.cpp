// Analog-output exports. They take no lock: each register write is one driver request, and the
// remembered ranges are atomics whose last writer wins.
#include <halvex/halvex.h>

#include <cmath>
#include <iterator>

#include "core/CallFrame.h"
#include "core/Registers.h"
#include "dac/DAC.h"
#include "platform/Guard.h"

namespace halvex {

constinit TBoardTable<TDACRanges> DACRanges;

namespace {

bool ValidChannel(DWORD Ch) { return Ch < DACChannelCount || Ch == DACAllChannels; }

}  // namespace

DWORD CheckDACRangeCode(int32_t& code) {
    if (code == DACRangeUnchanged) return ERROR_HANDLE_EOF;
    if (code >= 0 && code < static_cast<int32_t>(std::size(DACRangeTable))) return ERROR_SUCCESS;
    for (int32_t i = 0; i < static_cast<int32_t>(std::size(DACRangeTable)); ++i) {
        if (static_cast<DWORD>(code) == DACRangeTable[i].Tag) {
            code = i;
            return ERROR_SUCCESS;
        }
    }
    return ERROR_INVALID_PARAMETER;
}

DWORD WriteDACCommand(UINT64 iBoard, DWORD Command, DWORD Channel, DWORD Data) {
    return RegWrite(4, iBoard, DACCommandRegister, board::DacCommandWord(Command, Channel, Data));
}

bool DACVoltsToCounts(double volts, int32_t code, DWORD& counts) {
    if (code < 0 || code >= static_cast<int32_t>(std::size(DACRangeTable))) return false;
    const TDACRange& range = DACRangeTable[code];
    double x = RoundHalfToEven(volts / range.Span * board::kOutputCountsPerSpan);
    if (range.Bipolar) x += board::kOutputCountsPerSpan / 2;
    // Written so that NaN fails too.
    if (!(x >= 0.0 && x <= 65535.0)) return false;
    counts = static_cast<DWORD>(x);
    return true;
}

}  // namespace halvex

using namespace halvex;

extern "C" {

HALVEX_API DWORD WINAPI DAC_SetRange1(UINT64 iBoard, DWORD Ch, DWORD RangeCode) {
    return BoardCall(iBoard, [&]() -> DWORD {
        if (!ValidChannel(Ch)) return ERROR_INVALID_INDEX;
        auto code = static_cast<int32_t>(RangeCode);
        const DWORD checked = CheckDACRangeCode(code);
        if (checked == ERROR_HANDLE_EOF) return ERROR_SUCCESS;
        if (checked != ERROR_SUCCESS) return checked;
        auto& lastRanges = DACRanges[iBoard].Last;
        if (Ch == DACAllChannels) {
            const DWORD written = WriteDACCommand(iBoard, dcRangeAll, 0, static_cast<DWORD>(code));
            for (auto& last : lastRanges) last.store(code);
            return written;
        }
        const DWORD written = WriteDACCommand(iBoard, dcRangeOne, Ch, static_cast<DWORD>(code));
        lastRanges[Ch].store(code);
        return written;
    });
}

HALVEX_API DWORD WINAPI DAC_SetRangeAll(UINT64 iBoard, DWORD Count, const DWORD* Ranges) {
    return BoardCall(iBoard, [&]() -> DWORD {
        if (Count == 0) return ERROR_SUCCESS;
        if (Ranges == nullptr) return ERROR_INVALID_ADDRESS;
        const DWORD given = Count < DACChannelCount ? Count : DACChannelCount;
        int32_t codes[DACChannelCount];
        if (!platform::GuardedLoad(codes, Ranges, given * sizeof(int32_t))) return ERROR_INVALID_ADDRESS;
        // Every entry is checked before the first write, so a bad entry changes nothing.
        for (DWORD i = 0; i < given; ++i) {
            const DWORD checked = CheckDACRangeCode(codes[i]);
            if (checked != ERROR_SUCCESS && checked != ERROR_HANDLE_EOF) return checked;
        }
        for (DWORD i = given; i < DACChannelCount; ++i) codes[i] = codes[given - 1];
        auto& lastRanges = DACRanges[iBoard].Last;
        for (DWORD ch = 0; ch < DACChannelCount; ++ch) {
            if (codes[ch] == DACRangeUnchanged) continue;
            const DWORD written = WriteDACCommand(iBoard, dcRangeOne, ch, static_cast<DWORD>(codes[ch]));
            lastRanges[ch].store(codes[ch]);
            if (written != ERROR_SUCCESS) return written;
        }
        return ERROR_SUCCESS;
    });
}

HALVEX_API DWORD WINAPI DAC_OutputCounts(UINT64 iBoard, DWORD Ch, UINT64 Counts) {
    return BoardCall(iBoard, [&]() -> DWORD {
        if (!ValidChannel(Ch)) return ERROR_INVALID_INDEX;
        // The command word carries 16 bits of data: a larger value would put out a level the
        // caller did not ask for, so it is refused like a voltage outside the range.
        if (Counts > 0xFFFF) return ERROR_INVALID_DATA;
        const auto data = static_cast<DWORD>(Counts);
        if (Ch == DACAllChannels) return WriteDACCommand(iBoard, dcOutputAll, 0, data);
        return WriteDACCommand(iBoard, dcOutputOne, Ch, data);
    });
}

HALVEX_API DWORD WINAPI DAC_OutputV(UINT64 iBoard, DWORD Ch, double Volts) {
    return BoardCall(iBoard, [&]() -> DWORD {
        if (!ValidChannel(Ch)) return ERROR_INVALID_INDEX;
        const DWORD first = Ch == DACAllChannels ? 0 : Ch;
        const DWORD last = Ch == DACAllChannels ? DACChannelCount - 1 : Ch;
        auto& lastRanges = DACRanges[iBoard].Last;
        // Channel by channel, each for its own range; channels already written keep their level
        // when a later one is refused.
        for (DWORD ch = first; ch <= last; ++ch) {
            int32_t code = lastRanges[ch].load();
            if (code == DACRangeUnchanged) code = DACDefaultRange;
            DWORD counts = 0;
            if (!DACVoltsToCounts(Volts, code, counts)) return ERROR_INVALID_DATA;
            if (const DWORD written = WriteDACCommand(iBoard, dcOutputOne, ch, counts)) return written;
        }
        return ERROR_SUCCESS;
    });
}

}  // extern "C"
