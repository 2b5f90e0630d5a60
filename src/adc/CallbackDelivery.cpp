#include "adc/CallbackDelivery.h"

#include "adc/PackedSample.h"
#include "core/CallFrame.h"
#include "platform/Contain.h"
#include "platform/ForcedUnwind.h"

namespace halvex {

namespace {

// The chunk this thread is calling a callback with.
struct TDelivery {
    UINT64 iBoard;
    DWORD iSequencer;
    const TChunkInfo* info;
    const TAcquireRecord* run;
};
thread_local const TDelivery* tDelivery = nullptr;

// Calls the user's function, of the classic type or of the type that takes the context first,
// with the chunk marked for HX_GetChunkInfo. The user's failure is the user's, a fault or
// another runtime's exception included: the next chunk is delivered as usual. A runtime ending
// the thread inside the callback unwinds through here.
template <typename Plain, typename WithContext, typename... Args>
void CallUser(const TAcquisitionPlan& plan, const TDelivery& delivery, Args... args) {
    tDelivery = &delivery;
    struct TDeliveryEnd {
        ~TDeliveryEnd() { tDelivery = nullptr; }
    } deliveryEnd;
    auto call = [&] {
        try {
            if (plan.bCallbackContext)
                reinterpret_cast<WithContext>(plan.pCallback)(plan.pCallbackContext, args...);
            else
                reinterpret_cast<Plain>(plan.pCallback)(args...);
        } catch (...) {
            if (halvex::platform::ForcedUnwinding()) throw;
        }
    };
    platform::RunContainedBody(call);
}

}  // namespace

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

void TCallbackQueue::Queue(void* chunk) {
    record_->ChunksQueued.fetch_add(1);
    try {
        chunks_.PushLast(chunk);
    } catch (...) {
        record_->ChunksQueued.fetch_sub(1);
        throw;
    }
}

void* TCallbackQueue::Take() {
    void* chunk = chunks_.PopFirst();
    if (chunk != nullptr) record_->ChunksQueued.fetch_sub(1);
    return chunk;
}

TCallbackDelivery::TCallbackDelivery(const TAcquisitionPlan& plan, std::shared_ptr<TChunkSupply> supply,
                                     std::shared_ptr<TAcquireRecord> record)
    : plan_(plan),
      supply_(std::move(supply)),
      record_(std::move(record)),
      queue_(std::make_shared<TCallbackQueue>(record_)),
      // Destroyed while it waits, it is woken by an end of its own.
      thread_([this] { Body(); }, [this] { queue_->EndOfRun(); }) {
    record_->CallbackThreadId.store(thread_.ThreadId());
}

void TCallbackDelivery::AbandonRun(DWORD code) noexcept {
    record_->Failed(code);
    supply_->CallbackGone.store(true);
    SetEvent(supply_->CallbackGoneEvent.Get());
    // The chunks still queued stay in the queue, which frees them with its last owner.
    record_->PartDone();
}

void TCallbackDelivery::Body() {
    void* chunk = nullptr;
    auto deliverQueue = [&] {
        while ((chunk = queue_->Take()) != nullptr) {
            FaultIfInjected(TThreadFaultForTest::Callback);
            if (!thread_.StopRequested()) {
                Deliver(chunk);
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

void TCallbackDelivery::Deliver(void* chunk) {
    const TChunkInfo& info = ChunkInfoOf(chunk);
    const DWORD DataCt = info.Bytes / 4;
    if (DataCt == 0) return;
    const auto* samples = static_cast<const PackedSample*>(chunk);
    const UINT64 iBoard = plan_.iBoard;
    const DWORD iSequencer = plan_.iSequencer;
    const TDelivery delivery{iBoard, iSequencer, &info, record_.get()};
    switch (plan_.CallbackType) {
        case kCallbackTypeRaw:
            // The chunk itself: it goes back to the pools only after the call has returned.
            CallUser<TPCallbackProcSRaw, HX_CallbackRaw>(plan_, delivery, iBoard, iSequencer, DataCt,
                                                         static_cast<DWORD*>(chunk));
            break;
        case kCallbackTypeCounts:
            counts_.resize(DataCt);
            status_.resize(DataCt);
            // Zeroed each time: nothing a callback wrote into the array may reach the next one.
            timestamp_.assign(DataCt, 0);
            PackedSamplesToCounts(samples, DataCt, counts_.data(), status_.data());
            CallUser<TPCallbackProcSCounts, HX_CallbackCounts>(plan_, delivery, iBoard, iSequencer, DataCt,
                                                               counts_.data(), status_.data(), timestamp_.data());
            break;
        case kCallbackTypeVolts:
            volts_.resize(DataCt);
            status_.resize(DataCt);
            timestamp_.assign(DataCt, 0);
            PackedSamplesToVolts(samples, DataCt, volts_.data(), status_.data());
            CallUser<TPCallbackProcSV, HX_CallbackVolts>(plan_, delivery, iBoard, iSequencer, DataCt, volts_.data(),
                                                         status_.data(), timestamp_.data());
            break;
        default:
            break;
    }
}

}  // namespace halvex
