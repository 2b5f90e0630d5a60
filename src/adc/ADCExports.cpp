// Analog-input configuration (ranges, rate, channel count, input mode) and immediate reads.
// The board's registers are the only record of the configuration: every change is a
// read-modify-write that keeps what it does not change.
#include <halvex/halvex.h>

#include <algorithm>
#include <array>
#include <cmath>

#include "adc/PackedSample.h"
#include "adc/Sequencer.h"
#include "board/Registers.h"
#include "core/CallFrame.h"
#include "core/Registers.h"
#include "platform/Guard.h"

using namespace halvex;
using halvex::platform::GuardedLoad;
using halvex::platform::GuardedStore;
using halvex::platform::GuardedStoreValue;

namespace {

using namespace halvex::board;

constexpr DWORD kAllFields = 0x11111111u;  // a range code times this fills all eight fields

using TScanArray = std::array<DWORD, 16>;
using TGains = std::array<DWORD, 2>;

bool IsBusy(UINT64 iBoard, DWORD iSequencer) {
    return SequencerOf(iBoard, iSequencer).IsBusy();
}

DWORD ReplaceRangeField(DWORD ranges, DWORD channel, DWORD code) {
    const DWORD shift = 4 * channel;
    return (ranges & ~(0xFu << shift)) | (code & 0xFu) << shift;
}


TScanArray NoSamples() {
    TScanArray scan;
    scan.fill(NoSample);
    return scan;
}

void ZeroSequencerFIFO(UINT64 iBoard, DWORD iSequencer) { RegWrite(4, iBoard, FifoDataRegister(iSequencer), 0); }

// One command per channel to each sequencer's 16-bit start/stop register, under that
// sequencer's lock. The boards answer each command with the previous conversion, so the word
// for channel c arrives one place late and the first word of a sequence is stale.
DWORD GetImmediateScanRaw_Native16(UINT64 iBoard, DWORD* pData, const TGains& Gains) {
    const TScanArray noSamples = NoSamples();
    if (!GuardedStore(pData, noSamples.data(), sizeof noSamples)) return ERROR_INVALID_ADDRESS;
    DWORD* pThisData = pData;
    for (DWORD iSequencer = 0; iSequencer < 2; ++iSequencer) {
        std::array<DWORD, 16> DataRow;
        DataRow.fill(NoSample);
        const DWORD Status = RunUnderSequencerLock(iBoard, iSequencer, [&]() -> DWORD {
            if (IsBusy(iBoard, iSequencer)) return ERROR_BUSY;
            ZeroSequencerFIFO(iBoard, iSequencer);
            const DWORD reg = StartStopRegister(iSequencer);
            WORD ImmediateCmd = static_cast<WORD>(static_cast<WORD>(RegRead(2, iBoard, reg)) & ~kAcquireBit);
            for (DWORD c = 0; c < 8; ++c) {
                const DWORD Range = (Gains[iSequencer] >> (4 * c)) & 0xF;
                ImmediateCmd = static_cast<WORD>((ImmediateCmd & 0x8C7F) | c << 12 | Range << 7);
                RegWrite(2, iBoard, reg, ImmediateCmd);
            }
            // Seven more of channel 7's command push the last real conversions out.
            for (int i = 0; i < 7; ++i) RegWrite(2, iBoard, reg, ImmediateCmd);
            for (DWORD i = 0; i < 15; ++i) DataRow[i] = RegRead(4, iBoard, FifoDataRegister(iSequencer));

            std::array<DWORD, 8> row;
            row.fill(NoSample);
            if (ImmediateCmd & kSingleEndedBit) {
                std::copy_n(DataRow.begin() + 1, 8, row.begin());
            } else {
                for (DWORD j = 0; j < 4; ++j) row[j] = DataRow[1 + 2 * j];
            }
            if (!GuardedStore(pThisData, row.data(), sizeof row)) return ERROR_INVALID_ADDRESS;
            pThisData += 8;
            ZeroSequencerFIFO(iBoard, iSequencer);
            return ERROR_SUCCESS;
        });
        if (Status != ERROR_SUCCESS) {
            GuardedStore(pData, noSamples.data(), sizeof noSamples);
            return Status;
        }
    }
    return ERROR_SUCCESS;
}

// Spins on the performance counter: a sleep would last far longer than 15 µs.
void BusyWaitTicks(LONGLONG Ticks) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const LONGLONG deadline = now.QuadPart + Ticks;
    do {
        QueryPerformanceCounter(&now);
    } while (now.QuadPart - deadline < 0);
}

