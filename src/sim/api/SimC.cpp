// The C interface to the simulator: the C++ sim API behind one boundary that turns what it
// throws into codes, and caller pointers reached only through the guard.
#include <halvex/sim.h>
#include <halvex/sim_c.h>

#include <cmath>
#include <cstddef>
#include <new>
#include <stdexcept>

#include "platform/Contain.h"
#include "platform/ForcedUnwind.h"
#include "platform/Guard.h"

using namespace halvex::sim;
using halvex::platform::CanStore;
using halvex::platform::GuardedLoad;
using halvex::platform::GuardedStore;
using halvex::platform::GuardedStoreValue;

namespace {

// The sim API reports a board, sequencer or channel that is not there as out_of_range, and an
// argument it cannot take as invalid_argument. The caller's last error is kept: a C caller reads
// it for the library's calls, not ours.
template <typename Body>
DWORD SimCall(Body&& body) noexcept {
    const DWORD lastError = GetLastError();
    DWORD result = ERROR_INTERNAL_ERROR;
    auto guarded = [&] {
        try {
            result = body();
        } catch (const std::out_of_range&) {
            result = ERROR_INVALID_INDEX;
        } catch (const std::invalid_argument&) {
            result = ERROR_INVALID_PARAMETER;
        } catch (const std::bad_alloc&) {
            result = ERROR_NOT_ENOUGH_MEMORY;
        } catch (...) {
            if (halvex::platform::ForcedUnwinding()) throw;
            result = ERROR_INTERNAL_ERROR;
        }
    };
    if (!halvex::platform::RunContainedBody(guarded)) result = ERROR_INTERNAL_ERROR;
    SetLastError(lastError);
    return result;
}

static_assert(sizeof(std::size_t) == sizeof(UINT64), "board positions pass through unchanged");
std::size_t Position(UINT64 board) { return static_cast<std::size_t>(board); }

// Optional results: null means not wanted; anything else must take the store.
bool Writable(void* p, std::size_t size) { return p == nullptr || CanStore(p, size); }

template <typename T>
bool StoreIfWanted(T* p, const T& value) {
    return p == nullptr || GuardedStoreValue(p, value);
}

}  // namespace

// ---- The bus --------------------------------------------------------------------------------

