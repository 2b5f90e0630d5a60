// Callback delivery: the thread that converts each filled chunk of a run, calls the user's
// function with no library lock held, and gives the chunk back to the supply.
//
// The delivery is owned by its sequencer's state, not by the acquisition: it may still be
// draining its queue after ADC_AcquireEnd destroyed the acquisition, and it is joined at the
// sequencer's next start once its thread has ended, or at unload; never by its own thread.
#pragma once

#include <windows.h>

#include <halvex/halvex.h>

#include <memory>
#include <vector>

#include "adc/AcquireRun.h"
#include "adc/ChunkPool.h"
#include "adc/ChunkSupply.h"
#include "core/WorkerThread.h"

namespace halvex {

// A run's filled chunks on their way to its callback, in acquisition order, then the end of
// the run. Shared by the acquisition, which queues, and the delivery, which takes: either may
// be gone first.
class TCallbackQueue {
public:
    // Throws std::bad_alloc when its semaphore cannot be created.
    explicit TCallbackQueue(std::shared_ptr<TAcquireRecord> record) : record_(std::move(record)) {}

    void Queue(void* chunk);
    // The end of the run, queued behind its every chunk.
    void EndOfRun() { chunks_.PushKill(); }
    // Waits for the next chunk; null at the end of the run.
    void* Take();

private:
    const std::shared_ptr<TAcquireRecord> record_;
    TChunkPool chunks_{TChunkPool::pcCounted};
};

class TCallbackDelivery {
public:
    // Throws std::bad_alloc when a kernel object cannot be created.
    TCallbackDelivery(const TAcquisitionPlan& plan, std::shared_ptr<TChunkSupply> supply,
                      std::shared_ptr<TAcquireRecord> record);
    // Drops what is still queued, then waits for the thread: after the thread has ended (see
    // Ended), at once.
    ~TCallbackDelivery() = default;

    bool Created() const { return thread_.Handle() != nullptr; }
    void Start() { thread_.Start(); }
    const std::shared_ptr<TCallbackQueue>& Queue() const { return queue_; }
    // The chunks still queued are dropped, not delivered: the callback in progress is the last.
    void DropQueue() { thread_.RequestStop(); }
    bool Ended() const { return thread_.Ended(); }
    DWORD ThreadId() const { return thread_.ThreadId(); }

private:
    void Body();
    void Deliver(void* chunk);
    // The thread is being ended under the run, by its runtime or by a fault: the run ends with
    // `code`, and its record is settled as if the queue had been delivered.
    void AbandonRun(DWORD code) noexcept;

    TLiveStreamThread live_;
    const TAcquisitionPlan plan_;
    const std::shared_ptr<TChunkSupply> supply_;
    const std::shared_ptr<TAcquireRecord> record_;
    const std::shared_ptr<TCallbackQueue> queue_;
    // Conversion arrays, reused from chunk to chunk: the user sees them only during a call.
    // A raw callback gets the chunk's own words instead.
    std::vector<WORD> counts_;
    std::vector<double> volts_;
    std::vector<WORD> status_;
    std::vector<WORD> timestamp_;
    TWorkerThread thread_;
};

// The chunk a callback is being called with on this thread, for HX_GetChunkInfo: false (and
// `info` untouched) when this thread is not inside a callback of that board's sequencer.
bool DescribeChunkInDelivery(UINT64 iBoard, DWORD iSequencer, HX_CHUNK_INFO& info);

}  // namespace halvex
