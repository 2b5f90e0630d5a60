// The threads of one streaming acquisition on sequencer 0:
//
//   TPoolAcquireThread   keeps exactly one DMA data request outstanding and hands each filled
//                        chunk on, to the callback thread or to its own final pool;
//   TPoolFillThread      keeps a small reserve of empty chunks, allocated and touched in
//                        advance, so the time-critical transfer loop neither allocates nor
//                        faults;
//   TPoolCallbackThread  converts each filled chunk, calls the user function with no library
//                        lock held and recycles the chunk (or frees it, when enough are spare
//                        already); it frees itself when it has drained.
//
// The callback thread may still be draining after ADC_AcquireEnd destroyed the acquisition
// thread, so what both use (the chunk size and the empty pool) lives in a TChunkSupply they
// own together.
#pragma once

#include <windows.h>

#include <halvex/halvex.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "adc/ChunkPool.h"
#include "core/Core.h"
#include "core/WorkerThread.h"

namespace halvex {

enum TAcquireMode : uint32_t { amBlock = 0, amStream = 1 };

// Callback tags: little-endian "Raw\0", "Coun", "Volt".
inline constexpr DWORD kCallbackTypeRaw = ADC_CALLBACK_RAW;
inline constexpr DWORD kCallbackTypeCounts = ADC_CALLBACK_COUNTS;
inline constexpr DWORD kCallbackTypeVolts = ADC_CALLBACK_VOLTS;

using TPCallbackProcSRaw = ::TPCallbackProcSRaw;
using TPCallbackProcSCounts = ::TPCallbackProcSCounts;
using TPCallbackProcSV = ::TPCallbackProcSV;

bool IsCallbackType(DWORD tag);

// Everything an acquisition is built from, fixed when it starts.
struct TAcquisitionPlan {
    UINT64 iBoard = 0;
    DWORD iSequencer = 0;
    DWORD ChunkSize = 0;  // bytes of every transfer and every chunk of the run
    TAcquireMode Mode = amStream;
    DWORD BlockSampleCt = 0;                 // block mode: samples wanted
    DWORD CallbackType = kCallbackTypeNone;  // none: filled chunks wait in the final pool
    void* pCallback = nullptr;
    bool bCallbackContext = false;  // the callback takes pCallbackContext first
    void* pCallbackContext = nullptr;
};

// What a run reports while it runs and after it ended, until its sequencer's next start.
// Shared by the run's threads and the sequencer's table entry.
struct TAcquireRecord {
    TAcquireRecord(DWORD chunkSize, bool callback);

    // One part of the run is done: the acquisition's end, or the callback's last delivery.
    // After the last part the record is settled.
    void PartDone();
    // A transfer failed with `code`.
    void Failed(DWORD code);

    const DWORD ChunkSize;
    std::atomic<uint64_t> ChunksDelivered{0};
    std::atomic<uint64_t> SamplesDelivered{0};
    std::atomic<int64_t> ChunksQueued{0};  // to the callback
    std::atomic<DWORD> FailedTransfers{0};
    std::atomic<DWORD> LastFailure{0};
    std::atomic<DWORD> ShortTransfers{0};
    // The run's timing, set before its first chunk is handed on.
    std::atomic<uint64_t> StartedNs{0};
    std::atomic<double> ConversionRateHz{0.0};
    std::atomic<DWORD> ChannelCt{1};
    std::atomic<bool> RunEnded{false};
    std::atomic<DWORD> CallbackThreadId{0};

    // Waits until the run has ended and the callback has returned from its last chunk; false
    // after `timeoutMs` (INFINITE: no time-out). No kernel object: a record outlives its run.
    bool WaitSettled(DWORD timeoutMs);

private:
    std::mutex mutex_;
    std::condition_variable settled_;
    int partsLeft_;  // guarded by mutex_
};

// Shared by an acquisition thread, its fill thread and its callback thread.
//
// The empty pool's marks: the fill thread tops it up to ReserveChunks; the acquisition thread
// asks for that once a take leaves fewer than LowWater; the chunks beyond HighWater go back to
// the heap, so memory returns to its steady state after a backlog. Not at once while the run
// goes: a callback that falls behind now and then would have its chunks freed after every
// backlog and allocated (and faulted in) again for the next. They go once the pool has held
// more than HighWater for kSpareHoldMs, or as soon as the run has ended. Large chunks keep a
// smaller reserve.
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

// Counts a stream thread object from its construction to its destruction.
struct TLiveStreamThread {
    TLiveStreamThread();
    ~TLiveStreamThread();
    TLiveStreamThread(const TLiveStreamThread&) = delete;
    TLiveStreamThread& operator=(const TLiveStreamThread&) = delete;
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

// How unload finds a callback thread that may still be draining, and waits for it.
struct TCallbackThreadEnd {
    TCallbackThreadEnd() = default;
    ~TCallbackThreadEnd();
    TCallbackThreadEnd(const TCallbackThreadEnd&) = delete;
    TCallbackThreadEnd& operator=(const TCallbackThreadEnd&) = delete;

