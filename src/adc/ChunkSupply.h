// The empty chunks of one run: a pool the transfers take from and the callback delivery gives
// back to, and the fill thread that keeps a small reserve in it, allocated and touched in
// advance, so the time-critical transfer loop neither allocates nor faults.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "adc/AcquireRun.h"
#include "adc/ChunkPool.h"
#include "core/DeviceTable.h"
#include "core/WorkerThread.h"

namespace halvex {

// Shared by a run's acquisition, its fill thread and its callback delivery, which may still
// be draining after the acquisition is gone.
//
// The empty pool's marks: the fill thread tops it up to ReserveChunks; the acquisition asks
// for that once a take leaves fewer than LowWater; the chunks beyond HighWater go back to the
// heap, so memory returns to its steady state after a backlog. Not at once while the run goes:
// a callback that falls behind now and then would have its chunks freed after every backlog
// and allocated (and faulted in) again for the next. They go once the pool has held more than
// HighWater for kSpareHoldMs, or as soon as the run has ended. Large chunks keep a smaller
// reserve.
struct TChunkSupply {
    // Throws std::bad_alloc when its event cannot be created.
    explicit TChunkSupply(DWORD chunkSize)
        : ChunkSize(chunkSize),
          ReserveChunks(chunkSize > kLargeChunkBytes ? 2 : 4),
          LowWater(ReserveChunks / 2),
          HighWater(ReserveChunks + 2),
          CallbackGoneEvent(Required(CreateEventW(nullptr, TRUE, FALSE, nullptr))) {}
    // Back to the empty pool; beyond the high-water mark, to the heap as described above.
    void Recycle(void* chunk);

    static constexpr DWORD kLargeChunkBytes = 4u << 20;
    static constexpr int64_t kSpareHoldMs = 50;
    const DWORD ChunkSize;
    const std::size_t ReserveChunks;
    const std::size_t LowWater;
    const std::size_t HighWater;
    TChunkPool EmptyChunkPool;  // no semaphore; reused last in, first out
    std::atomic<bool> RunEnded{false};
    // Set, with its manual-reset event, when the callback's thread was ended under the run (a
    // runtime unwinding it, or a fault): nobody takes the chunks any more, so the run ends.
    std::atomic<bool> CallbackGone{false};
    TOwnedHandle CallbackGoneEvent;

private:
    // Frees the spare chunks beyond the high-water mark, coldest first.
    void FreeBeyondHighWater();

    // Milliseconds on the steady clock when the pool went beyond the high-water mark; 0 while
    // within it.
    std::atomic<int64_t> beyondSince_{0};
};

class TPoolFillThread {
public:
    // Starts at once. Throws std::bad_alloc when its event cannot be created.
    explicit TPoolFillThread(std::shared_ptr<TChunkSupply> supply);

    // Top the reserve up, please.
    void Ask() { SetEvent(fillEvent_.Get()); }

private:
    void Body();

    TLiveStreamThread live_;
    const std::shared_ptr<TChunkSupply> supply_;
    // Auto-reset, created signalled: the first pass stocks the reserve unasked.
    TOwnedHandle fillEvent_;
    TWorkerThread thread_;
};

}  // namespace halvex
