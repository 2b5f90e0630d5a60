// Streaming acquisition exports: the callback, block and stream starts, their end, and the
// polling of an acquisition that has no callback.
#include <halvex/halvex.h>

#include <memory>

#include "adc/AcquireThreads.h"
#include "adc/AnalogInputRegisters.h"
#include "core/Core.h"

namespace halvex {

namespace {

TSequencerAcq& AcqOf(UINT64 iBoard, DWORD iSequencer) { return Devices[iBoard].SequencerAcq[iSequencer]; }

// The body of both start exports: a block of SampleCt samples, or a stream when it is 0.
DWORD StartAcquisition(UINT64 iBoard, DWORD iSequencer, DWORD SampleCt) {
    if (iSequencer != 0) return ERROR_INVALID_INDEX;
    const TRegisterMap map = Devices[iBoard].RegisterMap;
    if (map != rmLayout2 && map != rmLayout3) return ERROR_BAD_DEV_TYPE;
    // The size of every transfer and every chunk of the run, fixed here: a chunk is never
    // smaller than a transfer queued into it, whatever the register says later.
    const DWORD ChunkSize = RegRead(4, iBoard, adc::ChunkSizeRegister(iSequencer));
    if (const DWORD readError = GetLastError()) return readError;
    if (ChunkSize < kMinTransferBytes || ChunkSize > kMaxTransferBytes) return ERROR_INVALID_DATA;

    return RunUnderSequencerLock(iBoard, iSequencer, [&]() -> DWORD {
        TSequencerAcq& acq = AcqOf(iBoard, iSequencer);
        if (acq.IsBusy()) return ERROR_BUSY;
        TAcquisitionPlan plan;
        plan.iBoard = iBoard;
        plan.iSequencer = iSequencer;
        plan.ChunkSize = ChunkSize;
        plan.Mode = SampleCt == 0 ? amStream : amBlock;
        plan.BlockSampleCt = SampleCt;
        if (IsCallbackType(acq.CallbackType) && acq.pCallback != nullptr) {
            plan.CallbackType = acq.CallbackType;
            plan.pCallback = acq.pCallback;
        }
        auto acquisition = std::make_unique<TPoolAcquireThread>(plan);
        if (!acquisition->Created()) return ERROR_INTERNAL_ERROR;
        if (!acquisition->StockFirstChunk()) return ERROR_NOT_ENOUGH_MEMORY;
        acq.AcquireThread = acquisition.release();
        acq.AcquireThread->Start();
        return ERROR_SUCCESS;
    });
}

// Detaches the sequencer's acquisition under its lock, then ends it outside the lock: the end
// of the run takes sequencer 0's lock itself.
DWORD EndAcquisition(UINT64 iBoard, DWORD iSequencer) {
    TSequencerAcq& acq = AcqOf(iBoard, iSequencer);
    TPoolAcquireThread* OldAcquireThread = nullptr;
    RunUnderSequencerLock(iBoard, iSequencer, [&] {
        OldAcquireThread = acq.AcquireThread;
        acq.AcquireThread = nullptr;
        if (OldAcquireThread != nullptr) acq.bStopping = true;
    });
    if (OldAcquireThread == nullptr) return ERROR_NOT_READY;
    delete OldAcquireThread;
    // Only now is the hardware stopped and the old run gone: the sequencer is free.
    RunUnderSequencerLock(iBoard, iSequencer, [&] { acq.bStopping = false; });
    return ERROR_SUCCESS;
}

// The final pool of the sequencer's acquisition, looked at under the sequencer lock; `use`
// runs with that lock held.
template <typename Use>
DWORD WithFinalPool(UINT64 iBoard, DWORD iSequencer, Use&& use) {
    return RunUnderSequencerLock(iBoard, iSequencer, [&]() -> DWORD {
        TPoolAcquireThread* thread = AcqOf(iBoard, iSequencer).AcquireThread;
        if (thread == nullptr) return ERROR_NOT_READY;
        TChunkPool* pool = thread->FinalChunkPool();
        if (pool == nullptr) return ERROR_INVALID_FILTER_PROC;
        return use(*pool);
    });
}

}  // namespace

void EndAcquisitionAtDetach(UINT64 iBoard) {
    try {
        // Chunks still queued for a callback are dropped, not delivered, and no callback thread
        // may outlive the table it writes to.
        DiscardCallbackQueues(iBoard);
        EndAcquisition(iBoard, 0);
        WaitForCallbackThreadsAtDetach(iBoard);
    } catch (...) {
    }
}

}  // namespace halvex

