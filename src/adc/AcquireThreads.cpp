#include "adc/AcquireThreads.h"

#include <halvex/halvex.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <new>

#include "adc/AnalogInputRegisters.h"
#include "adc/PackedSample.h"
#include "pio/DMA.h"
#include "platform/Contain.h"

namespace halvex {

namespace {

using namespace adc;

// The start/stop bits every value the run writes carries.
constexpr DWORD kAcquireBits = kAcquireBit | kWideWriteBit;
constexpr DWORD kStartStop0 = StartStopRegister(0);
constexpr DWORD kStartStop1 = StartStopRegister(1);
constexpr DWORD kChunkSizeRegister = ChunkSizeRegister(0);

std::atomic<int64_t> liveThreads{0};

// Callback threads not yet ended, so unload can find and wait for them. Leaked on purpose:
// threads may end while the process runs its static destructors.
struct CallbackRegistry {
    std::mutex mutex;
    std::condition_variable emptied;
    std::vector<std::shared_ptr<TCallbackThreadEnd>> entries;  // guarded by mutex
};

CallbackRegistry& Registry() {
    static CallbackRegistry* registry = new CallbackRegistry;
    return *registry;
}

void Register(const std::shared_ptr<TCallbackThreadEnd>& end) {
    CallbackRegistry& registry = Registry();
    std::lock_guard lock(registry.mutex);
    registry.entries.push_back(end);
}

void Unregister(const std::shared_ptr<TCallbackThreadEnd>& end) {
    CallbackRegistry& registry = Registry();
    {
        std::lock_guard lock(registry.mutex);
        std::erase(registry.entries, end);
    }
    registry.emptied.notify_all();
}

std::vector<std::shared_ptr<TCallbackThreadEnd>> EntriesOfBoard(UINT64 iBoard) {
    CallbackRegistry& registry = Registry();
    std::lock_guard lock(registry.mutex);
    std::vector<std::shared_ptr<TCallbackThreadEnd>> found;
    for (const auto& entry : registry.entries)
        if (entry->iBoard == iBoard) found.push_back(entry);
    return found;
}

void SendControlByte(UINT64 iBoard, BYTE byte) {
    const BYTE bytes[1] = {byte};
    SendDMAControl(iBoard, bytes);
}

// The end of every run, after its sequencer's run bit is cleared: DMA off, then the stop byte.
void StopDma(UINT64 iBoard) {
    RegWrite(4, iBoard, kDmaEnableRegister, 0);
    SendControlByte(iBoard, DMAControlStop);
}

}  // namespace

bool IsCallbackType(DWORD tag) {
    return tag == kCallbackTypeRaw || tag == kCallbackTypeCounts || tag == kCallbackTypeVolts;
}

int64_t LiveStreamThreadCount() { return liveThreads.load(); }

bool WaitForCallbackThreadsToEnd(DWORD timeoutMs) {
    CallbackRegistry& registry = Registry();
    std::unique_lock lock(registry.mutex);
    return registry.emptied.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                     [&] { return registry.entries.empty(); });
}

void DiscardCallbackQueues(UINT64 iBoard) {
    for (const auto& entry : EntriesOfBoard(iBoard)) entry->bDiscard.store(true);
}

void WaitForCallbackThreadsAtDetach(UINT64 iBoard) {
    for (const auto& entry : EntriesOfBoard(iBoard)) {
        // Unload from inside a user callback (exit() called there): that thread cannot end first.
        if (entry->ThreadId == GetCurrentThreadId()) continue;
        WaitForSingleObject(entry->hEnded, INFINITE);
    }
}

void StopAcquisitionHardware(UINT64 iBoard) {
    const DWORD startStop = RegRead(4, iBoard, kStartStop0);
    if (startStop != RegReadFailure) RegWrite(4, iBoard, kStartStop0, startStop & ~kRunBit);
    StopDma(iBoard);
}

// ---- Fill thread ---------------------------------------------------------------------------

TPoolFillThread::TPoolFillThread(std::shared_ptr<TChunkSupply> supply) : Supply(std::move(supply)) {
    // Created with the thread object, so no signal from the acquisition thread can be lost;
    // signalled, so the first pass needs none.
    hFillEvent = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    if (hFillEvent == nullptr) {
        hFillEvent = INVALID_HANDLE_VALUE;
        throw std::bad_alloc();
    }
    liveThreads.fetch_add(1);
}

