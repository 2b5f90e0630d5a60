#include "adc/Acquisition.h"

#include <algorithm>
#include <new>

#include "board/Registers.h"
#include "core/CallFrame.h"
#include "core/Registers.h"
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

void SendControlByte(UINT64 iBoard, BYTE byte) {
    const BYTE bytes[1] = {byte};
    SendDMAControl(iBoard, bytes);
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

// The end of every run, after its sequencer's run bit is cleared: DMA off, then the stop byte.
void StopDma(UINT64 iBoard) {
    RegWrite(4, iBoard, kDmaEnableRegister, 0);
    SendControlByte(iBoard, DMAControlStop);
}

}  // namespace

void StopAcquisitionHardware(UINT64 iBoard) {
    const DWORD startStop = RegRead(4, iBoard, kStartStop0);
    if (startStop != RegReadFailure) RegWrite(4, iBoard, kStartStop0, startStop & ~kRunBit);
    StopDma(iBoard);
}

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

TAcquisition::TAcquisition(const TAcquisitionPlan& plan, std::shared_ptr<TChunkSupply> supply,
                           std::shared_ptr<TAcquireRecord> record, std::shared_ptr<TCallbackQueue> callbackQueue)
    : plan_(plan),
      supply_(std::move(supply)),
      record_(std::move(record)),
      callbackQueue_(std::move(callbackQueue)),
      stopEvent_(Required(CreateEventW(nullptr, TRUE, FALSE, nullptr))),
      finalChunkPool_(callbackQueue_ == nullptr ? std::make_unique<TChunkPool>() : nullptr),
      blockSamplesLeft_(plan.BlockSampleCt),
      thread_([this] { Body(); }, [this] { Wake(); }) {}

bool TAcquisition::StockFirstChunk() {
    void* chunk = AllocChunk(plan_.ChunkSize);
    if (chunk == nullptr) return false;
    supply_->EmptyChunkPool.PushLast(chunk);
    return true;
}

void TAcquisition::Wake() {
    SendControlByte(plan_.iBoard, DMAControlStop);
    // A transfer queued just after that stop byte, or one the driver does not end on it, is
    // the run's to end: the event wakes it from its wait, and its end is bounded.
    SetEvent(stopEvent_.Get());
}

void* TAcquisition::GetEmptyChunk() {
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

DWORD TAcquisition::QueueTransfer(TTransfer& transfer) {
    transfer.chunk = GetEmptyChunk();
    if (transfer.chunk == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    const DWORD status = DriverControl(Devices[plan_.iBoard].hDevice, IOCTL_DMA_PIONG_IN, nullptr, 0, transfer.chunk,
                                       plan_.ChunkSize, nullptr, &transfer.overlapped);
    transfer.pending = status == ERROR_IO_PENDING;
    return status;
}

DWORD TAcquisition::AwaitTransfer(TTransfer& transfer, DWORD& bytes) {
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

DWORD TAcquisition::TransferResult(TTransfer& transfer, DWORD& bytes) {
    if (GetOverlappedResult(Devices[plan_.iBoard].hDevice, &transfer.overlapped, &bytes, FALSE)) return ERROR_SUCCESS;
    const DWORD error = GetLastError();
    return error == ERROR_SUCCESS ? ERROR_GEN_FAILURE : error;
}

bool TAcquisition::HandOn(TTransfer& transfer, DWORD bytes, uint64_t completedNs) {
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
        callbackQueue_->Queue(transfer.chunk);
    }
    transfer.chunk = nullptr;
    return !blockDone;
}

bool TAcquisition::EndPendingTransfer(TTransfer& transfer) {
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

void TAcquisition::StopHardware(DWORD ControlWord) {
    RegWrite(4, plan_.iBoard, kStartStop0, ControlWord & ~kRunBit);
    StopDma(plan_.iBoard);
}

DWORD TAcquisition::Run(DWORD ControlWord, TTransfer& transfer) {
    const UINT64 iBoard = plan_.iBoard;
    fillThread_ = std::make_unique<TPoolFillThread>(supply_);
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

void TAcquisition::Body() {
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
    if (callbackQueue_ != nullptr) callbackQueue_->EndOfRun();
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
    fillThread_.reset();
    record_->RunEnded.store(true);
    record_->PartDone();
}

}  // namespace halvex