using namespace halvex;

extern "C" {

HALVEX_API DWORD WINAPI ADC_ConfigureAcquire(UINT64, DWORD, DWORD, DWORD) { return ERROR_NOT_SUPPORTED; }

HALVEX_API DWORD WINAPI ADC_SetCallback(UINT64 iBoard, DWORD iSequencer, DWORD CallbackType, void* pCallback) {
    return SequencerCall(iBoard, iSequencer, [&]() -> DWORD {
        if (CallbackType == kCallbackTypeNone)
            pCallback = nullptr;
        else if (!IsCallbackType(CallbackType))
            return ERROR_INVALID_HOOK_FILTER;
        if (pCallback == nullptr) CallbackType = kCallbackTypeNone;
        return RunUnderSequencerLock(iBoard, iSequencer, [&]() -> DWORD {
            TSequencerAcq& acq = AcqOf(iBoard, iSequencer);
            if (acq.IsBusy()) return ERROR_BUSY;
            acq.CallbackType = CallbackType;
            acq.pCallback = pCallback;
            return ERROR_SUCCESS;
        });
    });
}

HALVEX_API DWORD WINAPI ADC_AcquireBlock(UINT64 iBoard, DWORD iSequencer, DWORD SampleCt) {
    if (SampleCt == 0) return ERROR_SUCCESS;
    return BoardCall(iBoard, [&] { return StartAcquisition(iBoard, iSequencer, SampleCt); });
}

HALVEX_API DWORD WINAPI ADC_AcquireStream(UINT64 iBoard, DWORD iSequencer) {
    return BoardCall(iBoard, [&] { return StartAcquisition(iBoard, iSequencer, 0); });
}

HALVEX_API DWORD WINAPI ADC_AcquireEnd(UINT64 iBoard, DWORD iSequencer) {
    return SequencerCall(iBoard, iSequencer, [&]() -> DWORD {
        return EndAcquisition(iBoard, iSequencer);
    });
}

HALVEX_API DWORD WINAPI ADC_GetDataV(UINT64 iBoard, DWORD iSequencer, DWORD, ULONG_PTR, double*, WORD*, WORD*) {
    return SequencerCall(iBoard, iSequencer, [&]() -> DWORD {
        return ERROR_NOT_SUPPORTED;
    });
}

HALVEX_API DWORD WINAPI ADC_GetDataCounts(UINT64 iBoard, DWORD iSequencer, DWORD, ULONG_PTR, WORD*, WORD*, WORD*) {
    return SequencerCall(iBoard, iSequencer, [&]() -> DWORD {
        return ERROR_NOT_SUPPORTED;
    });
}

HALVEX_API DWORD WINAPI ADC_GetDataRaw(UINT64 iBoard, DWORD iSequencer, DWORD, ULONG_PTR, DWORD*) {
    return SequencerCall(iBoard, iSequencer, [&]() -> DWORD {
        return ERROR_NOT_SUPPORTED;
    });
}

HALVEX_API DWORD WINAPI ADC_PollData(UINT64 iBoard, DWORD iSequencer) {
    return SequencerCall(iBoard, iSequencer, [&]() -> DWORD {
        return WithFinalPool(iBoard, iSequencer, [](TChunkPool& pool) -> DWORD {
            return pool.bGotData() ? ERROR_SUCCESS : ERROR_HANDLE_EOF;
        });
    });
}

HALVEX_API DWORD WINAPI ADC_ClearData(UINT64 iBoard, DWORD iSequencer) {
    return SequencerCall(iBoard, iSequencer, [&]() -> DWORD {
        TPAcqChunkLink pLink = nullptr;
        const DWORD result = WithFinalPool(iBoard, iSequencer, [&](TChunkPool& pool) -> DWORD {
            pLink = pool.DetachAll();
            return ERROR_SUCCESS;
        });
        if (result != ERROR_SUCCESS) return result;
        if (pLink == nullptr) return ERROR_HANDLE_EOF;
        // Freed outside the lock: the chain belongs to this call alone now.
        TChunkPool::FreeChain(pLink);
        return ERROR_SUCCESS;
    });
}

}  // extern "C"
