// The sim API of DMA: the ping-pong requests as they pend and the engine that fills them.
#include <halvex/sim_c.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

#include "sim/Board.h"
#include "sim/Bus.h"
#include "sim/DmaEngine.h"
#include "sim/DmaPiong.h"
#include "sim/api/SimCall.h"

using namespace halvex::sim;
using halvex::platform::CanStore;
using halvex::platform::GuardedLoad;
using halvex::platform::GuardedStore;
using halvex::platform::GuardedStoreValue;

namespace {

struct DmaOf : ModelOf<DmaPiongModel> {
    explicit DmaOf(UINT64 position) : ModelOf(Position(position), "board without DMA ping-pong requests") {}
};

template <typename Use>
auto WithEngine(UINT64 position, Use&& use) {
    ModelOf<DmaEngineModel> target(Position(position), "the board has no DMA engine");
    std::unique_lock lock(target.board->mutex);
    return use(*target.model, lock);
}

DWORD Reached(bool reached) { return reached ? DWORD{ERROR_SUCCESS} : DWORD{WAIT_TIMEOUT}; }

}  // namespace

// ---- Ping-pong requests ----------------------------------------------------------------------

extern "C" HALVEX_SIM_C_API DWORD HXSIM_GetPendingDmaRequests(UINT64 iBoard, UINT64* pCount) {
    return SimCall([&] {
        UINT64 count = 0;
        {
            DmaOf target(iBoard);
            std::lock_guard lock(target.board->mutex);
            count = target.model->PendingData().size();
        }
        return Stored(GuardedStoreValue(pCount, count));
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_AwaitDmaRequests(UINT64 iBoard, UINT64 Count, DWORD TimeoutMs) {
    return SimCall([&] {
        DmaOf target(iBoard);
        std::unique_lock lock(target.board->mutex);
        return Reached(target.model->pendingChanged.wait_for(
            lock, std::chrono::milliseconds(TimeoutMs), [&] { return target.model->PendingData().size() >= Count; }));
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_CompleteDmaRequest(UINT64 iBoard, const BYTE* pData, UINT64 Bytes) {
    return SimCall([&]() -> DWORD {
        std::vector<uint8_t> data(static_cast<std::size_t>(Bytes));
        if (Bytes != 0 && !GuardedLoad(data.data(), pData, data.size())) return ERROR_INVALID_ADDRESS;
        DmaOf target(iBoard);
        std::lock_guard lock(target.board->mutex);
        const bool completed = target.model->CompleteOldest([&data](uint8_t* out, DWORD outSize) {
            const DWORD bytes = static_cast<DWORD>(std::min<std::size_t>(outSize, data.size()));
            if (bytes != 0) std::memcpy(out, data.data(), bytes);
            return CompletionResult{ERROR_SUCCESS, bytes};
        });
        return completed ? DWORD{ERROR_SUCCESS} : DWORD{ERROR_NOT_FOUND};
    });
}

// ---- The engine ------------------------------------------------------------------------------

extern "C" HALVEX_SIM_C_API DWORD HXSIM_SetDmaPacing(UINT64 iBoard, DWORD Pacing) {
    return SimCall([&]() -> DWORD {
        if (Pacing != HXSIM_PACING_REAL_TIME && Pacing != HXSIM_PACING_FREE_RUNNING) return ERROR_INVALID_PARAMETER;
        const DmaPacing pacing = Pacing == HXSIM_PACING_REAL_TIME ? DmaPacing::RealTime : DmaPacing::FreeRunning;
        WithEngine(iBoard, [&](DmaEngineModel& engine, auto&) { engine.SetPacing(pacing); });
        return ERROR_SUCCESS;
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_SetStreamIndexSource(UINT64 iBoard, BOOL On) {
    return SimCall([&] { WithEngine(iBoard, [&](DmaEngineModel& engine, auto&) { engine.SetIndexSource(On != FALSE); }); });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_SetStreamFifoDepth(UINT64 iBoard, UINT64 Samples) {
    return SimCall([&] {
        WithEngine(iBoard,
                   [&](DmaEngineModel& engine, auto&) { engine.SetFifoDepth(static_cast<std::size_t>(Samples)); });
    });
}

// Members in order with no padding, so a caller's Size cuts the structure between members or
// inside one, never inside a gap.
static_assert(sizeof(HXSIM_STREAM_STATUS) == 4 * sizeof(DWORD) + 6 * sizeof(UINT64));
static_assert(offsetof(HXSIM_STREAM_STATUS, Runs) == 4 * sizeof(DWORD));

extern "C" HALVEX_SIM_C_API DWORD HXSIM_GetStreamStatus(UINT64 iBoard, HXSIM_STREAM_STATUS* pStatus) {
    return SimCall([&]() -> DWORD {
        DWORD size = 0;
        if (!GuardedLoad(&size, pStatus, sizeof size)) return ERROR_INVALID_ADDRESS;
        if (size < sizeof(DWORD)) return ERROR_INVALID_PARAMETER;
        const StreamStatus status = WithEngine(iBoard, [&](DmaEngineModel& engine, auto&) {
            engine.CatchUp();
            return engine.Status();
        });

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
        if (fits == kFirst) return ERROR_SUCCESS;
        auto* target = reinterpret_cast<unsigned char*>(pStatus) + kFirst;
        const auto* source = reinterpret_cast<const unsigned char*>(&full) + kFirst;
        if (!CanStore(target, fits - kFirst) || !GuardedStore(target, source, fits - kFirst)) {
            return ERROR_INVALID_ADDRESS;
        }
        return ERROR_SUCCESS;
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_AwaitStreamRunning(UINT64 iBoard, BOOL Running, DWORD TimeoutMs) {
    return SimCall([&] {
        return Reached(WithEngine(iBoard, [&](DmaEngineModel& engine, std::unique_lock<std::mutex>& lock) {
            return engine.Changed().wait_for(lock, std::chrono::milliseconds(TimeoutMs),
                                             [&] { return engine.Status().running == (Running != FALSE); });
        }));
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_AwaitStreamStops(UINT64 iBoard, UINT64 Stops, DWORD TimeoutMs) {
    return SimCall([&] {
        return Reached(WithEngine(iBoard, [&](DmaEngineModel& engine, std::unique_lock<std::mutex>& lock) {
            return engine.Changed().wait_for(lock, std::chrono::milliseconds(TimeoutMs),
                                             [&] { return engine.Status().stops >= Stops; });
        }));
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_GetDmaCompletionTimes(UINT64 iBoard, INT64* pTimes, UINT64 MaxTimes,
                                                              UINT64* pCount) {
    return SimCall([&] {
        const std::vector<int64_t> times =
            WithEngine(iBoard, [&](DmaEngineModel& engine, auto&) { return engine.CompletionTimes(); });
        static_assert(sizeof(INT64) == sizeof(int64_t));
        return StoreList<INT64>({reinterpret_cast<const INT64*>(times.data()), times.size()}, pTimes, MaxTimes, pCount);
    });
}
