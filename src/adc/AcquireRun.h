// One streaming run of sequencer 0: what it is built from (TAcquisitionPlan) and what it
// reports while it runs and after it ended (TAcquireRecord), shared by the parts that carry
// it out: the chunk supply, the acquisition and the callback delivery.
#pragma once

#include <windows.h>

#include <halvex/halvex.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace halvex {

enum TAcquireMode : uint32_t { amBlock = 0, amStream = 1 };

// Callback tags: little-endian four-character codes.
inline constexpr DWORD kCallbackTypeNone = ADC_CALLBACK_NONE;
inline constexpr DWORD kCallbackTypeRaw = ADC_CALLBACK_RAW;
inline constexpr DWORD kCallbackTypeCounts = ADC_CALLBACK_COUNTS;
inline constexpr DWORD kCallbackTypeVolts = ADC_CALLBACK_VOLTS;

bool IsCallbackType(DWORD tag);

// Everything a run is built from, fixed when it starts.
struct TAcquisitionPlan {
    UINT64 iBoard = 0;
    DWORD iSequencer = 0;
    DWORD ChunkSize = 0;  // bytes of every transfer and every chunk of the run
    TAcquireMode Mode = amStream;
    DWORD BlockSampleCt = 0;                 // block mode: samples wanted
    DWORD CallbackType = kCallbackTypeNone;  // none: filled chunks wait in the final pool
    void* pCallback = nullptr;
    bool bCallbackContext = false;  // the callback takes pCallbackContext first
    void* pCallbackContext = nullptr;
};

// What a run reports while it runs and after it ended, until its sequencer's next start.
// Shared by the run's parts and the sequencer's state.
struct TAcquireRecord {
    TAcquireRecord(DWORD chunkSize, bool callback);

    // One part of the run is done: the acquisition's end, or the callback's last delivery.
    // After the last part the record is settled.
    void PartDone();
    // A transfer failed with `code`.
    void Failed(DWORD code);

    const DWORD ChunkSize;
    std::atomic<uint64_t> ChunksDelivered{0};
    std::atomic<uint64_t> SamplesDelivered{0};
    std::atomic<int64_t> ChunksQueued{0};  // to the callback
    std::atomic<DWORD> FailedTransfers{0};
    std::atomic<DWORD> LastFailure{0};
    std::atomic<DWORD> ShortTransfers{0};
    // The run's timing, set before its first chunk is handed on.
    std::atomic<uint64_t> StartedNs{0};
    std::atomic<double> ConversionRateHz{0.0};
    std::atomic<DWORD> ChannelCt{1};
    std::atomic<bool> RunEnded{false};
    std::atomic<DWORD> CallbackThreadId{0};

    // Waits until the run has ended and the callback has returned from its last chunk; false
    // after `timeoutMs` (INFINITE: no time-out). No kernel object: a record outlives its run.
    bool WaitSettled(DWORD timeoutMs);

private:
    std::mutex mutex_;
    std::condition_variable settled_;
    int partsLeft_;  // guarded by mutex_
};

// Counts a thread object of a run (acquisition, fill, callback delivery) from its construction
// to its destruction.
struct TLiveStreamThread {
    TLiveStreamThread();
    ~TLiveStreamThread();
    TLiveStreamThread(const TLiveStreamThread&) = delete;
    TLiveStreamThread& operator=(const TLiveStreamThread&) = delete;
};

// Thread objects of runs alive right now.
int64_t LiveStreamThreadCount();

// Makes the next chunk's hand-off fault inside a library thread, as a bug of the library
// would: the acquisition thread's or the callback thread's (outside the user's callback).
enum class TThreadFaultForTest { None, Acquisition, Callback };
void InjectThreadFaultForTest(TThreadFaultForTest where);
// Faults here, once, when a test asked for it at this place.
void FaultIfInjected(TThreadFaultForTest where);

}  // namespace halvex
