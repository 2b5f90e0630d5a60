// The library core: the device table, the driver channel, the index checks, the lock runners,
// the export boundary every other module stands on.
#pragma once

#include <windows.h>

#include <halvex/halvex.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "board/DriverAbi.h"
#include "platform/Contain.h"
#include "platform/ForcedUnwind.h"
#include "platform/ForkedChild.h"
#include "platform/Guard.h"

namespace halvex {

// ---- Device table --------------------------------------------------------------------------

enum TImmediateMode : uint8_t { imUnknown = 0, imNative16 = 1, imNative32 = 2, imEmulated = 3 };
enum TRegisterMap : uint8_t { rmUnknown = 0, rmLayout1 = 1, rmLayout2 = 2, rmLayout3 = 3 };

// Layouts 2 and 3 have 32-bit start/stop registers: only they can stream.
constexpr bool HasWideStartStop(TRegisterMap map) { return map == rmLayout2 || map == rmLayout3; }

// How many rows of eight an immediate scan fills on a layout; 0 for a layout scans do not know.
constexpr DWORD ScanRows(TRegisterMap map) {
    switch (map) {
        case rmLayout1:
        case rmLayout3:
            return 2;
        case rmLayout2:
            return 1;
        default:
            return 0;
    }
}

class TPoolAcquireThread;
struct TAcquireRecord;

// Callback type tags: little-endian four-character codes.
inline constexpr DWORD kCallbackTypeNone = ADC_CALLBACK_NONE;

struct TSequencerAcq {
    DWORD ChunkingType = 0;
    DWORD ChunkSize = 0;
    DWORD CallbackType = kCallbackTypeNone;  // guarded by hSequencerMutex
    void* pCallback = nullptr;               // guarded by hSequencerMutex
    // Set through the context entry: the callback takes this pointer first. Guarded by
    // hSequencerMutex.
    bool bCallbackContext = false;
    void* pCallbackContext = nullptr;
    std::atomic<BYTE> bInCallback{0};        // written by the callback thread, lock-free
    HANDLE hSequencerMutex = INVALID_HANDLE_VALUE;
    // Non-null from a successful start until ADC_AcquireEnd: the sequencer is busy.
    // Guarded by hSequencerMutex.
    TPoolAcquireThread* AcquireThread = nullptr;
    // An acquisition ADC_AcquireEnd took away is still stopping the hardware: the sequencer
    // stays busy, so no new run starts and is stopped by the old one's stop byte.
    // Guarded by hSequencerMutex.
    bool bStopping = false;
    // The latest run's counters, from its start until the next start. Guarded by hSequencerMutex.
    std::shared_ptr<TAcquireRecord> LastRun;
    bool IsBusy() const { return AcquireThread != nullptr || bStopping; }
};

struct TDeviceData {
    std::u16string SymbolicLink;
    HANDLE hDevice = INVALID_HANDLE_VALUE;
    DWORD DeviceID = 0;
    DWORD BaseClock = 0;
    // Output range code per DAC channel, -1 = never set. The output exports take no lock.
    std::atomic<int32_t> LastDACRanges[4] = {-1, -1, -1, -1};
    TImmediateMode ImmediateMode = imNative16;
    TRegisterMap RegisterMap = rmLayout1;
    HANDLE hThreadingMutex = INVALID_HANDLE_VALUE;
    TSequencerAcq SequencerAcq[2];
};

// One element per kept board; the index is the board index. Built at start-up, never resized
// until unload, so every thread reads its length and constant fields without a lock.
// Its storage is released explicitly at the end of unload (ReleaseDeviceTable), never by a
// static destructor, which could run before the unload notification.
extern std::vector<TDeviceData>& Devices;
// 0 until start-up ran.
extern BYTE OSVersionClass;


int32_t CloseAndInvalidate(HANDLE& handle);
// The same for a driver handle, which the driver port closes.
int32_t CloseDeviceAndInvalidate(HANDLE& handle);

// ---- Driver channel ------------------------------------------------------------------------


// One driver request. 0 on success (last error 0); otherwise the failure code, which is also
// the last error (a failure without a code becomes ERROR_GEN_FAILURE).
DWORD DriverControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                    LPDWORD bytesReturned = nullptr, LPOVERLAPPED overlapped = nullptr);