extern "C" HALVEX_SIM_C_API DWORD HXSIM_ResetBus(void) {
    return SimCall([] {
        Reset();
        return DWORD{ERROR_SUCCESS};
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_AddBoard(DWORD DeviceId, DWORD Firmware, DWORD BaseClock, DWORD TransferBytes,
                                                 UINT64* pBoard) {
    return SimCall([&] {
        // Checked first, so a failure adds no board.
        if (!Writable(pBoard, sizeof *pBoard)) return DWORD{ERROR_INVALID_ADDRESS};
        BoardSetup setup;
        setup.deviceId = DeviceId;
        setup.firmware = Firmware;
        if (BaseClock != 0) setup.baseClock = BaseClock;
        if (TransferBytes != 0) setup.transferBytes = TransferBytes;
        const UINT64 position = AddBoard(setup);
        return StoreIfWanted(pBoard, position) ? DWORD{ERROR_SUCCESS} : DWORD{ERROR_INVALID_ADDRESS};
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_UseDefaultBoards(void) {
    return SimCall([] {
        UseDefaultBoards();
        return DWORD{ERROR_SUCCESS};
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_UseEnvironmentBoards(void) {
    return SimCall([] { return UseEnvironmentBoards() ? DWORD{ERROR_SUCCESS} : DWORD{ERROR_INVALID_DATA}; });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_GetBoardCount(UINT64* pCount) {
    return SimCall([&] {
        const UINT64 count = BoardCount();
        return GuardedStoreValue(pCount, count) ? DWORD{ERROR_SUCCESS} : DWORD{ERROR_INVALID_ADDRESS};
    });
}

// ---- Analog inputs --------------------------------------------------------------------------

static_assert(HXSIM_SOURCE_CONSTANT == static_cast<int>(InputSourceKind::Constant) &&
              HXSIM_SOURCE_SINE == static_cast<int>(InputSourceKind::Sine) &&
              HXSIM_SOURCE_SQUARE == static_cast<int>(InputSourceKind::Square) &&
              HXSIM_SOURCE_RAMP == static_cast<int>(InputSourceKind::Ramp) &&
              HXSIM_SOURCE_NOISE == static_cast<int>(InputSourceKind::Noise) &&
              HXSIM_SOURCE_LOOPBACK == static_cast<int>(InputSourceKind::AnalogOutput));

extern "C" HALVEX_SIM_C_API DWORD HXSIM_SetInputSource(UINT64 iBoard, DWORD Sequencer, DWORD Channel, DWORD Kind,
                                                       double Volts, double Amplitude, double Hertz, DWORD Output) {
    return SimCall([&] {
        if (Kind > HXSIM_SOURCE_LOOPBACK) return DWORD{ERROR_INVALID_PARAMETER};
        if (!std::isfinite(Volts) || !std::isfinite(Amplitude) || !std::isfinite(Hertz)) {
            return DWORD{ERROR_INVALID_PARAMETER};
        }
        InputSource source;
        source.kind = static_cast<InputSourceKind>(Kind);
        source.volts = Volts;
        source.amplitude = Amplitude;
        source.hertz = Hertz;
        source.output = Output;
        SetInputSource(Position(iBoard), Sequencer, Channel, source);
        return DWORD{ERROR_SUCCESS};
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_GetInputSource(UINT64 iBoard, DWORD Sequencer, DWORD Channel, DWORD* pKind,
                                                       double* pVolts, double* pAmplitude, double* pHertz,
                                                       DWORD* pOutput) {
    return SimCall([&] {
        const InputSource source = InputSourceOf(Position(iBoard), Sequencer, Channel);
        if (!Writable(pKind, sizeof *pKind) || !Writable(pVolts, sizeof *pVolts) ||
            !Writable(pAmplitude, sizeof *pAmplitude) || !Writable(pHertz, sizeof *pHertz) ||
            !Writable(pOutput, sizeof *pOutput)) {
            return DWORD{ERROR_INVALID_ADDRESS};
        }
        const bool stored = StoreIfWanted(pKind, static_cast<DWORD>(source.kind)) &&
                            StoreIfWanted(pVolts, source.volts) && StoreIfWanted(pAmplitude, source.amplitude) &&
                            StoreIfWanted(pHertz, source.hertz) && StoreIfWanted(pOutput, DWORD{source.output});
        return stored ? DWORD{ERROR_SUCCESS} : DWORD{ERROR_INVALID_ADDRESS};
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_SetCommandSpacing(UINT64 iBoard, double Microseconds) {
    return SimCall([&] {
        SetCommandSpacing(Position(iBoard), Microseconds);
        return DWORD{ERROR_SUCCESS};
    });
}

// ---- Injected failures ----------------------------------------------------------------------

static_assert(HXSIM_FAIL_NOW == static_cast<int>(FailKind::Now) &&
              HXSIM_FAIL_SHORT == static_cast<int>(FailKind::Short) &&
              HXSIM_FAIL_PEND_FOREVER == static_cast<int>(FailKind::PendForever));

extern "C" HALVEX_SIM_C_API DWORD HXSIM_FailRequests(UINT64 iBoard, DWORD ControlCode, DWORD Kind, DWORD LastError,
                                                     DWORD Bytes, LONG Count) {
    return SimCall([&] {
        if (Kind > HXSIM_FAIL_PEND_FOREVER || Count < -1) return DWORD{ERROR_INVALID_PARAMETER};
        Failure failure;
        failure.kind = static_cast<FailKind>(Kind);
        failure.lastError = LastError;
        failure.bytes = Bytes;
        failure.count = static_cast<int>(Count);
        FailRequests(Position(iBoard), ControlCode, failure);
        return DWORD{ERROR_SUCCESS};
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_ClearFailures(UINT64 iBoard) {
    return SimCall([&] {
        ClearFailures(Position(iBoard));
        return DWORD{ERROR_SUCCESS};
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_FailOpen(UINT64 iBoard, DWORD LastError) {
    return SimCall([&] {
        FailOpen(Position(iBoard), LastError);
        return DWORD{ERROR_SUCCESS};
    });
}

// ---- Registers ------------------------------------------------------------------------------

extern "C" HALVEX_SIM_C_API DWORD HXSIM_SetRegister(UINT64 iBoard, DWORD Offset, DWORD Value, DWORD Width) {
    return SimCall([&] {
        SetRegister(Position(iBoard), Offset, Value, Width);
        return DWORD{ERROR_SUCCESS};
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_GetRegister(UINT64 iBoard, DWORD Offset, DWORD Width, DWORD* pValue) {
    return SimCall([&] {
        const DWORD value = GetRegister(Position(iBoard), Offset, Width);
        return GuardedStoreValue(pValue, value) ? DWORD{ERROR_SUCCESS} : DWORD{ERROR_INVALID_ADDRESS};
    });
}

// ---- Analog outputs and the interrupt -------------------------------------------------------

extern "C" HALVEX_SIM_C_API DWORD HXSIM_GetAnalogOutput(UINT64 iBoard, DWORD Channel, DWORD* pRangeCode,
                                                        DWORD* pCounts, double* pVolts) {
    return SimCall([&] {
        const std::size_t board = Position(iBoard);
        const DWORD range = AnalogOutputRange(board, Channel);
        const DWORD counts = AnalogOutputCounts(board, Channel);
        const double volts = AnalogOutputVolts(board, Channel);
        if (!Writable(pRangeCode, sizeof *pRangeCode) || !Writable(pCounts, sizeof *pCounts) ||
            !Writable(pVolts, sizeof *pVolts)) {
            return DWORD{ERROR_INVALID_ADDRESS};
        }
        const bool stored =
            StoreIfWanted(pRangeCode, range) && StoreIfWanted(pCounts, counts) && StoreIfWanted(pVolts, volts);
        return stored ? DWORD{ERROR_SUCCESS} : DWORD{ERROR_INVALID_ADDRESS};
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_RaiseInterrupt(UINT64 iBoard) {
    return SimCall([&] {
        RaiseInterrupt(Position(iBoard));
        return DWORD{ERROR_SUCCESS};
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_SetInterruptCompletion(UINT64 iBoard, DWORD Satisfied, DWORD Aborted) {
    return SimCall([&] {
        SetInterruptCompletion(Position(iBoard), Satisfied, Aborted);
        return DWORD{ERROR_SUCCESS};
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_IgnoreInterruptAbort(UINT64 iBoard, BOOL Ignore) {
    return SimCall([&] {
        IgnoreInterruptAbort(Position(iBoard), Ignore != FALSE);
        return DWORD{ERROR_SUCCESS};
    });
}

// ---- Streaming ------------------------------------------------------------------------------

extern "C" HALVEX_SIM_C_API DWORD HXSIM_SetDmaPacing(UINT64 iBoard, DWORD Pacing) {
    return SimCall([&] {
        if (Pacing != HXSIM_PACING_REAL_TIME && Pacing != HXSIM_PACING_FREE_RUNNING) {
            return DWORD{ERROR_INVALID_PARAMETER};
        }
        SetDmaPacing(Position(iBoard),
                     Pacing == HXSIM_PACING_REAL_TIME ? DmaPacing::RealTime : DmaPacing::FreeRunning);
        return DWORD{ERROR_SUCCESS};
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_SetStreamIndexSource(UINT64 iBoard, BOOL On) {
    return SimCall([&] {
        SetStreamIndexSource(Position(iBoard), On != FALSE);
        return DWORD{ERROR_SUCCESS};
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_SetStreamFifoDepth(UINT64 iBoard, UINT64 Samples) {
    return SimCall([&] {
        SetStreamFifoDepth(Position(iBoard), static_cast<std::size_t>(Samples));
        return DWORD{ERROR_SUCCESS};
    });
}

// Members in order with no padding, so a caller's Size cuts the structure between members or
// inside one, never inside a gap.
static_assert(sizeof(HXSIM_STREAM_STATUS) == 4 * sizeof(DWORD) + 6 * sizeof(UINT64));
static_assert(offsetof(HXSIM_STREAM_STATUS, Runs) == 4 * sizeof(DWORD));

extern "C" HALVEX_SIM_C_API DWORD HXSIM_GetStreamStatus(UINT64 iBoard, HXSIM_STREAM_STATUS* pStatus) {
    return SimCall([&] {
        DWORD size = 0;
        if (!GuardedLoad(&size, pStatus, sizeof size)) return DWORD{ERROR_INVALID_ADDRESS};
        if (size < sizeof(DWORD)) return DWORD{ERROR_INVALID_PARAMETER};
        const StreamStatus status = StreamStatusOf(Position(iBoard));

        HXSIM_STREAM_STATUS full{};
        full.Size = size;
        full.Armed = status.armed ? TRUE : FALSE;
        full.Running = status.running ? TRUE : FALSE;
        full.Runs = status.runs;
        full.Stops = status.stops;
        full.Delivered = status.delivered;
        full.Overruns = status.overruns;
        full.Fifo = status.fifo;
        full.Completed = status.completed;

        // Whole members only, and nothing at all unless every one of them can be stored.
        constexpr std::size_t kMemberEnds[] = {
            offsetof(HXSIM_STREAM_STATUS, Running),   offsetof(HXSIM_STREAM_STATUS, Reserved),
            offsetof(HXSIM_STREAM_STATUS, Runs),      offsetof(HXSIM_STREAM_STATUS, Stops),
            offsetof(HXSIM_STREAM_STATUS, Delivered), offsetof(HXSIM_STREAM_STATUS, Overruns),
            offsetof(HXSIM_STREAM_STATUS, Fifo),      offsetof(HXSIM_STREAM_STATUS, Completed),
            sizeof(HXSIM_STREAM_STATUS)};
        constexpr std::size_t kFirst = offsetof(HXSIM_STREAM_STATUS, Armed);
        std::size_t fits = kFirst;
        for (std::size_t end : kMemberEnds) {
            if (end <= size) fits = end;
        }
        if (fits == kFirst) return DWORD{ERROR_SUCCESS};
        auto* target = reinterpret_cast<unsigned char*>(pStatus) + kFirst;
        const auto* source = reinterpret_cast<const unsigned char*>(&full) + kFirst;
        if (!CanStore(target, fits - kFirst) || !GuardedStore(target, source, fits - kFirst)) {
            return DWORD{ERROR_INVALID_ADDRESS};
        }
        return DWORD{ERROR_SUCCESS};
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_AwaitStreamStops(UINT64 iBoard, UINT64 Stops, DWORD TimeoutMs) {
    return SimCall([&] {
        return AwaitStreamStops(Position(iBoard), Stops, TimeoutMs) ? DWORD{ERROR_SUCCESS} : DWORD{WAIT_TIMEOUT};
    });
}
