// The threads of one streaming acquisition on sequencer 0:
//
//   TPoolAcquireThread   keeps exactly one DMA data request outstanding and hands each filled
//                        chunk on, to the callback thread or to its own final pool;
//   TPoolFillThread      keeps the acquisition thread's empty pool stocked, so the
//                        time-critical transfer loop seldom allocates;
//   TPoolCallbackThread  converts each filled chunk, calls the user function with no library
//                        lock held and recycles the chunk; it frees itself when it has drained.
//
// The callback thread may still be draining after ADC_AcquireEnd destroyed the acquisition
// thread, so what both use (the chunk size and the empty pool) lives in a TChunkSupply they
// own together.
#pragma once

#include <windows.h>

#include <halvex/halvex.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "adc/ChunkPool.h"
#include "core/Core.h"

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

// Shared by an acquisition thread, its fill thread and its callback thread.
struct TChunkSupply {
    // Bytes per chunk and per transfer; replaced once by the run before its first transfer.
    std::atomic<DWORD> ChunkSize{0};
    TChunkPool EmptyChunkPool;  // no semaphore; reused last in, first out
};

class TPoolFillThread : public TBasalThread {
public:
    explicit TPoolFillThread(std::shared_ptr<TChunkSupply> supply);
    ~TPoolFillThread() override;

    // Auto-reset, created signalled with the thread object: one signal asks for one more chunk.
    HANDLE hFillEvent = INVALID_HANDLE_VALUE;
    // The chunk size it allocates and the pool it stocks.
    const std::shared_ptr<TChunkSupply> Supply;

protected:
    void Execute() override;
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

class TPoolCallbackThread : public TBasalThread {
public:
    TPoolCallbackThread(UINT64 board, DWORD sequencer);
    ~TPoolCallbackThread() override;

    const UINT64 iBoard;
    const DWORD iSequencer;
    DWORD CallbackType = kCallbackTypeNone;
    TPCallbackProcSRaw pCallbackRaw = nullptr;
    TPCallbackProcSCounts pCallbackCounts = nullptr;
    TPCallbackProcSV pCallbackV = nullptr;
    // Filled chunks in acquisition order; its semaphore exists from construction, so no push
    // or kill can be lost.
    std::unique_ptr<TChunkPool> DataChunkPool;
    // Set by the acquisition thread before it starts this one.
    std::shared_ptr<TChunkSupply> Supply;

    void DeliverChunk(void* pData);
    const std::shared_ptr<TCallbackThreadEnd>& EndRecord() const { return end_; }

protected:
    void Execute() override;

private:
    std::shared_ptr<TCallbackThreadEnd> end_;
    // Conversion arrays, reused from chunk to chunk: the user sees them only during a call.
    std::vector<DWORD> raw_;
    std::vector<WORD> counts_;
    std::vector<double> volts_;
    std::vector<WORD> status_;
    std::vector<WORD> timestamp_;
};

// Bytes of one transfer the acquisition accepts from register 32: at least one sample, and
// few enough that a handful of chunks fit in memory.
inline constexpr DWORD kMinTransferBytes = 4;
inline constexpr DWORD kMaxTransferBytes = 64u << 20;

// How long the end of a run waits for its pending transfer: first for the driver to end it on
// the stop byte, then, after cancelling it, for the cancellation to complete.
inline constexpr DWORD kStopGraceMs = 500;
inline constexpr DWORD kCancelGraceMs = 2000;

// One data request: the OVERLAPPED the driver completes and the chunk it fills. Until the
// driver has completed it, both belong to the driver.
struct TTransfer {
    OVERLAPPED overlapped{};
    void* chunk = nullptr;
    bool pending = false;
};

class TPoolAcquireThread : public TBasalThread {
public:
    // Throws std::bad_alloc when its stop event cannot be created.
    TPoolAcquireThread();
    // Stop byte, wakes the run and waits for it to end (which is bounded), then frees the pools
    // with their chunks.
    ~TPoolAcquireThread() override;

    void RecycleChunk(void* pData) { Supply->EmptyChunkPool.PushLast(pData); }
    DWORD ChunkSize() const { return Supply->ChunkSize.load(std::memory_order_relaxed); }

    UINT64 iBoard = 0;
    std::shared_ptr<TChunkSupply> Supply;
    // Filled chunks when no callback is set; read by the polling exports under sequencer 0's
    // lock, which keeps this object alive while they look.
    std::unique_ptr<TChunkPool> FinalChunkPool;
    // Not owned: it frees itself. Cleared by TerminateCallbackThread under sequencer 0's lock.
    TPoolCallbackThread* CallbackThread = nullptr;
    TAcquireMode AcquireMode = amStream;
    DWORD BlockSampleCt = 0;  // block mode: samples still wanted
    TPoolFillThread* FillThread = nullptr;

protected:
    void Execute() override;

private:
    DWORD Run(DWORD ControlWord, TTransfer& transfer);
    void* GetEmptyChunk();
    DWORD QueueTransfer(TTransfer& transfer);
    // The result of the pending transfer, or ERROR_OPERATION_ABORTED when the stop event
    // came first (the transfer is then still pending).
    DWORD AwaitTransfer(TTransfer& transfer);
    // Waits, boundedly, for a transfer the stopped hardware should end, and cancels it when
    // the driver does not. False when the driver never gave it back.
    bool EndPendingTransfer(TTransfer& transfer);
    void StopHardware(DWORD ControlWord);
    void TerminateCallbackThread();
    void EndFillThread();

    // Manual-reset: set by the destructor, so a run waiting for a transfer that never
    // completes still sees the request to end.
    HANDLE hStopEvent = nullptr;
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

// Objects alive right now: acquisition, fill and callback threads.
int64_t LiveStreamThreadCount();
// Waits until no callback thread is left (they end on their own after an acquisition);
// false on time-out.
bool WaitForCallbackThreadsToEnd(DWORD timeoutMs);

}  // namespace halvex
