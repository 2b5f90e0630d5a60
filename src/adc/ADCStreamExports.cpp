// Streaming acquisition exports: the callback, block and stream starts, their end, and the
// polling of an acquisition that has no callback.
#include <halvex/halvex.h>

#include <algorithm>
#include <memory>

#include "adc/Sequencer.h"
#include "board/Registers.h"
#include "core/CallFrame.h"
#include "core/Registers.h"
#include "platform/Guard.h"

namespace halvex {

namespace {

// Both callback entries: the classic one, and the one whose callback takes a context first.
DWORD SetCallback(UINT64 iBoard, DWORD iSequencer, DWORD CallbackType, void* pCallback, bool withContext,
                  void* pContext) {
    if (CallbackType == kCallbackTypeNone)
        pCallback = nullptr;
    else if (!IsCallbackType(CallbackType))
        return ERROR_INVALID_HOOK_FILTER;
    if (pCallback == nullptr) {
        CallbackType = kCallbackTypeNone;
        withContext = false;
        pContext = nullptr;
    }
    return RunUnderSequencerLock(iBoard, iSequencer, [&]() -> DWORD {
        TSequencerState& acq = SequencerOf(iBoard, iSequencer);
        if (acq.IsBusy()) return ERROR_BUSY;
        acq.CallbackType = CallbackType;
        acq.pCallback = pCallback;
        acq.bCallbackContext = withContext;
        acq.pCallbackContext = pContext;
        return ERROR_SUCCESS;
    });
}

// The final pool of the sequencer's acquisition, looked at under the sequencer lock; `use`
// runs with that lock held.
template <typename Use>
DWORD WithFinalPool(UINT64 iBoard, DWORD iSequencer, Use&& use) {
    return RunUnderSequencerLock(iBoard, iSequencer, [&]() -> DWORD {
        const TAcquisition* acquisition = SequencerOf(iBoard, iSequencer).Acquisition.get();
        if (acquisition == nullptr) return ERROR_NOT_READY;
        TChunkPool* pool = acquisition->FinalChunkPool();
        if (pool == nullptr) return ERROR_INVALID_FILTER_PROC;
        return use(*pool);
    });
}

}  // namespace

}  // namespace halvex

using namespace halvex;

extern "C" {

HALVEX_API DWORD WINAPI ADC_ConfigureAcquire(UINT64, DWORD, DWORD, DWORD) { return ERROR_NOT_SUPPORTED; }

HALVEX_API DWORD WINAPI ADC_SetCallback(UINT64 iBoard, DWORD iSequencer, DWORD CallbackType, void* pCallback) {
    return SequencerCall(iBoard, iSequencer,
                         [&] { return SetCallback(iBoard, iSequencer, CallbackType, pCallback, false, nullptr); });
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

// ---- Extensions ----------------------------------------------------------------------------

HALVEX_API DWORD WINAPI HX_SetCallbackContext(UINT64 iBoard, DWORD iSequencer, DWORD CallbackType, void* pCallback,
                                              void* pContext) {
    return SequencerCall(iBoard, iSequencer,
                         [&] { return SetCallback(iBoard, iSequencer, CallbackType, pCallback, true, pContext); });
}

HALVEX_API DWORD WINAPI HX_AcquireStatus(UINT64 iBoard, DWORD iSequencer, HX_ACQUIRE_STATUS* pStatus) {
    return SequencerCall(iBoard, iSequencer, [&]() -> DWORD {
        return AnswerSizedRecord(pStatus, [&](HX_ACQUIRE_STATUS& status) -> DWORD {
            RunUnderSequencerLock(iBoard, iSequencer, [&] {
                const TSequencerState& acq = SequencerOf(iBoard, iSequencer);
                status.Exists = acq.Acquisition != nullptr;
                if (status.Exists && acq.Acquisition->FinalChunkPool() != nullptr)
                    status.ChunksPooled = static_cast<DWORD>(acq.Acquisition->FinalChunkPool()->Count());
                if (const TAcquireRecord* run = acq.LastRun.get()) {
                    status.RunEnded = run->RunEnded.load();
                    status.BytesPerChunk = run->ChunkSize;
                    status.ChunksDelivered = run->ChunksDelivered.load();
                    status.SamplesDelivered = run->SamplesDelivered.load();
                    status.ShortTransfers = run->ShortTransfers.load();
                    status.ChunksQueued = static_cast<DWORD>(std::max<int64_t>(run->ChunksQueued.load(), 0));
                    status.FailedTransfers = run->FailedTransfers.load();
                    status.LastFailure = run->LastFailure.load();
                }
            });
            return ERROR_SUCCESS;
        });
    });
}

HALVEX_API DWORD WINAPI HX_AcquireWait(UINT64 iBoard, DWORD iSequencer, DWORD TimeoutMs) {
    return SequencerCall(iBoard, iSequencer, [&]() -> DWORD {
        std::shared_ptr<TAcquireRecord> run;
        RunUnderSequencerLock(iBoard, iSequencer, [&] { run = SequencerOf(iBoard, iSequencer).LastRun; });
        if (run == nullptr) return ERROR_NOT_READY;
        // The run's own callback would wait for its own return.
        if (run->CallbackThreadId.load() == GetCurrentThreadId()) return ERROR_BUSY;
        // Outside every lock: the run's end takes the sequencer lock.
        return run->WaitSettled(TimeoutMs) ? ERROR_SUCCESS : ERROR_TIMEOUT;
    });
}

HALVEX_API DWORD WINAPI HX_GetChunkInfo(UINT64 iBoard, DWORD iSequencer, HX_CHUNK_INFO* pInfo) {
    return SequencerCall(iBoard, iSequencer, [&]() -> DWORD {
        return AnswerSizedRecord(pInfo, [&](HX_CHUNK_INFO& info) -> DWORD {
            return DescribeChunkInDelivery(iBoard, iSequencer, info) ? ERROR_SUCCESS : ERROR_NO_DATA;
        });
    });
}

HALVEX_API DWORD WINAPI HX_SetChunkSize(UINT64 iBoard, DWORD iSequencer, DWORD Bytes) {
    return BoardCall(iBoard, [&]() -> DWORD {
        if (iSequencer != 0) return ERROR_INVALID_INDEX;
        const TRegisterMap map = Devices[iBoard].RegisterMap;
        if (!HasWideStartStop(map)) return ERROR_BAD_DEV_TYPE;
        if (Bytes == 0 || Bytes % 4 != 0 || Bytes > kMaxTransferBytes) return ERROR_INVALID_PARAMETER;
        return RunUnderSequencerLock(iBoard, iSequencer, [&]() -> DWORD {
            if (SequencerOf(iBoard, iSequencer).IsBusy()) return ERROR_BUSY;
            return RegWrite(4, iBoard, board::ChunkSizeRegister(iSequencer), Bytes);
        });
    });
}

}  // extern "C"