// Cancels an overlapped request sent on `device` (CancelIoEx); it then completes through its
// OVERLAPPED as usual. The result is the driver port's.
BOOL DriverCancel(HANDLE device, LPOVERLAPPED overlapped);

// ---- Register primitives -------------------------------------------------------------------

inline constexpr DWORD RegReadFailure = 0xAA55AA55;

// ERROR_UNHANDLED_EXCEPTION: the code of a run that a fault in one of the library's threads
// ended. Not every SDK's headers name it.
inline constexpr DWORD kErrorUnhandledException = 574;

DWORD RegRead(BYTE width, UINT64 iBoard, DWORD offset);
DWORD RegWrite(BYTE width, UINT64 iBoard, DWORD offset, DWORD value);
DWORD RegBlockTransfer(DWORD code, BYTE width, UINT64 iBoard, DWORD offset, DWORD count, LPVOID data);

// ---- Conversions ---------------------------------------------------------------------------

// Rounds to the nearest integer, ties to even, whatever rounding mode the calling thread has
// set (an application may change it; std::nearbyint would follow it).
double RoundHalfToEven(double x);

// An event, semaphore or mutex its holder owns, closed with the holder.
class TOwnedHandle {
public:
    explicit TOwnedHandle(HANDLE handle = nullptr) noexcept : handle_(handle) {}
    ~TOwnedHandle() {
        if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    TOwnedHandle(const TOwnedHandle&) = delete;
    TOwnedHandle& operator=(const TOwnedHandle&) = delete;
    HANDLE Get() const { return handle_; }

private:
    HANDLE handle_;
};

// A kernel object the caller cannot do without: throws std::bad_alloc when it was not created.
inline HANDLE Required(HANDLE handle) {
    if (handle == nullptr) throw std::bad_alloc();
    return handle;
}

// ---- Call frame ----------------------------------------------------------------------------

DWORD CheckBoardIndex(UINT64 iBoard);
DWORD CheckSequencerIndex(UINT64 iBoard, DWORD iSequencer);

// Raises the calling thread to time-critical priority for as long as it holds library locks,
// and puts back the priority it had.
class TimeCriticalSection {
public:
    TimeCriticalSection();
    ~TimeCriticalSection();
    TimeCriticalSection(const TimeCriticalSection&) = delete;
    TimeCriticalSection& operator=(const TimeCriticalSection&) = delete;

private:
    int previous_;
};

// Keeps the thread's last error across a scope whose calls may overwrite it: the error a driver
// request left for the caller survives the bookkeeping done after it.
class KeepLastError {
public:
    KeepLastError() : lastError_(GetLastError()) {}
    ~KeepLastError() { SetLastError(lastError_); }
    KeepLastError(const KeepLastError&) = delete;
    KeepLastError& operator=(const KeepLastError&) = delete;

private:
    DWORD lastError_;
};

// Holds one library mutex for a scope. The wait's result is not examined: a failed wait lets
// the body run without the lock, as the rest of the library expects.
class MutexHold {
public:
    explicit MutexHold(HANDLE mutex) : mutex_(mutex) { WaitForSingleObject(mutex_, INFINITE); }
    ~MutexHold() { ReleaseMutex(mutex_); }
    MutexHold(const MutexHold&) = delete;
    MutexHold& operator=(const MutexHold&) = delete;

private:
    HANDLE mutex_;
};

// A structured exception (an access violation, another runtime's exception) inside a body
// under a lock: thrown as this once the body's frames are gone, so the lock holders' destructors
// still release the locks and restore the priority on the way out.
struct TStructuredException {};

// Runs `body` contained and returns what it returns.
template <typename Body>
std::invoke_result_t<Body&> RunLockedBody(Body& body) {
    using Result = std::invoke_result_t<Body&>;
    if constexpr (std::is_void_v<Result>) {
        if (!platform::RunContainedBody(body)) throw TStructuredException();
    } else {
        Result result{};
        auto keep = [&] { result = body(); };
        if (!platform::RunContainedBody(keep)) throw TStructuredException();
        return result;
    }
}

// Runs `body` holding the sequencer's mutex at time-critical priority and returns what it
// returns. Exceptions of the body pass through after the mutex is released and the priority
// restored. Indices are not checked.
template <typename Body>
std::invoke_result_t<Body&> RunUnderSequencerLock(UINT64 iBoard, DWORD iSequencer, Body&& body) {
    TimeCriticalSection priority;
    MutexHold sequencer(Devices[iBoard].SequencerAcq[iSequencer].hSequencerMutex);
    return RunLockedBody(body);
}

// The same with the board mutex and both sequencer mutexes, taken in the library's lock order
// and released sequencer 0, sequencer 1, board.
template <typename Body>
std::invoke_result_t<Body&> RunUnderBoardLock(UINT64 iBoard, Body&& body) {
    TDeviceData& device = Devices[iBoard];
    TimeCriticalSection priority;
    struct Release {
        TDeviceData& d;
        ~Release() {
            ReleaseMutex(d.SequencerAcq[0].hSequencerMutex);
            ReleaseMutex(d.SequencerAcq[1].hSequencerMutex);
            ReleaseMutex(d.hThreadingMutex);
        }
    };
    WaitForSingleObject(device.hThreadingMutex, INFINITE);
    WaitForSingleObject(device.SequencerAcq[0].hSequencerMutex, INFINITE);
    WaitForSingleObject(device.SequencerAcq[1].hSequencerMutex, INFINITE);
    Release release{device};
    return RunLockedBody(body);
}

// What every export answers in a child that fork() made: the boards' handles, locks and
// threads all stayed with the parent (halvex.h).
inline constexpr DWORD kForkedChildError = ERROR_INVALID_HANDLE;

// Refusal in a forked child: the code (or a value-returning export's failure value) at once,
// with the code as the last error.
template <typename Result>
Result RefuseInForkedChild(Result answer) noexcept {
    SetLastError(kForkedChildError);
    return answer;
}

// The export boundary: nothing thrown or raised inside an export leaves it, structured
// exceptions included; only a forced unwind (a thread ended by its runtime) goes on through. Exports that return a code give ERROR_INTERNAL_ERROR; value-returning
// exports name their own fallback.
template <typename Result, typename Body>
Result ExportBoundary(Result onException, Body&& body) {
    if (platform::InForkedChild()) return RefuseInForkedChild(onException);
    Result result = onException;
    auto guarded = [&] {
        try {
            result = std::forward<Body>(body)();
        } catch (...) {
            if (halvex::platform::ForcedUnwinding()) throw;
            result = onException;
        }
    };
    if (!platform::RunContainedBody(guarded)) return onException;
    return result;
}

template <typename Body>
DWORD ExportBoundary(Body&& body) {
    if (platform::InForkedChild()) return RefuseInForkedChild(kForkedChildError);
    return ExportBoundary<DWORD>(ERROR_INTERNAL_ERROR, std::forward<Body>(body));
}

// The extensions' size-prefixed records (HX_BOARD_INFO, HX_ACQUIRE_STATUS, HX_CHUNK_INFO): the
// caller's Size says how many bytes its record holds, at least the first two DWORDs. `fill`
// fills a record of ours and answers 0 (or the code to return instead); the first
// min(Size, ours) bytes go back, with Size set to that count, so older and newer callers both
// get what they can hold.
template <typename Record, typename Fill>
DWORD AnswerSizedRecord(Record* pRecord, Fill&& fill) {
    DWORD size = 0;
    if (!platform::GuardedLoad(&size, pRecord, sizeof size)) return ERROR_INVALID_ADDRESS;
    if (size < 2 * sizeof(DWORD)) return ERROR_INVALID_PARAMETER;
    Record record{};
    if (const DWORD result = fill(record)) return result;
    record.Size = size < sizeof record ? size : static_cast<DWORD>(sizeof record);
    return platform::GuardedStore(pRecord, &record, record.Size) ? ERROR_SUCCESS : ERROR_INVALID_ADDRESS;
}

// The frames of the exports that take a board, or a board and a sequencer: inside the export
// boundary, the index check and then the body, which returns the export's code. Locks are the
// body's to take (RunUnderSequencerLock, RunUnderBoardLock), after its own argument checks.
template <typename Body>
DWORD BoardCall(UINT64 iBoard, Body&& body) {
    return ExportBoundary([&]() -> DWORD {
        if (const DWORD check = CheckBoardIndex(iBoard)) return check;
        return body();
    });
}

template <typename Body>
DWORD SequencerCall(UINT64 iBoard, DWORD iSequencer, Body&& body) {
    return ExportBoundary([&]() -> DWORD {
        if (const DWORD check = CheckSequencerIndex(iBoard, iSequencer)) return check;
        return body();
    });
}

}  // namespace halvex