TPoolFillThread::~TPoolFillThread() {
    StopAndWait();
    CloseAndInvalidate(hFillEvent);
    liveThreads.fetch_sub(1);
}

void TPoolFillThread::Execute() {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
    do {
        void* block = AllocChunk(Supply->ChunkSize.load(std::memory_order_relaxed));
        if (block != nullptr) {
            SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
            Supply->EmptyChunkPool.PushLast(block);
            SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
        }
        WaitForSingleObject(hFillEvent, INFINITE);
    } while (!Terminated());
}

// ---- Callback thread -----------------------------------------------------------------------

TPoolCallbackThread::TPoolCallbackThread(UINT64 board, DWORD sequencer)
    : iBoard(board), iSequencer(sequencer), DataChunkPool(std::make_unique<TChunkPool>(TChunkPool::pcCounted)) {
    auto end = std::make_shared<TCallbackThreadEnd>();
    end->hEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (end->hEnded == nullptr) throw std::bad_alloc();
    end->iBoard = iBoard;
    end->ThreadId = ThreadId();
    end_ = std::move(end);
    Register(end_);
    liveThreads.fetch_add(1);
}

TCallbackThreadEnd::~TCallbackThreadEnd() {
    if (hEnded != nullptr) CloseHandle(hEnded);
}

TPoolCallbackThread::~TPoolCallbackThread() {
    // A thread never handed over to free itself (its acquisition never ran) is ended here; the
    // kill wakes it if it waits.
    if (!FreeOnTerminate) {
        DataChunkPool->PushKill();
        StopAndWait();
    }
    DataChunkPool.reset();
    Supply.reset();
    liveThreads.fetch_sub(1);
    // Last: from here on this thread touches nothing that unload releases.
    std::shared_ptr<TCallbackThreadEnd> end = std::move(end_);
    Unregister(end);
    SetEvent(end->hEnded);
}

void TPoolCallbackThread::Execute() {
    for (;;) {
        void* chunk = DataChunkPool->PopFirst();
        if (chunk == nullptr) break;  // the kill, queued behind every chunk of the run
        if (!Terminated() && !end_->bDiscard.load()) DeliverChunk(chunk);
        if (Supply)
            Supply->EmptyChunkPool.PushLast(chunk);
        else
            FreeChunk(chunk);
    }
    Terminate();
}

void TPoolCallbackThread::DeliverChunk(void* pData) {
    const DWORD DataCt = Supply->ChunkSize.load(std::memory_order_relaxed) / 4;
    if (DataCt == 0) return;
    const auto* samples = static_cast<const PackedSample*>(pData);
    switch (CallbackType) {
        case kCallbackTypeRaw:
            raw_.assign(samples, samples + DataCt);
            break;
        case kCallbackTypeCounts:
            counts_.resize(DataCt);
            status_.resize(DataCt);
            timestamp_.assign(DataCt, 0);
            for (DWORD i = 0; i < DataCt; ++i) {
                int16_t counts;
                UnpackSample(samples[i], &counts, &status_[i], nullptr, nullptr);
                counts_[i] = static_cast<WORD>(counts);
            }
            break;
        case kCallbackTypeVolts:
            volts_.resize(DataCt);
            status_.resize(DataCt);
            timestamp_.assign(DataCt, 0);
            for (DWORD i = 0; i < DataCt; ++i) UnpackSample(samples[i], nullptr, &status_[i], nullptr, &volts_[i]);
            break;
        default:
            return;
    }
    std::atomic<BYTE>& inCallback = Devices[iBoard].SequencerAcq[iSequencer].bInCallback;
    inCallback.store(1);
    auto callUser = [&] {
        try {
            switch (CallbackType) {
                case kCallbackTypeRaw:
                    if (pCallbackRaw) pCallbackRaw(iBoard, iSequencer, DataCt, raw_.data());
                    break;
                case kCallbackTypeCounts:
                    if (pCallbackCounts)
                        pCallbackCounts(iBoard, iSequencer, DataCt, counts_.data(), status_.data(), timestamp_.data());
                    break;
                case kCallbackTypeVolts:
                    if (pCallbackV)
                        pCallbackV(iBoard, iSequencer, DataCt, volts_.data(), status_.data(), timestamp_.data());
                    break;
            }
        } catch (...) {
        }
    };
    // The user's failure is the user's, a fault or another runtime's exception included: the
    // next chunk is delivered as usual.
    platform::RunContainedBody(callUser);
    inCallback.store(0);
}