// One 32-bit command per slot, each given 15 µs to convert before the next (the board drops a
// command that comes sooner); every result lands in sequencer 0's FIFO, in command order.
DWORD GetImmediateScanRaw_Native32(UINT64 iBoard, DWORD* pData, const TGains& Gains) {
    DWORD SeqHigh = 0;
    switch (Devices[iBoard].RegisterMap) {
        case rmLayout1:
        case rmLayout3:
            SeqHigh = 1;
            break;
        case rmLayout2:
            SeqHigh = 0;
            break;
        default:
            return ERROR_BAD_TOKEN_TYPE;
    }
    const TScanArray noSamples = NoSamples();
    const std::size_t filledBytes = (SeqHigh + 1) * 8 * sizeof(DWORD);
    if (!GuardedStore(pData, noSamples.data(), filledBytes)) return ERROR_INVALID_ADDRESS;

    // The commands go through sequencer 0's start/stop register and stop its clock, so they
    // must not run while sequencer 0 acquires or while another thread reconfigures it: the
    // whole scan holds sequencer 0's lock and refuses a busy sequencer.
    return RunUnderSequencerLock(iBoard, 0, [&]() -> DWORD {
        if (IsBusy(iBoard, 0)) return ERROR_BUSY;
        // An acquisition leaves bit 5 set, and a command with bit 5 set converts nothing.
        const DWORD CommandBase =
            (RegRead(4, iBoard, StartStopRegister(0)) | kRunBit | kWideWriteBit) & 0xFFFF8C7F & ~kAcquireBit;
        const bool differential = (CommandBase & kSingleEndedBit) == 0;
        const DWORD ChHigh = differential ? 3 : 7;
        const DWORD ChannelShift = differential ? 13 : 12;

        // The conversion clock stops, as a rate of 0 Hz would stop it.
        RegWrite(4, iBoard, DivisorRegister(0), 0);

        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        const auto Ticks = static_cast<LONGLONG>(RoundHalfToEven(static_cast<double>(frequency.QuadPart) * 15.0 / 1e6));

        for (DWORD s = 0; s <= SeqHigh; ++s) {
            for (DWORD j = 0; j <= ChHigh; ++j) {
                const DWORD range = (Gains[s] >> (4 * j)) & 0xF;
                RegWrite(4, iBoard, StartStopRegister(s), CommandBase | j << ChannelShift | range << 7);
                BusyWaitTicks(Ticks);
            }
        }

        const DWORD wordCount = (SeqHigh + 1) * (ChHigh + 1);
        if (RegRead(4, iBoard, kFifoCountRegister) < wordCount) return ERROR_READ_FAULT;
        for (DWORD s = 0; s <= SeqHigh; ++s) {
            std::array<DWORD, 8> row;
            row.fill(NoSample);
            for (DWORD j = 0; j <= ChHigh; ++j) row[j] = RegRead(4, iBoard, FifoDataRegister(0));
            if (!GuardedStore(pData + 8 * s, row.data(), sizeof row)) return ERROR_INVALID_ADDRESS;
        }
        return ERROR_SUCCESS;
    });
}

