// The sim API of the analog outputs and the interrupt.
#include <halvex/sim_c.h>

#include <chrono>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "sim/AnalogOutput.h"
#include "sim/Board.h"
#include "sim/Bus.h"
#include "sim/Interrupt.h"
#include "sim/api/SimCall.h"

using namespace halvex::sim;

namespace {

struct InterruptOf : ModelOf<InterruptModel> {
    explicit InterruptOf(UINT64 position) : ModelOf(Position(position), "board without an interrupt") {}
};

}  // namespace

extern "C" HALVEX_SIM_C_API DWORD HXSIM_GetAnalogOutput(UINT64 iBoard, DWORD Channel, DWORD* pRangeCode,
                                                        DWORD* pCounts, double* pVolts) {
    return SimCall([&]() -> DWORD {
        if (Channel >= AnalogOutputModel::kChannels) throw std::out_of_range("a board has four analog outputs");
        DWORD range = 0, counts = 0;
        double volts = 0.0;
        {
            ModelOf<AnalogOutputModel> target(Position(iBoard), "board without analog outputs");
            std::lock_guard lock(target.board->mutex);
            range = target.model->Range(Channel);
            counts = target.model->Counts(Channel);
            volts = target.board->analogOutputVolts[Channel];
        }
        if (!Writable(pRangeCode, sizeof *pRangeCode) || !Writable(pCounts, sizeof *pCounts) ||
            !Writable(pVolts, sizeof *pVolts)) {
            return ERROR_INVALID_ADDRESS;
        }
        return Stored(StoreIfWanted(pRangeCode, range) && StoreIfWanted(pCounts, counts) && StoreIfWanted(pVolts, volts));
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_RaiseInterrupt(UINT64 iBoard) {
    return SimCall([&] {
        InterruptOf target(iBoard);
        std::lock_guard lock(target.board->mutex);
        target.model->Raise();
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_SetInterruptCompletion(UINT64 iBoard, DWORD Satisfied, DWORD Aborted) {
    return SimCall([&] {
        InterruptOf target(iBoard);
        std::lock_guard lock(target.board->mutex);
        target.model->SetCompletionCodes(Satisfied, Aborted);
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_IgnoreInterruptAbort(UINT64 iBoard, BOOL Ignore) {
    return SimCall([&] {
        InterruptOf target(iBoard);
        std::lock_guard lock(target.board->mutex);
        target.model->IgnoreAbort(Ignore != FALSE);
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_GetPendingInterruptWaits(UINT64 iBoard, UINT64* pCount) {
    return SimCall([&] {
        UINT64 count = 0;
        {
            InterruptOf target(iBoard);
            std::lock_guard lock(target.board->mutex);
            count = target.model->PendingWaits();
        }
        return Stored(halvex::platform::GuardedStoreValue(pCount, count));
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_AwaitInterruptWaits(UINT64 iBoard, UINT64 Count, DWORD TimeoutMs) {
    return SimCall([&] {
        InterruptOf target(iBoard);
        std::unique_lock lock(target.board->mutex);
        const bool reached = target.model->waitsChanged.wait_for(
            lock, std::chrono::milliseconds(TimeoutMs), [&] { return target.model->PendingWaits() >= Count; });
        return reached ? DWORD{ERROR_SUCCESS} : DWORD{WAIT_TIMEOUT};
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_GetInterruptWaitEvents(UINT64 iBoard, HANDLE* pEvents, UINT64 MaxEvents,
                                                               UINT64* pCount) {
    return SimCall([&] {
        std::vector<HANDLE> events;
        {
            InterruptOf target(iBoard);
            std::lock_guard lock(target.board->mutex);
            events = target.model->WaitEvents();
        }
        return StoreList<HANDLE>(events, pEvents, MaxEvents, pCount);
    });
}

// Without the board mutex: stopping joins the timer thread, which takes it.
extern "C" HALVEX_SIM_C_API DWORD HXSIM_StartInterruptTimer(UINT64 iBoard, DWORD PeriodMs) {
    return SimCall([&] { InterruptOf(iBoard).model->StartTimer(PeriodMs); });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_StopInterruptTimer(UINT64 iBoard) {
    return SimCall([&] { InterruptOf(iBoard).model->StopTimer(); });
}