// ---- Acquisition thread --------------------------------------------------------------------

TPoolAcquireThread::TPoolAcquireThread() : Supply(std::make_shared<TChunkSupply>()) {
    hStopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (hStopEvent == nullptr) throw std::bad_alloc();
    liveThreads.fetch_add(1);
}

TPoolAcquireThread::~TPoolAcquireThread() {
    SendControlByte(iBoard, DMAControlStop);
    // A transfer queued just after that stop byte, or one the driver does not end on it, is
    // the run's to end: the event wakes it from its wait, and its end is bounded.
    Terminate();
    if (hStopEvent != nullptr) SetEvent(hStopEvent);
    StopAndWait();
    // A run that never ran never handed its callback thread over.
    if (CallbackThread != nullptr) {
        delete CallbackThread;
        CallbackThread = nullptr;
    }
    FinalChunkPool.reset();
    Supply.reset();
    if (hStopEvent != nullptr) CloseHandle(hStopEvent);
    liveThreads.fetch_sub(1);
}

void* TPoolAcquireThread::GetEmptyChunk() {
    void* chunk = Supply->EmptyChunkPool.PopLast();
    if (chunk == nullptr) chunk = AllocChunk(ChunkSize());
    if (!Supply->EmptyChunkPool.bGotData() && FillThread != nullptr) SetEvent(FillThread->hFillEvent);
    return chunk;
}

