// The sim API of DMA: the ping-pong requests as they pend and the engine that fills them.
#include <halvex/sim.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>

#include "sim/Board.h"
#include "sim/Bus.h"
#include "sim/DmaEngine.h"
#include "sim/DmaPiong.h"

namespace halvex::sim {
namespace {

struct DmaOf : ModelOf<DmaPiongModel> {
    explicit DmaOf(std::size_t position) : ModelOf(position, "board without DMA ping-pong requests") {}
};

template <typename Use>
auto WithEngine(std::size_t position, Use&& use) {
    ModelOf<DmaEngineModel> target(position, "the board has no DMA engine");
    std::unique_lock lock(target.board->mutex);
    return use(*target.model, lock);
}

}  // namespace

// ---- Ping-pong requests ----------------------------------------------------------------------

std::size_t PendingDmaRequests(std::size_t board) {
    DmaOf target(board);
    std::lock_guard lock(target.board->mutex);
    return target.model->PendingData().size();
}

bool AwaitDmaRequests(std::size_t board, std::size_t count, DWORD timeoutMs) {
    DmaOf target(board);
    std::unique_lock lock(target.board->mutex);
    return target.model->pendingChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                                  [&] { return target.model->PendingData().size() >= count; });
}

bool CompleteDmaRequest(std::size_t board, const std::vector<uint8_t>& data) {
    DmaOf target(board);
    std::lock_guard lock(target.board->mutex);
    return target.model->CompleteOldest([&data](uint8_t* out, DWORD outSize) {
        const DWORD bytes = std::min<DWORD>(outSize, static_cast<DWORD>(data.size()));
        if (bytes != 0) std::memcpy(out, data.data(), bytes);
        return CompletionResult{ERROR_SUCCESS, bytes};
    });
}

// ---- The engine ------------------------------------------------------------------------------

void SetDmaPacing(std::size_t board, DmaPacing pacing) {
    WithEngine(board, [&](DmaEngineModel& engine, auto&) { engine.SetPacing(pacing); });
}

void SetStreamIndexSource(std::size_t board, bool on) {
    WithEngine(board, [&](DmaEngineModel& engine, auto&) { engine.SetIndexSource(on); });
}

void SetStreamFifoDepth(std::size_t board, std::size_t samples) {
    WithEngine(board, [&](DmaEngineModel& engine, auto&) { engine.SetFifoDepth(samples); });
}

StreamStatus StreamStatusOf(std::size_t board) {
    return WithEngine(board, [&](DmaEngineModel& engine, auto&) {
        engine.CatchUp();
        return engine.Status();
    });
}

bool AwaitStreamRunning(std::size_t board, bool running, DWORD timeoutMs) {
    return WithEngine(board, [&](DmaEngineModel& engine, std::unique_lock<std::mutex>& lock) {
        return engine.Changed().wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                         [&] { return engine.Status().running == running; });
    });
}

bool AwaitStreamStops(std::size_t board, uint64_t stops, DWORD timeoutMs) {
    return WithEngine(board, [&](DmaEngineModel& engine, std::unique_lock<std::mutex>& lock) {
        return engine.Changed().wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                         [&] { return engine.Status().stops >= stops; });
    });
}

std::vector<int64_t> DmaCompletionTimes(std::size_t board) {
    return WithEngine(board, [&](DmaEngineModel& engine, auto&) { return engine.CompletionTimes(); });
}

}  // namespace halvex::sim
