// The call frame every export stands on: the index checks, the lock runners and the export
// boundary that keeps exceptions and faults inside the library.
#pragma once

#include <windows.h>

#include <halvex/halvex.h>

#include <type_traits>
#include <utility>

#include "core/DeviceTable.h"
#include "platform/Contain.h"
#include "platform/ForcedUnwind.h"
#include "platform/ForkedChild.h"
#include "platform/Guard.h"

namespace halvex {

// ERROR_UNHANDLED_EXCEPTION: the code of a run that a fault in one of the library's threads
// ended. Not every SDK's headers name it.
inline constexpr DWORD kErrorUnhandledException = 574;

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
    MutexHold sequencer(Devices[iBoard].hSequencerMutex[iSequencer]);
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
            ReleaseMutex(d.hSequencerMutex[0]);
            ReleaseMutex(d.hSequencerMutex[1]);
            ReleaseMutex(d.hThreadingMutex);
        }
    };
    WaitForSingleObject(device.hThreadingMutex, INFINITE);
    WaitForSingleObject(device.hSequencerMutex[0], INFINITE);
    WaitForSingleObject(device.hSequencerMutex[1], INFINITE);
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
