// The acquisition of one run: a thread that keeps exactly one DMA data request outstanding and
// hands each filled chunk on, to the run's callback queue or to its own final pool.
#pragma once

#include <windows.h>

#include <halvex/halvex.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "adc/AcquireRun.h"
#include "adc/CallbackDelivery.h"
#include "adc/ChunkPool.h"
#include "adc/ChunkSupply.h"
#include "core/DeviceTable.h"
#include "core/WorkerThread.h"

namespace halvex {

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

class TAcquisition {
public:
    // `callbackQueue` is null when the run has no callback: its chunks then wait in the final
    // pool. Throws std::bad_alloc when a kernel object cannot be created.
    TAcquisition(const TAcquisitionPlan& plan, std::shared_ptr<TChunkSupply> supply,
                 std::shared_ptr<TAcquireRecord> record, std::shared_ptr<TCallbackQueue> callbackQueue);
    // The stop byte and the stop event reach the run, which ends (boundedly) before anything
    // it uses is freed.
    ~TAcquisition() = default;

    bool Created() const { return thread_.Handle() != nullptr; }
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
    const std::shared_ptr<TCallbackQueue> callbackQueue_;
    // Manual-reset: set when the run is asked to end, so a run waiting for a transfer that
    // never completes still sees the request.
    TOwnedHandle stopEvent_;
    std::unique_ptr<TChunkPool> finalChunkPool_;
    // Started by the run, ended at its end.
    std::unique_ptr<TPoolFillThread> fillThread_;
    DWORD blockSamplesLeft_;
    uint64_t nextSequence_ = 0;  // of the next chunk handed on
    uint64_t nextSample_ = 0;    // index of the next sample to arrive since the run started
    TWorkerThread thread_;
};

// Stops a board's acquisition sequencer and DMA with driver requests alone: no lock, no wait,
// nothing freed. For the end of the process, when the library's threads are gone.
void StopAcquisitionHardware(UINT64 iBoard);

}  // namespace halvex