// Sets the ranges (or keeps them), then scans both sequencers by the board's immediate method.
// The board index is the caller's to check.
DWORD ImmediateScanRaw(UINT64 iBoard, DWORD* pData, DWORD RangeCode) {
    TGains Gains{};
    if (RangeCode == kKeepRanges) {
        Gains[0] = RegRead(4, iBoard, RangeRegister(0));
        Gains[1] = RegRead(4, iBoard, RangeRegister(1));
    } else {
        if (CheckRangeCode(RangeCode) != ERROR_SUCCESS) return ERROR_INVALID_PARAMETER;
        Gains[0] = Gains[1] = RangeCode * kAllFields;
    }
    // No lock: the new ranges stay in force after the read, for both sequencers.
    RegWrite(4, iBoard, RangeRegister(0), Gains[0]);
    RegWrite(4, iBoard, RangeRegister(1), Gains[1]);
    switch (Devices[iBoard].ImmediateMode) {
        case imNative16:
            return GetImmediateScanRaw_Native16(iBoard, pData, Gains);
        case imNative32:
            return GetImmediateScanRaw_Native32(iBoard, pData, Gains);
        default:
            return ERROR_BAD_DEV_TYPE;
    }
}

// One channel's word of a whole scan. The indices are the caller's to check.
DWORD ImmediateRaw(UINT64 iBoard, DWORD iSequencer, DWORD* pData, DWORD Ch, DWORD RangeCode) {
    if (!GuardedStoreValue<DWORD>(pData, 0)) return ERROR_INVALID_ADDRESS;
    if (Ch >= 8) return ERROR_INVALID_INDEX;
    // A one-row scan never measures sequencer 1: refuse rather than report a zero sample.
    if (iSequencer == 1 && ScanRows(Devices[iBoard].RegisterMap) == 1) return ERROR_BAD_DEV_TYPE;
    TScanArray scan{};
    if (const DWORD r = ImmediateScanRaw(iBoard, scan.data(), RangeCode); r != 0) return r;
    return GuardedStoreValue(pData, scan[8 * iSequencer + Ch]) ? ERROR_SUCCESS : ERROR_INVALID_ADDRESS;
}

}  // namespace

