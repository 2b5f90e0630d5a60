#include "adc/Sequencer.h"

#include <algorithm>

#include "board/Registers.h"
#include "core/CallFrame.h"
#include "core/Registers.h"
#include "platform/ForcedUnwind.h"

namespace halvex {

constinit TBoardTable<TBoardSequencers> Sequencers;

DWORD StartAcquisition(UINT64 iBoard, DWORD iSequencer, DWORD SampleCt) {
    if (iSequencer != 0) return ERROR_INVALID_INDEX;
    if (!HasWideStartStop(Devices[iBoard].RegisterMap)) return ERROR_BAD_DEV_TYPE;
    // The size of every transfer and every chunk of the run, fixed here: a chunk is never
    // smaller than a transfer queued into it, whatever the register says later.
    const DWORD ChunkSize = RegRead(4, iBoard, board::ChunkSizeRegister(iSequencer));
    if (const DWORD readError = GetLastError()) return readError;
    if (ChunkSize < kMinTransferBytes || ChunkSize > kMaxTransferBytes) return ERROR_INVALID_DATA;

    return RunUnderSequencerLock(iBoard, iSequencer, [&]() -> DWORD {
        TSequencerState& state = SequencerOf(iBoard, iSequencer);
        if (state.IsBusy()) return ERROR_BUSY;
        // Deliveries of earlier runs whose threads have ended are joined here, at once. One
        // still draining is kept, never waited for: its callback may be slow, may be the
        // caller itself, or may wait for this sequencer's lock.
        std::erase_if(state.Deliveries, [](const auto& delivery) { return delivery->Ended(); });

        TAcquisitionPlan plan;
        plan.iBoard = iBoard;
        plan.iSequencer = iSequencer;
        plan.ChunkSize = ChunkSize;
        plan.Mode = SampleCt == 0 ? amStream : amBlock;
        plan.BlockSampleCt = SampleCt;
        if (IsCallbackType(state.CallbackType) && state.pCallback != nullptr) {
            plan.CallbackType = state.CallbackType;
            plan.pCallback = state.pCallback;
            plan.bCallbackContext = state.bCallbackContext;
            plan.pCallbackContext = state.pCallbackContext;
        }
        auto supply = std::make_shared<TChunkSupply>(ChunkSize);
        auto record = std::make_shared<TAcquireRecord>(ChunkSize, plan.CallbackType != kCallbackTypeNone);
        std::unique_ptr<TCallbackDelivery> delivery;
        if (plan.CallbackType != kCallbackTypeNone) {
            delivery = std::make_unique<TCallbackDelivery>(plan, supply, record);
            if (!delivery->Created()) return ERROR_INTERNAL_ERROR;
        }
        auto acquisition = std::make_unique<TAcquisition>(plan, supply, record,
                                                          delivery != nullptr ? delivery->Queue() : nullptr);
        if (!acquisition->Created()) return ERROR_INTERNAL_ERROR;
        if (!acquisition->StockFirstChunk()) return ERROR_NOT_ENOUGH_MEMORY;
        if (delivery != nullptr) {
            state.Deliveries.push_back(std::move(delivery));
            state.Deliveries.back()->Start();
        }
        state.LastRun = std::move(record);
        state.Acquisition = std::move(acquisition);
        state.Acquisition->Start();
        return ERROR_SUCCESS;
    });
}

DWORD EndAcquisition(UINT64 iBoard, DWORD iSequencer) {
    TSequencerState& state = SequencerOf(iBoard, iSequencer);
    std::unique_ptr<TAcquisition> old;
    RunUnderSequencerLock(iBoard, iSequencer, [&] {
        old = std::move(state.Acquisition);
        if (old != nullptr) state.bStopping = true;
    });
    if (old == nullptr) return ERROR_NOT_READY;
    // The end of the run takes no lock, and a callback still draining is not waited for.
    old.reset();
    // Only now is the hardware stopped and the old run gone: the sequencer is free.
    RunUnderSequencerLock(iBoard, iSequencer, [&] { state.bStopping = false; });
    return ERROR_SUCCESS;
}

void EndAcquisitionAtDetach(UINT64 iBoard) {
    try {
        TSequencerState& state = SequencerOf(iBoard, 0);
        // Chunks still queued for a callback are dropped, not delivered: marked before the run
        // ends, so none of its last chunks reaches a callback either.
        RunUnderSequencerLock(iBoard, 0, [&] {
            for (const auto& delivery : state.Deliveries) delivery->DropQueue();
        });
        EndAcquisition(iBoard, 0);
        std::vector<std::unique_ptr<TCallbackDelivery>> deliveries;
        RunUnderSequencerLock(iBoard, 0, [&] { deliveries.swap(state.Deliveries); });
        // No callback thread may outlive the table it was started from: each is joined, outside
        // every lock, once its callback in progress has returned. Unload from inside a callback
        // (exit() called there) cannot wait for its own thread, which is left to end alone: it
        // touches nothing but what its delivery owns.
        for (auto& delivery : deliveries)
            if (delivery->ThreadId() == GetCurrentThreadId()) static_cast<void>(delivery.release());
        deliveries.clear();
    } catch (...) {
        if (halvex::platform::ForcedUnwinding()) throw;
    }
}

}  // namespace halvex