    UINT64 iBoard = 0;
    DWORD ThreadId = 0;
    HANDLE hEnded = nullptr;  // manual-reset, set once the thread touches nothing of the library
    std::atomic<bool> bDiscard{false};  // unload: free the queued chunks instead of delivering them
};

// Makes a callback thread findable by unload once its thread exists, and tells unload it is
// gone at the very end of the thread object's destruction.
class TCallbackEndNotice {
public:
    // Throws std::bad_alloc when its event cannot be created.
    explicit TCallbackEndNotice(UINT64 iBoard);
    ~TCallbackEndNotice();
    TCallbackEndNotice(const TCallbackEndNotice&) = delete;
    TCallbackEndNotice& operator=(const TCallbackEndNotice&) = delete;

    void Register(DWORD threadId);
    bool Discarding() const { return end_->bDiscard.load(); }

private:
    std::shared_ptr<TCallbackThreadEnd> end_;
};

// The chunk a callback is being called with on this thread, for HX_GetChunkInfo: false (and
// `info` untouched) when this thread is not inside a callback of that board's sequencer.
bool DescribeChunkInDelivery(UINT64 iBoard, DWORD iSequencer, HX_CHUNK_INFO& info);

class TPoolCallbackThread {
public:
    TPoolCallbackThread(const TAcquisitionPlan& plan, std::shared_ptr<TChunkSupply> supply,
                        std::shared_ptr<TAcquireRecord> record);

    void Start() { thread_.Start(); }
    bool Created() const { return thread_.Handle() != nullptr; }
    // A filled chunk, delivered in the order queued.
    void Queue(void* chunk);
    // The end of its acquisition: the thread delivers what is queued, then ends and frees this
    // object, started or not. Nothing may touch the object after this call.
    void EndAfterQueue();

private:
    void Body();
    void DeliverChunk(void* pData);
    // The thread is being ended under the run, by its runtime or by a fault: the run ends with
    // `code`, and its record is settled as if the queue had been delivered.
    void AbandonRun(DWORD code) noexcept;

    // First in, so last out: unload learns of the end only once everything else is gone.
    TCallbackEndNotice notice_;
    TLiveStreamThread live_;
    const TAcquisitionPlan plan_;
    const std::shared_ptr<TChunkSupply> supply_;
    const std::shared_ptr<TAcquireRecord> record_;
    // Filled chunks in acquisition order, then the kill.
    TChunkPool dataChunkPool_{TChunkPool::pcCounted};
    // Conversion arrays, reused from chunk to chunk: the user sees them only during a call.
    // A raw callback gets the chunk's own words instead.
    std::vector<WORD> counts_;
    std::vector<double> volts_;
    std::vector<WORD> status_;
    std::vector<WORD> timestamp_;
    TWorkerThread thread_;
};

// Bytes of one transfer the acquisition accepts from register 32: at least one sample, and
// few enough that a handful of chunks fit in memory.
inline constexpr DWORD kMinTransferBytes = HX_CHUNK_BYTES_MIN;
inline constexpr DWORD kMaxTransferBytes = HX_CHUNK_BYTES_MAX;

// How long the end of a run waits for its pending transfer: first for the driver to end it on
// the stop byte, then, after cancelling it, for the cancellation to complete.
inline constexpr DWORD kStopGraceMs = 500;
inline constexpr DWORD kCancelGraceMs = 2000;

// One data request: the OVERLAPPED the driver completes and the chunk it fills. Until the
// driver has completed it, both belong to the driver; once it has, destroying the transfer
// returns the chunk to the empty pool and closes the event.
class TTransfer {
public:
    explicit TTransfer(TChunkSupply& supply);
    ~TTransfer();
    TTransfer(const TTransfer&) = delete;
    TTransfer& operator=(const TTransfer&) = delete;
    // In transfer memory, as the chunks are: the driver writes the OVERLAPPED as it does them.
    static void* operator new(std::size_t size);
    static void operator delete(void* block) noexcept;