extern "C" {

// ---- Configuration ---------------------------------------------------------------------------

HALVEX_API DWORD WINAPI ADC_SetRange1(UINT64 iBoard, DWORD iSequencer, DWORD Ch, DWORD RangeCode) {
    return SequencerCall(iBoard, iSequencer, [&]() -> DWORD {
        const DWORD check = CheckRangeCode(RangeCode);
        if (check == ERROR_HANDLE_EOF) return ERROR_SUCCESS;
        if (check != ERROR_SUCCESS) return check;
        return RunUnderSequencerLock(iBoard, iSequencer, [&]() -> DWORD {
            if (IsBusy(iBoard, iSequencer)) return ERROR_BUSY;
            const DWORD reg = RangeRegister(iSequencer);
            if (Ch == kAllChannels) return RegWrite(4, iBoard, reg, RangeCode * kAllFields);
            if (Ch >= 8) return ERROR_INVALID_INDEX;
            const DWORD ranges = RegRead(4, iBoard, reg);
            if (const DWORD e = GetLastError(); e != 0) return e;
            return RegWrite(4, iBoard, reg, ReplaceRangeField(ranges, Ch, RangeCode));
        });
    });
}

HALVEX_API DWORD WINAPI ADC_SetRangeAll(UINT64 iBoard, DWORD iSequencer, DWORD RangeCt, const DWORD* pRanges) {
    return SequencerCall(iBoard, iSequencer, [&]() -> DWORD {
        // No entry: nothing to change, as with an entry of -1.
        if (RangeCt == 0) return ERROR_SUCCESS;
        RangeCt = std::min<DWORD>(RangeCt, 8);
        std::array<DWORD, 8> Ranges{};
        if (!GuardedLoad(Ranges.data(), pRanges, RangeCt * sizeof(DWORD))) return ERROR_INVALID_ADDRESS;
        for (DWORD i = 0; i < RangeCt; ++i) {
            if (CheckRangeCode(Ranges[i]) == ERROR_INVALID_PARAMETER) return ERROR_INVALID_PARAMETER;
        }
        std::fill(Ranges.begin() + RangeCt, Ranges.end(), Ranges[RangeCt - 1]);
        return RunUnderSequencerLock(iBoard, iSequencer, [&]() -> DWORD {
            if (IsBusy(iBoard, iSequencer)) return ERROR_BUSY;
            const DWORD reg = RangeRegister(iSequencer);
            DWORD value = RegRead(4, iBoard, reg);
            for (DWORD c = 0; c < 8; ++c) {
                if (Ranges[c] != kKeepRanges) value = ReplaceRangeField(value, c, Ranges[c]);
            }
            return RegWrite(4, iBoard, reg, value);
        });
    });
}

HALVEX_API DWORD WINAPI ADC_SetRate(UINT64 iBoard, DWORD iSequencer, double Hz) {
    return SequencerCall(iBoard, iSequencer, [&]() -> DWORD {
        DWORD Divisor = 0;  // 0 Hz stops the conversion clock
        if (Hz != 0.0) {
            const double quotient = RoundHalfToEven(static_cast<double>(Devices[iBoard].BaseClock) / Hz);
            // Only a divisor the register holds gives the rate asked for: cutting a larger or a
            // negative quotient to 32 bits would set some other rate without a word. NaN fails
            // both tests.
            if (!(quotient >= 1.0 && quotient <= 4294967295.0)) return ERROR_INVALID_DATA;
            Divisor = static_cast<DWORD>(quotient);
        }
        return RunUnderSequencerLock(iBoard, iSequencer, [&]() -> DWORD {
            if (IsBusy(iBoard, iSequencer)) return ERROR_BUSY;
            return RegWrite(4, iBoard, DivisorRegister(iSequencer), Divisor);
        });
    });
}

HALVEX_API DWORD WINAPI ADC_GetRate(UINT64 iBoard, DWORD iSequencer, double* pHz) {
    return SequencerCall(iBoard, iSequencer, [&]() -> DWORD {
        if (!GuardedStoreValue(pHz, 0.0)) return ERROR_INVALID_ADDRESS;
        const DWORD divisor = RegRead(4, iBoard, DivisorRegister(iSequencer));
        if (const DWORD e = GetLastError(); e != 0) return e;
        if (divisor == 0) return ERROR_SUCCESS;
        const double hz = static_cast<double>(Devices[iBoard].BaseClock) / static_cast<double>(divisor);
        return GuardedStoreValue(pHz, hz) ? ERROR_SUCCESS : ERROR_INVALID_ADDRESS;
    });
}

HALVEX_API DWORD WINAPI ADC_SetChannelCount(UINT64 iBoard, DWORD iSequencer, DWORD ChannelCt) {
    return SequencerCall(iBoard, iSequencer, [&]() -> DWORD {
        if (ChannelCt == kAllChannels) ChannelCt = 8;
        if (ChannelCt < 1 || ChannelCt > 8) return ERROR_INVALID_INDEX;
        return RunUnderSequencerLock(iBoard, iSequencer, [&]() -> DWORD {
            if (IsBusy(iBoard, iSequencer)) return ERROR_BUSY;
            const DWORD reg = StartStopRegister(iSequencer);
            const TRegisterMap map = Devices[iBoard].RegisterMap;
            DWORD StartStop = 0;
            if (map == rmLayout1) {
                StartStop = static_cast<WORD>(RegRead(2, iBoard, reg));
            } else if (HasWideStartStop(map)) {
                StartStop = RegRead(4, iBoard, reg) | kWideWriteBit;
            } else {
                return ERROR_INTERNAL_ERROR;
            }
            DWORD hCh = ChannelCt - 1;
            if ((StartStop & kSingleEndedBit) == 0) {
                // Four differential inputs at the even channels: more would not fit the
                // three-bit channel field and would set bit 15 instead.
                if (hCh > 3) return ERROR_INVALID_INDEX;
                hCh *= 2;
            }
            StartStop = (StartStop & ~kChannelField) | hCh << 12;
            return map == rmLayout1 ? RegWrite(2, iBoard, reg, static_cast<WORD>(StartStop))
                                    : RegWrite(4, iBoard, reg, StartStop);
        });
    });
}

HALVEX_API DWORD WINAPI ADC_SetDifferential(UINT64 iBoard, BOOL bDifferential) {
    return BoardCall(iBoard, [&]() -> DWORD {
        return RunUnderBoardLock(iBoard, [&]() -> DWORD {
            if (IsBusy(iBoard, 0) || IsBusy(iBoard, 1)) return ERROR_BUSY;
            const TRegisterMap map = Devices[iBoard].RegisterMap;
            DWORD result = ERROR_SUCCESS;
            for (DWORD s = 0; s < 2; ++s) {
                const DWORD reg = StartStopRegister(s);
                DWORD step = ERROR_BAD_DEV_TYPE;
                if (map == rmLayout1) {
                    DWORD value = static_cast<WORD>(RegRead(2, iBoard, reg));
                    value = bDifferential ? value & ~kSingleEndedBit : value | kSingleEndedBit;
                    step = RegWrite(2, iBoard, reg, static_cast<WORD>(value));
                } else if (HasWideStartStop(map)) {
                    DWORD value = RegRead(4, iBoard, reg) | kWideWriteBit;
                    value = bDifferential ? value & ~kSingleEndedBit : value | kSingleEndedBit;
                    step = RegWrite(4, iBoard, reg, value);
                }
                if (result == ERROR_SUCCESS) result = step;
            }
            return result;
        });
    });
}

// ---- Immediate reads -------------------------------------------------------------------------

HALVEX_API DWORD WINAPI ADC_GetImmediateScanRaw(UINT64 iBoard, DWORD* pData, DWORD RangeCode) {
    return BoardCall(iBoard, [&] { return ImmediateScanRaw(iBoard, pData, RangeCode); });
}

HALVEX_API DWORD WINAPI ADC_GetImmediateScanV(UINT64 iBoard, double* pV, DWORD RangeCode) {
    return BoardCall(iBoard, [&]() -> DWORD {
        const DWORD slots = 8 * ScanRows(Devices[iBoard].RegisterMap);
        if (slots == 0) return ERROR_BAD_TOKEN_TYPE;
        std::array<double, 16> volts;
        volts.fill(NaNVolts());
        if (!GuardedStore(pV, volts.data(), slots * sizeof(double))) return ERROR_INVALID_ADDRESS;
        TScanArray scan{};
        std::fill_n(scan.begin(), slots, NoSample);
        if (const DWORD r = ImmediateScanRaw(iBoard, scan.data(), RangeCode); r != 0) return r;
        for (DWORD i = 0; i < slots; ++i) volts[i] = PackedSampleToVolts(scan[i]);
        return GuardedStore(pV, volts.data(), slots * sizeof(double)) ? ERROR_SUCCESS : ERROR_INVALID_ADDRESS;
    });
}

HALVEX_API DWORD WINAPI ADC_GetImmediateRaw(UINT64 iBoard, DWORD iSequencer, DWORD* pData, DWORD Ch,
                                            DWORD RangeCode) {
    return SequencerCall(iBoard, iSequencer, [&] { return ImmediateRaw(iBoard, iSequencer, pData, Ch, RangeCode); });
}

HALVEX_API DWORD WINAPI ADC_GetImmediateV(UINT64 iBoard, DWORD iSequencer, double* pV, DWORD Ch, DWORD RangeCode) {
    return ExportBoundary([&]() -> DWORD {
        // The result is tried before the indices: an unusable pointer wins over a bad index.
        if (!GuardedStoreValue(pV, NaNVolts())) return ERROR_INVALID_ADDRESS;
        if (const DWORD check = CheckSequencerIndex(iBoard, iSequencer)) return check;
        DWORD word = 0;
        if (const DWORD r = ImmediateRaw(iBoard, iSequencer, &word, Ch, RangeCode); r != 0) return r;
        return GuardedStoreValue(pV, PackedSampleToVolts(word)) ? ERROR_SUCCESS : ERROR_INVALID_ADDRESS;
    });
}

}  // extern "C"
