// What the library keeps per analog-input sequencer: the callback the next start uses, the
// running acquisition, the latest run's record and the callback deliveries of its runs. One
// pair of sequencers per board, in a table built at start-up and released at unload.
#pragma once

#include <windows.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "adc/AcquireRun.h"
#include "adc/Acquisition.h"
#include "adc/CallbackDelivery.h"
#include "core/DeviceTable.h"

namespace halvex {

// Every field is guarded by the sequencer's lock (TDeviceData::hSequencerMutex).
struct TSequencerState {
    // The callback the next start uses; with bCallbackContext it takes pCallbackContext first.
    DWORD CallbackType = kCallbackTypeNone;
    void* pCallback = nullptr;
    bool bCallbackContext = false;
    void* pCallbackContext = nullptr;
    // From a successful start until ADC_AcquireEnd takes it away: the sequencer is busy.
    std::unique_ptr<TAcquisition> Acquisition;
    // An acquisition ADC_AcquireEnd took away is still stopping the hardware: the sequencer
    // stays busy, so no new run starts and is stopped by the old one's stop byte.
    bool bStopping = false;
    // The latest run's counters, from its start until the next start.
    std::shared_ptr<TAcquireRecord> LastRun;
    // The callback deliveries of this sequencer's runs, the latest last. One whose thread has
    // ended is joined at the next start; one still draining stays until a later start or unload.
    std::vector<std::unique_ptr<TCallbackDelivery>> Deliveries;

    bool IsBusy() const { return Acquisition != nullptr || bStopping; }
};

struct TBoardSequencers {
    TSequencerState Sequencer[2];
};

extern TBoardTable<TBoardSequencers> Sequencers;

inline TSequencerState& SequencerOf(UINT64 iBoard, DWORD iSequencer) {
    return Sequencers[iBoard].Sequencer[iSequencer];
}

// Starts a block of SampleCt samples on the sequencer, or a stream when it is 0. Takes the
// sequencer's lock; indices checked by the caller.
DWORD StartAcquisition(UINT64 iBoard, DWORD iSequencer, DWORD SampleCt);
// Ends the sequencer's acquisition: detached under its lock, ended outside it. ERROR_NOT_READY
// when none runs.
DWORD EndAcquisition(UINT64 iBoard, DWORD iSequencer);

// Unload: ends the acquisition of a board's sequencer 0 as ADC_AcquireEnd does, with the chunks
// still queued for its callbacks dropped, and joins every callback delivery (not the one of the
// calling thread, when unload runs inside a callback).
void EndAcquisitionAtDetach(UINT64 iBoard);

}  // namespace halvex