DWORD TPoolAcquireThread::QueueTransfer(TTransfer& transfer) {
    transfer.chunk = GetEmptyChunk();
    if (transfer.chunk == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    const DWORD status = DriverControl(Devices[iBoard].hDevice, IOCTL_DMA_PIONG_IN, nullptr, 0, transfer.chunk, ChunkSize(),
                                        nullptr, &transfer.overlapped);
    transfer.pending = status == ERROR_IO_PENDING;
    return status;
}

DWORD TPoolAcquireThread::AwaitTransfer(TTransfer& transfer) {
    // The transfer's event first: a chunk that completed as the stop came is still taken.
    const HANDLE events[2] = {transfer.overlapped.hEvent, hStopEvent};
    const DWORD woke = WaitForMultipleObjects(2, events, FALSE, INFINITE);
    if (woke != WAIT_OBJECT_0) return woke == WAIT_OBJECT_0 + 1 ? ERROR_OPERATION_ABORTED : ERROR_GEN_FAILURE;
    transfer.pending = false;
    DWORD bytes = 0;
    if (GetOverlappedResult(Devices[iBoard].hDevice, &transfer.overlapped, &bytes, FALSE)) return ERROR_SUCCESS;
    const DWORD error = GetLastError();
    return error == ERROR_SUCCESS ? ERROR_GEN_FAILURE : error;
}

bool TPoolAcquireThread::EndPendingTransfer(TTransfer& transfer) {
    const auto ended = [&](DWORD timeoutMs) {
        return HasOverlappedIoCompleted(&transfer.overlapped) ||
               WaitForSingleObject(transfer.overlapped.hEvent, timeoutMs) == WAIT_OBJECT_0;
    };
    if (!ended(kStopGraceMs)) {
        DriverCancel(Devices[iBoard].hDevice, &transfer.overlapped);
        if (!ended(kCancelGraceMs)) return false;
    }
    transfer.pending = false;
    return true;
}

void TPoolAcquireThread::StopHardware(DWORD ControlWord) {
    RegWrite(4, iBoard, kStartStop0, ControlWord & ~kRunBit);
    StopDma(iBoard);
}

void TPoolAcquireThread::TerminateCallbackThread() {
    TPoolCallbackThread* old = nullptr;
    RunUnderSequencerLock(iBoard, 0, [&] {
        old = CallbackThread;
        CallbackThread = nullptr;
    });
    if (old == nullptr) return;
    if (!old->Supply) {
        // The run failed before starting it: start it now so it takes the kill and frees itself.
        old->Supply = Supply;
        old->FreeOnTerminate = true;
        old->DataChunkPool->PushKill();
        old->Start();
        return;
    }
    // After the kill the thread may end and free itself at any moment: nothing touches it then.
    old->FreeOnTerminate = true;
    old->DataChunkPool->PushKill();
}

void TPoolAcquireThread::EndFillThread() {
    if (FillThread == nullptr) return;
    FillThread->Terminate();
    SetEvent(FillThread->hFillEvent);
    delete FillThread;
    FillThread = nullptr;
}

DWORD TPoolAcquireThread::Run(DWORD ControlWord, TTransfer& transfer) {
    FillThread = new TPoolFillThread(Supply);
    FillThread->Start();
    if (CallbackThread != nullptr) {
        CallbackThread->Supply = Supply;
        CallbackThread->Start();
    }
    transfer.overlapped.hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (transfer.overlapped.hEvent == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    // The size was taken from this register when the acquisition started, and every chunk is
    // that large: a transfer size that changed since, or that no longer reads, would make the
    // driver write past a chunk.
    const DWORD transferBytes = RegRead(4, iBoard, kChunkSizeRegister);
    if (const DWORD readError = GetLastError()) return readError;
    if (transferBytes != ChunkSize()) return ERROR_INVALID_DATA;
    SendControlByte(iBoard, DMAControlStart);
    // Ended before the first transfer was queued: the stop byte may already have gone out, and
    // a request queued behind it would wait for a whole chunk of samples.
    if (Terminated()) return ERROR_OPERATION_ABORTED;
    DWORD status = QueueTransfer(transfer);
    RegWrite(4, iBoard, kDmaEnableRegister, kDmaEnableBit);
    RegWrite(4, iBoard, kStartStop1, ControlWord & ~kRunBit);
    RegWrite(4, iBoard, kStartStop0, ControlWord | kRunBit);

    for (;;) {
        if (status == ERROR_IO_PENDING) status = AwaitTransfer(transfer);
        if (status != ERROR_SUCCESS) return status;

        if (FinalChunkPool)
            FinalChunkPool->PushLast(transfer.chunk);
        else
            CallbackThread->DataChunkPool->PushLast(transfer.chunk);
        transfer.chunk = nullptr;

        if (AcquireMode == amBlock) {
            const DWORD n = ChunkSize() / 4;
            if (n >= BlockSampleCt) return ERROR_SUCCESS;
            BlockSampleCt -= n;
        }
        if (Terminated()) return ERROR_OPERATION_ABORTED;
        status = QueueTransfer(transfer);
    }
}

void TPoolAcquireThread::Execute() {
    const DWORD ControlWord = RegRead(4, iBoard, kStartStop0) | kAcquireBits;
    // On the heap: a request the driver never gives back keeps its OVERLAPPED and chunk.
    auto transfer = std::make_unique<TTransfer>();
    DWORD result = ERROR_INTERNAL_ERROR;
    try {
        result = Run(ControlWord, *transfer);
    } catch (...) {
        result = ERROR_INTERNAL_ERROR;
    }
    // The end of the run, taken on every path: the hardware stopped, the threads told to end,
    // the event closed.
    try {
        StopHardware(ControlWord);
    } catch (...) {
    }
    if (transfer->pending && !EndPendingTransfer(*transfer)) {
        // The driver still owns the record and the chunk and may write into them at any time:
        // both are left to it rather than freed under it.
        transfer.release();
    } else {
        // The chunk of a failed transfer goes back to the empty pool rather than being lost.
        if (transfer->chunk != nullptr) {
            try {
                RecycleChunk(transfer->chunk);
            } catch (...) {
                FreeChunk(transfer->chunk);
            }
        }
        if (transfer->overlapped.hEvent != nullptr) CloseHandle(transfer->overlapped.hEvent);
    }
    try {
        TerminateCallbackThread();
    } catch (...) {
    }
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
    try {
        EndFillThread();
    } catch (...) {
    }
    ReturnValue = result;
}

}  // namespace halvex