    OVERLAPPED overlapped{};  // its event is null when it could not be created
    void* chunk = nullptr;
    bool pending = false;

private:
    TChunkSupply& supply_;
};

// Holds a transfer and releases it at the end of the run: a transfer the driver never gave
// back is left to the driver, which may still write into it.
struct TTransferRelease {
    void operator()(TTransfer* transfer) const noexcept {
        if (!transfer->pending) delete transfer;
    }
};
using TTransferHold = std::unique_ptr<TTransfer, TTransferRelease>;

class TPoolAcquireThread {
public:
    // Throws std::bad_alloc when a kernel object cannot be created.
    explicit TPoolAcquireThread(const TAcquisitionPlan& plan);
    // The stop byte and the stop event reach the run, which ends (boundedly) before anything
    // it uses is freed.
    ~TPoolAcquireThread() = default;

    bool Created() const;
    const std::shared_ptr<TAcquireRecord>& Record() const { return record_; }
    // Puts the run's first chunk in the empty pool: proof that the size fits in memory.
    bool StockFirstChunk();
    void Start() { thread_.Start(); }

    // Filled chunks when no callback is set, else null; read by the polling exports under
    // sequencer 0's lock, which keeps this object alive while they look.
    TChunkPool* FinalChunkPool() const { return finalChunkPool_.get(); }

private:
    void Body();
    DWORD Run(DWORD ControlWord, TTransfer& transfer);
    // Hands a completed transfer's chunk on with what is known of it; false when it was the
    // block's last.
    bool HandOn(TTransfer& transfer, DWORD bytes, uint64_t completedNs);
    void* GetEmptyChunk();
    DWORD QueueTransfer(TTransfer& transfer);
    // The result of the pending transfer and the bytes it delivered, or ERROR_OPERATION_ABORTED
    // when the stop event (or the callback's end) came first (the transfer is then still
    // pending).
    DWORD AwaitTransfer(TTransfer& transfer, DWORD& bytes);
    // The result and byte count of a transfer the driver has completed.
    DWORD TransferResult(TTransfer& transfer, DWORD& bytes);
    // Waits, boundedly, for a transfer the stopped hardware should end, and cancels it when
    // the driver does not. False when the driver never gave it back.
    bool EndPendingTransfer(TTransfer& transfer);
    void StopHardware(DWORD ControlWord);
    void Wake();

    TLiveStreamThread live_;
    const TAcquisitionPlan plan_;
    const std::shared_ptr<TChunkSupply> supply_;
    const std::shared_ptr<TAcquireRecord> record_;
    // Manual-reset: set when the run is asked to end, so a run waiting for a transfer that
    // never completes still sees the request.
    TOwnedHandle stopEvent_;
    std::unique_ptr<TChunkPool> finalChunkPool_;
    // Until the run hands it over at its end; it then frees itself.
    std::unique_ptr<TPoolCallbackThread> callbackThread_;
    // Started by the run, ended at its end.
    std::unique_ptr<TPoolFillThread> fillThread_;
    DWORD blockSamplesLeft_;
    uint64_t nextSequence_ = 0;  // of the next chunk handed on
    uint64_t nextSample_ = 0;    // index of the next sample to arrive since the run started
    TWorkerThread thread_;
};


// ---- Unload and tests --------------------------------------------------------------------

// Ends the acquisition of a board's sequencer 0 as ADC_AcquireEnd does (unload only).
void EndAcquisitionAtDetach(UINT64 iBoard);
// Stops a board's acquisition sequencer and DMA with driver requests alone: no lock, no wait,
// nothing freed. For the end of the process, when the library's threads are gone.
void StopAcquisitionHardware(UINT64 iBoard);

// Asks every callback thread of the board that may still be draining to drop its queue, and
// waits until it touches nothing of the library (not when called on such a thread itself).
void WaitForCallbackThreadsAtDetach(UINT64 iBoard);
void DiscardCallbackQueues(UINT64 iBoard);

// Makes the next chunk's hand-off fault inside a library thread, as a bug of the library
// would: the acquisition thread's or the callback thread's (outside the user's callback).
enum class TThreadFaultForTest { None, Acquisition, Callback };
void InjectThreadFaultForTest(TThreadFaultForTest where);

// Objects alive right now: acquisition, fill and callback threads.
int64_t LiveStreamThreadCount();
// Waits until no callback thread is left (they end on their own after an acquisition);
// false on time-out.
bool WaitForCallbackThreadsToEnd(DWORD timeoutMs);

}  // namespace halvex
