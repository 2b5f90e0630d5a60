#include "adc/ChunkSupply.h"

#include <chrono>

#include "platform/Prefault.h"

namespace halvex {

void TChunkSupply::Recycle(void* chunk) {
    if (EmptyChunkPool.PushLastWithin(chunk, HighWater)) {
        beyondSince_.store(0, std::memory_order_relaxed);
        return;
    }
    if (RunEnded.load()) {
        FreeChunk(chunk);
        FreeBeyondHighWater();
        return;
    }
    EmptyChunkPool.PushLast(chunk);
    // Never 0, which means within the mark.
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch()).count() | 1;
    int64_t since = 0;
    if (beyondSince_.compare_exchange_strong(since, now, std::memory_order_relaxed)) return;
    if (now - since < kSpareHoldMs) return;
    beyondSince_.store(0, std::memory_order_relaxed);
    FreeBeyondHighWater();
}

void TChunkSupply::FreeBeyondHighWater() {
    while (EmptyChunkPool.Count() > HighWater) {
        void* spare = EmptyChunkPool.PopFirst();
        if (spare == nullptr) break;
        FreeChunk(spare);
    }
}

TPoolFillThread::TPoolFillThread(std::shared_ptr<TChunkSupply> supply)
    : supply_(std::move(supply)),
      fillEvent_(Required(CreateEventW(nullptr, FALSE, TRUE, nullptr))),
      thread_([this] { Body(); }, [this] { Ask(); }) {
    thread_.Start();
}

void TPoolFillThread::Body() {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
    TChunkPool& pool = supply_->EmptyChunkPool;
    do {
        while (!thread_.StopRequested() && pool.Count() < supply_->ReserveChunks) {
            void* block = AllocChunk(supply_->ChunkSize);
            if (block == nullptr) break;
            // Faulted in here, so the driver's first write into it does not.
            platform::Prefault(block, supply_->ChunkSize);
            SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
            try {
                pool.PushLast(block);
            } catch (...) {
                FreeChunk(block);
                throw;
            }
            SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
        }
        WaitForSingleObject(fillEvent_.Get(), INFINITE);
    } while (!thread_.StopRequested());
}

}  // namespace halvex
