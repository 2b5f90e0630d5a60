#include "adc/AcquireThreads.h"

#include <halvex/halvex.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "adc/PackedSample.h"
#include "board/Registers.h"
#include "pio/DMA.h"
#include "platform/Contain.h"
#include "platform/ForcedUnwind.h"
#include "platform/Prefault.h"
#include "port/DriverPort.h"

namespace halvex {

namespace {

using namespace board;

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

// Calls the user's function: of the classic type, or of the type that takes the context first.
template <typename Plain, typename WithContext, typename... Args>
void CallUser(const TAcquisitionPlan& plan, Args... args) {
    if (plan.bCallbackContext)
        reinterpret_cast<WithContext>(plan.pCallback)(plan.pCallbackContext, args...);
    else
        reinterpret_cast<Plain>(plan.pCallback)(args...);
}

// Nanoseconds of the performance counter: CLOCK_MONOTONIC on Linux, the counter's own time on
// Windows. Split so that a counter of many days does not overflow the product.
uint64_t MonotonicNs() {
    // The frequency is fixed at boot: asked once, not once a chunk.
    static const uint64_t f = [] {
        LARGE_INTEGER frequency{};
        QueryPerformanceFrequency(&frequency);
        return static_cast<uint64_t>(frequency.QuadPart);
    }();
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    const auto c = static_cast<uint64_t>(counter.QuadPart);
    if (f == 0) return 0;
    return c / f * 1000000000u + c % f * 1000000000u / f;
}

// A run's scan: channels 0 up to the stop channel, or the even ones of the differential pairs.
DWORD ScanChannelCount(DWORD startStop) {
    const DWORD stop = (startStop & kChannelField) >> 12;
    return (startStop & kSingleEndedBit) != 0 ? stop + 1 : stop / 2 + 1;
}

std::atomic<TThreadFaultForTest> gInjectedFault{TThreadFaultForTest::None};
int* volatile gNowhere = nullptr;

// Faults here, once, when a test asked for it at this place.
void FaultIfInjected(TThreadFaultForTest where) {
    if (gInjectedFault.load(std::memory_order_relaxed) != where) return;
    TThreadFaultForTest expected = where;
    if (gInjectedFault.compare_exchange_strong(expected, TThreadFaultForTest::None)) *gNowhere = 1;
}

// The chunk this thread is calling a callback with.
struct TDelivery {
    UINT64 iBoard;
    DWORD iSequencer;
    const TChunkInfo* info;
    const TAcquireRecord* run;
};
thread_local const TDelivery* tDelivery = nullptr;

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

void InjectThreadFaultForTest(TThreadFaultForTest where) { gInjectedFault.store(where); }

bool DescribeChunkInDelivery(UINT64 iBoard, DWORD iSequencer, HX_CHUNK_INFO& info) {
    const TDelivery* delivery = tDelivery;
    if (delivery == nullptr || delivery->iBoard != iBoard || delivery->iSequencer != iSequencer) return false;
    const TChunkInfo& chunk = *delivery->info;
    const TAcquireRecord& run = *delivery->run;
    info.Flags = chunk.Flags;
    info.Sequence = chunk.Sequence;
    info.FirstSample = chunk.FirstSample;
    info.SampleCt = chunk.Bytes / 4;
    info.ChannelCt = run.ChannelCt.load();
    info.CompletedNs = chunk.CompletedNs;
    info.StartedNs = run.StartedNs.load();
    info.ConversionRateHz = run.ConversionRateHz.load();
    info.SampleRateHz = info.ConversionRateHz / info.ChannelCt;
    return true;
}

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

// ---- Parts ---------------------------------------------------------------------------------

TLiveStreamThread::TLiveStreamThread() { liveThreads.fetch_add(1); }

TLiveStreamThread::~TLiveStreamThread() { liveThreads.fetch_sub(1); }

// ---- Run record ----------------------------------------------------------------------------

TAcquireRecord::TAcquireRecord(DWORD chunkSize, bool callback) : ChunkSize(chunkSize), partsLeft_(callback ? 2 : 1) {}

void TAcquireRecord::PartDone() {
    {
        std::lock_guard lock(mutex_);
        --partsLeft_;
    }
    settled_.notify_all();
}

bool TAcquireRecord::WaitSettled(DWORD timeoutMs) {
    std::unique_lock lock(mutex_);
    const auto done = [&] { return partsLeft_ <= 0; };
    if (timeoutMs == INFINITE) {
        settled_.wait(lock, done);
        return true;
    }
    return settled_.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
}

void TAcquireRecord::Failed(DWORD code) {
    LastFailure.store(code);
    FailedTransfers.fetch_add(1);
}

// ---- Fill thread ---------------------------------------------------------------------------

TPoolFillThread::TPoolFillThread(std::shared_ptr<TChunkSupply> supply)
    : supply_(std::move(supply)),
      fillEvent_(Required(CreateEventW(nullptr, FALSE, TRUE, nullptr))),
      thread_([this] { Body(); }, [this] { Ask(); }) {
    thread_.Start();
}

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

// ---- Callback thread -----------------------------------------------------------------------

TCallbackThreadEnd::~TCallbackThreadEnd() {
    if (hEnded != nullptr) CloseHandle(hEnded);
}

TCallbackEndNotice::TCallbackEndNotice(UINT64 iBoard) : end_(std::make_shared<TCallbackThreadEnd>()) {
    end_->hEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (end_->hEnded == nullptr) throw std::bad_alloc();
    end_->iBoard = iBoard;
}

void TCallbackEndNotice::Register(DWORD threadId) {
    end_->ThreadId = threadId;
    halvex::Register(end_);
}

TCallbackEndNotice::~TCallbackEndNotice() {
    // From here on the thread touches nothing that unload releases.
    Unregister(end_);
    SetEvent(end_->hEnded);
}

TPoolCallbackThread::TPoolCallbackThread(const TAcquisitionPlan& plan, std::shared_ptr<TChunkSupply> supply,
                                         std::shared_ptr<TAcquireRecord> record)
    : notice_(plan.iBoard),
      plan_(plan),
      supply_(std::move(supply)),
      record_(std::move(record)),
      // Destroyed before it ends on its own, it is killed: the kill wakes it if it waits.
      thread_([this] { Body(); }, [this] { dataChunkPool_.PushKill(); }) {
    notice_.Register(thread_.ThreadId());
    record_->CallbackThreadId.store(thread_.ThreadId());
}

void TPoolCallbackThread::Queue(void* chunk) {
    record_->ChunksQueued.fetch_add(1);
    try {
        dataChunkPool_.PushLast(chunk);
    } catch (...) {
        record_->ChunksQueued.fetch_sub(1);
        throw;
    }
}

void TPoolCallbackThread::EndAfterQueue() {
    // A thread that was ended under its run is gone already: nobody else frees this object.
    if (!thread_.EndOnItsOwn([this] { delete this; })) {
        delete this;
        return;
    }
    // A thread whose run failed before starting it is started now, to take the kill.
    thread_.Start();
    // After the kill the thread may end and free this object at any moment.
    dataChunkPool_.PushKill();
}

void TPoolCallbackThread::AbandonRun(DWORD code) noexcept {
    record_->Failed(code);
    supply_->CallbackGone.store(true);
    SetEvent(supply_->CallbackGoneEvent.Get());
    // The chunks still queued stay in the pool, which frees them with this object.
    record_->PartDone();
}

void TPoolCallbackThread::Body() {
    void* chunk = nullptr;
    auto deliverQueue = [&] {
        for (;;) {
            chunk = dataChunkPool_.PopFirst();
            if (chunk == nullptr) break;  // the kill, queued behind every chunk of the run
            record_->ChunksQueued.fetch_sub(1);
            FaultIfInjected(TThreadFaultForTest::Callback);
            if (!thread_.StopRequested() && !notice_.Discarding()) {
                DeliverChunk(chunk);
                record_->SamplesDelivered.fetch_add(ChunkInfoOf(chunk).Bytes / 4);
                record_->ChunksDelivered.fetch_add(1);
            }
            void* done = chunk;
            chunk = nullptr;
            supply_->Recycle(done);
        }
    };
    // The chunk in hand when the thread is ended under the run goes back to the heap: the
    // supply may be out of memory for links, and nothing needs it any more.
    const auto dropChunk = [&] {
        FreeChunk(chunk);
        chunk = nullptr;
    };
    try {
        if (!platform::RunContainedBody(deliverQueue)) {
            // The fault skipped the destructors of the frames it left, the delivery's own end
            // among them.
            tDelivery = nullptr;
            Devices[plan_.iBoard].SequencerAcq[plan_.iSequencer].bInCallback.store(0);
            dropChunk();
            AbandonRun(kErrorUnhandledException);
            return;
        }
    } catch (...) {
        dropChunk();
        if (platform::ForcedUnwinding()) {
            AbandonRun(ERROR_OPERATION_ABORTED);
            throw;
        }
        AbandonRun(ERROR_INTERNAL_ERROR);
        return;
    }
    // The callback is never called again for this run.
    record_->PartDone();
}

void TPoolCallbackThread::DeliverChunk(void* pData) {
    const TChunkInfo& info = ChunkInfoOf(pData);
    const DWORD DataCt = info.Bytes / 4;
    if (DataCt == 0) return;
    const auto* samples = static_cast<const PackedSample*>(pData);
    switch (plan_.CallbackType) {
        case kCallbackTypeRaw:
            // The chunk itself: it goes back to the pools only after the call has returned.
            break;
        case kCallbackTypeCounts:
            counts_.resize(DataCt);
            status_.resize(DataCt);
            // Zeroed each time: nothing a callback wrote into the array may reach the next one.
            timestamp_.assign(DataCt, 0);
            PackedSamplesToCounts(samples, DataCt, counts_.data(), status_.data());
            break;
        case kCallbackTypeVolts:
            volts_.resize(DataCt);
            status_.resize(DataCt);
            timestamp_.assign(DataCt, 0);
            PackedSamplesToVolts(samples, DataCt, volts_.data(), status_.data());
            break;
        default:
            return;
    }
    const UINT64 iBoard = plan_.iBoard;
    const DWORD iSequencer = plan_.iSequencer;
    std::atomic<BYTE>& inCallback = Devices[iBoard].SequencerAcq[iSequencer].bInCallback;
    inCallback.store(1);
    const TDelivery delivery{iBoard, iSequencer, &info, record_.get()};
    tDelivery = &delivery;
    // A runtime ending this thread inside the callback unwinds through here.
    struct TDeliveryEnd {
        std::atomic<BYTE>& inCallback;
        ~TDeliveryEnd() {
            tDelivery = nullptr;
            inCallback.store(0);
        }
    } deliveryEnd{inCallback};
    auto callUser = [&] {
        try {
            switch (plan_.CallbackType) {
                case kCallbackTypeRaw:
                    CallUser<TPCallbackProcSRaw, HX_CallbackRaw>(plan_, iBoard, iSequencer, DataCt,
                                                                 static_cast<DWORD*>(pData));
                    break;
                case kCallbackTypeCounts:
                    CallUser<TPCallbackProcSCounts, HX_CallbackCounts>(plan_, iBoard, iSequencer, DataCt, counts_.data(),
                                                                       status_.data(), timestamp_.data());
                    break;
                case kCallbackTypeVolts:
                    CallUser<TPCallbackProcSV, HX_CallbackVolts>(plan_, iBoard, iSequencer, DataCt, volts_.data(),
                                                                 status_.data(), timestamp_.data());
                    break;
            }
        } catch (...) {
            if (halvex::platform::ForcedUnwinding()) throw;
        }
    };
    // The user's failure is the user's, a fault or another runtime's exception included: the
    // next chunk is delivered as usual.
    platform::RunContainedBody(callUser);
}

// ---- Acquisition thread --------------------------------------------------------------------

TTransfer::TTransfer(TChunkSupply& supply) : supply_(supply) {
    overlapped.hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

void* TTransfer::operator new(std::size_t size) {
    void* block = port::AllocTransferMemory(size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

void TTransfer::operator delete(void* block) noexcept { port::FreeTransferMemory(block); }

TTransfer::~TTransfer() {
    // The chunk of a failed transfer goes back to the empty pool rather than being lost.
    if (chunk != nullptr) {
        try {
            supply_.Recycle(chunk);
        } catch (...) {
            FreeChunk(chunk);
        }
    }
    if (overlapped.hEvent != nullptr) CloseHandle(overlapped.hEvent);
}

TPoolAcquireThread::TPoolAcquireThread(const TAcquisitionPlan& plan)
    : plan_(plan),
      supply_(std::make_shared<TChunkSupply>(plan.ChunkSize)),
      record_(std::make_shared<TAcquireRecord>(plan.ChunkSize, plan.CallbackType != kCallbackTypeNone)),
      stopEvent_(Required(CreateEventW(nullptr, TRUE, FALSE, nullptr))),
      finalChunkPool_(plan.CallbackType == kCallbackTypeNone ? std::make_unique<TChunkPool>() : nullptr),
      callbackThread_(plan.CallbackType == kCallbackTypeNone ? nullptr
                                                             : std::make_unique<TPoolCallbackThread>(plan, supply_, record_)),
      blockSamplesLeft_(plan.BlockSampleCt),
      thread_([this] { Body(); }, [this] { Wake(); }) {}

bool TPoolAcquireThread::Created() const {
    return thread_.Handle() != nullptr && (callbackThread_ == nullptr || callbackThread_->Created());
}

bool TPoolAcquireThread::StockFirstChunk() {
    void* chunk = AllocChunk(plan_.ChunkSize);
    if (chunk == nullptr) return false;
    supply_->EmptyChunkPool.PushLast(chunk);
    return true;
}

void TPoolAcquireThread::Wake() {
    SendControlByte(plan_.iBoard, DMAControlStop);
    // A transfer queued just after that stop byte, or one the driver does not end on it, is
    // the run's to end: the event wakes it from its wait, and its end is bounded.
    SetEvent(stopEvent_.Get());
}

void* TPoolAcquireThread::GetEmptyChunk() {
    std::size_t left = 0;
    void* chunk = supply_->EmptyChunkPool.PopLast(&left);
    // Only when the fill thread fell behind: the reserve is there so that this stays rare.
    if (chunk == nullptr) {
        chunk = AllocChunk(plan_.ChunkSize);
        platform::Prefault(chunk, plan_.ChunkSize);
    }
    if (left < supply_->LowWater && fillThread_ != nullptr) fillThread_->Ask();
    return chunk;
}

DWORD TPoolAcquireThread::QueueTransfer(TTransfer& transfer) {
    transfer.chunk = GetEmptyChunk();
    if (transfer.chunk == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    const DWORD status = DriverControl(Devices[plan_.iBoard].hDevice, IOCTL_DMA_PIONG_IN, nullptr, 0, transfer.chunk,
                                       plan_.ChunkSize, nullptr, &transfer.overlapped);
    transfer.pending = status == ERROR_IO_PENDING;
    return status;
}

DWORD TPoolAcquireThread::AwaitTransfer(TTransfer& transfer, DWORD& bytes) {
    // The transfer's event first: a chunk that completed as the stop came is still taken.
    const HANDLE events[3] = {transfer.overlapped.hEvent, stopEvent_.Get(), supply_->CallbackGoneEvent.Get()};
    const DWORD woke = WaitForMultipleObjects(3, events, FALSE, INFINITE);
    if (woke != WAIT_OBJECT_0) {
        const bool asked = woke == WAIT_OBJECT_0 + 1 || woke == WAIT_OBJECT_0 + 2;
        return asked ? ERROR_OPERATION_ABORTED : ERROR_GEN_FAILURE;
    }
    transfer.pending = false;
    return TransferResult(transfer, bytes);
}

DWORD TPoolAcquireThread::TransferResult(TTransfer& transfer, DWORD& bytes) {
    if (GetOverlappedResult(Devices[plan_.iBoard].hDevice, &transfer.overlapped, &bytes, FALSE)) return ERROR_SUCCESS;
    const DWORD error = GetLastError();
    return error == ERROR_SUCCESS ? ERROR_GEN_FAILURE : error;
}

bool TPoolAcquireThread::HandOn(TTransfer& transfer, DWORD bytes, uint64_t completedNs) {
    // Only the whole samples that arrived: the rest of a recycled chunk holds an earlier
    // transfer's samples.
    const DWORD samples = std::min(bytes, plan_.ChunkSize) / 4;
    const bool isShort = samples * 4 < plan_.ChunkSize;
    if (isShort) record_->ShortTransfers.fetch_add(1);
    if (samples == 0) {
        // Nothing arrived: nothing to deliver, and the run goes on.
        void* chunk = transfer.chunk;
        transfer.chunk = nullptr;
        supply_->Recycle(chunk);
        return true;
    }
    TChunkInfo& info = ChunkInfoOf(transfer.chunk);
    info.Bytes = samples * 4;
    info.Flags = isShort ? HX_CHUNK_SHORT : 0;
    info.Sequence = nextSequence_++;
    info.FirstSample = nextSample_;
    info.CompletedNs = completedNs;
    nextSample_ += samples;
    const bool blockDone = plan_.Mode == amBlock && samples >= blockSamplesLeft_;
    if (blockDone) info.Flags |= HX_CHUNK_LAST;
    if (plan_.Mode == amBlock && !blockDone) blockSamplesLeft_ -= samples;

    if (finalChunkPool_ != nullptr) {
        finalChunkPool_->PushLast(transfer.chunk);
        record_->SamplesDelivered.fetch_add(samples);
        record_->ChunksDelivered.fetch_add(1);
    } else {
        callbackThread_->Queue(transfer.chunk);
    }
    transfer.chunk = nullptr;
    return !blockDone;
}

bool TPoolAcquireThread::EndPendingTransfer(TTransfer& transfer) {
    const auto ended = [&](DWORD timeoutMs) {
        return HasOverlappedIoCompleted(&transfer.overlapped) ||
               WaitForSingleObject(transfer.overlapped.hEvent, timeoutMs) == WAIT_OBJECT_0;
    };
    if (!ended(kStopGraceMs)) {
        DriverCancel(Devices[plan_.iBoard].hDevice, &transfer.overlapped);
        if (!ended(kCancelGraceMs)) return false;
    }
    transfer.pending = false;
    return true;
}

void TPoolAcquireThread::StopHardware(DWORD ControlWord) {
    RegWrite(4, plan_.iBoard, kStartStop0, ControlWord & ~kRunBit);
    StopDma(plan_.iBoard);
}

DWORD TPoolAcquireThread::Run(DWORD ControlWord, TTransfer& transfer) {
    const UINT64 iBoard = plan_.iBoard;
    fillThread_ = std::make_unique<TPoolFillThread>(supply_);
    if (callbackThread_ != nullptr) callbackThread_->Start();
    if (transfer.overlapped.hEvent == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    // The size was taken from this register when the acquisition started, and every chunk is
    // that large: a transfer size that changed since, or that no longer reads, would make the
    // driver write past a chunk.
    const DWORD transferBytes = RegRead(4, iBoard, kChunkSizeRegister);
    if (const DWORD readError = GetLastError()) return readError;
    if (transferBytes != plan_.ChunkSize) return ERROR_INVALID_DATA;
    // The rate and scan cannot change while the sequencer is busy: what they are now holds for
    // every chunk of the run.
    const DWORD divisor = RegRead(4, iBoard, DivisorRegister(0));
    if (const DWORD readError = GetLastError()) return readError;
    record_->ConversionRateHz.store(divisor == 0 ? 0.0 : static_cast<double>(Devices[iBoard].BaseClock) / divisor);
    record_->ChannelCt.store(ScanChannelCount(ControlWord));
    SendControlByte(iBoard, DMAControlStart);
    // Ended before the first transfer was queued: the stop byte may already have gone out, and
    // a request queued behind it would wait for a whole chunk of samples.
    if (thread_.StopRequested()) return ERROR_OPERATION_ABORTED;
    DWORD status = QueueTransfer(transfer);
    RegWrite(4, iBoard, kDmaEnableRegister, kDmaEnableBit);
    RegWrite(4, iBoard, kStartStop1, ControlWord & ~kRunBit);
    record_->StartedNs.store(MonotonicNs());
    RegWrite(4, iBoard, kStartStop0, ControlWord | kRunBit);

    for (;;) {
        DWORD bytes = 0;
        if (status == ERROR_IO_PENDING)
            status = AwaitTransfer(transfer, bytes);
        else if (status == ERROR_SUCCESS)
            status = TransferResult(transfer, bytes);  // completed at once
        if (status != ERROR_SUCCESS) return status;
        const uint64_t completedNs = MonotonicNs();
        FaultIfInjected(TThreadFaultForTest::Acquisition);
        if (!HandOn(transfer, bytes, completedNs)) return ERROR_SUCCESS;
        if (thread_.StopRequested() || supply_->CallbackGone.load()) return ERROR_OPERATION_ABORTED;
        status = QueueTransfer(transfer);
    }
}

void TPoolAcquireThread::Body() {
    const DWORD ControlWord = RegRead(4, plan_.iBoard, kStartStop0) | kAcquireBits;
    // On the heap: a request the driver never gives back keeps its OVERLAPPED and chunk.
    TTransferHold transfer(new TTransfer(*supply_));
    DWORD result = ERROR_INTERNAL_ERROR;
    auto run = [&] {
        try {
            result = Run(ControlWord, *transfer);
        } catch (...) {
            if (halvex::platform::ForcedUnwinding()) throw;
        }
    };
    // A fault inside the run ends it, not the process; the end below still runs.
    if (!platform::RunContainedBody(run)) result = kErrorUnhandledException;
    // A run asked to end ends aborted, and one whose callback's thread is gone has its failure
    // recorded already; any other way out but a complete block is a failure.
    const bool expected = result == ERROR_OPERATION_ABORTED && (thread_.StopRequested() || supply_->CallbackGone.load());
    if (result != ERROR_SUCCESS && !expected) record_->Failed(result);
    // The end of the run, taken on every path: the hardware stopped, the transfer ended, the
    // threads told to end.
    try {
        StopHardware(ControlWord);
    } catch (...) {
    }
    if (transfer->pending) EndPendingTransfer(*transfer);
    transfer.reset();
    // From here on the callback thread frees what the pool holds beyond its mark at once.
    supply_->RunEnded.store(true);
    if (callbackThread_ != nullptr) callbackThread_.release()->EndAfterQueue();
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
    fillThread_.reset();
    record_->RunEnded.store(true);
    record_->PartDone();
}

}  // namespace halvex
