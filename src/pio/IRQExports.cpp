// Interrupt wait, poll and abort. The driver decides what satisfies or ends a wait; these
// exports send the request and turn its outcome into a code. The one thing the library keeps
// is the list of waits in flight, so that an abort or the unload can still end a wait whose
// driver ignores the abort. No board lock, no priority change, so a blocked waiter holds
// nothing another export needs.
#include "pio/IRQ.h"

#include <halvex/halvex.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "core/CallFrame.h"
#include "core/Registers.h"

using namespace halvex;

namespace {

// Owns the wait's event for the length of one call and closes it on every way out, without
// disturbing the last error the request and the wait left for the caller.
class WaitEvent {
public:
    WaitEvent() : handle_(CreateEventW(nullptr, TRUE, FALSE, reinterpret_cast<LPCWSTR>(u""))) {}
    ~WaitEvent() {
        if (handle_ == nullptr) return;
        const DWORD lastError = GetLastError();
        CloseAndInvalidate(handle_);
        SetLastError(lastError);
    }
    WaitEvent(const WaitEvent&) = delete;
    WaitEvent& operator=(const WaitEvent&) = delete;

    // Null when it could not be created; the OVERLAPPED then has no event and the wait falls
    // back on the device handle.
    HANDLE Handle() const { return handle_; }

private:
    HANDLE handle_;
};

struct TWaitInFlight {
    UINT64 iBoard;
    HANDLE device;
    OVERLAPPED* overlapped;  // the waiter's own, alive while the entry is listed
    uint64_t serial;         // grows with every wait, so "in flight before" is a comparison
    bool pending = false;    // the driver holds the request
    bool cancel = false;     // to be cancelled as soon as the driver holds it
};

// Every PIO_WaitForIRQ from just before its request is sent until the request has completed.
// Entries change only under `mutex`, and a waiter takes its entry out before its OVERLAPPED
// goes, so an entry found under the mutex names a live OVERLAPPED. The request itself is sent
// without the mutex: a driver may hold a thread inside the request until the interrupt or the
// abort comes. Never destroyed, so a waiter that leaves late finds it still there.
struct TWaitsInFlight {
    std::mutex mutex;
    std::condition_variable left;  // an entry was taken out
    std::vector<TWaitInFlight> waits;
    uint64_t nextSerial = 1;
};

TWaitsInFlight& WaitsInFlight() {
    static TWaitsInFlight* const list = new TWaitsInFlight();
    return *list;
}

// The waits of one board that were in flight at one moment: those listed before `endSerial`.
struct TWaitsOfBoard {
    UINT64 iBoard;
    HANDLE device;
    uint64_t endSerial;

    bool Holds(const TWaitInFlight& wait) const {
        return wait.iBoard == iBoard && wait.device == device && wait.serial < endSerial;
    }
};

// One wait on the list, from just before its request is sent until its request has completed.
class TListedWait {
public:
    TListedWait() = default;
    ~TListedWait() { Remove(); }
    TListedWait(const TListedWait&) = delete;
    TListedWait& operator=(const TListedWait&) = delete;

    // Lists the wait, then sends its request. A request that does not pend is taken off again
    // at once; one that pends is marked so, and cancelled here if an abort already asked for it
    // while the request was on its way.
    DWORD Send(UINT64 iBoard, HANDLE device, OVERLAPPED& overlapped, DWORD& bytes) {
        TWaitsInFlight& list = WaitsInFlight();
        {
            std::lock_guard lock(list.mutex);
            list.waits.push_back({iBoard, device, &overlapped, list.nextSerial, false, false});
            serial_ = list.nextSerial++;
        }
        const DWORD sent = DriverControl(device, IOCTL_WAIT_FOR_IRQ, nullptr, 0, nullptr, 0, &bytes, &overlapped);
        if (sent != ERROR_IO_PENDING) {
            Remove();
            return sent;
        }
        KeepLastError keep;
        std::lock_guard lock(list.mutex);
        auto markPending = [&] {
            for (TWaitInFlight& wait : list.waits) {
                if (wait.serial != serial_) continue;
                wait.pending = true;
                if (wait.cancel) DriverCancel(device, &overlapped);
            }
        };
        // A structured exception must not leave the list locked.
        RunLockedBody(markPending);
        return sent;
    }

    void Remove() {
        if (serial_ == 0) return;
        KeepLastError keep;
        TWaitsInFlight& list = WaitsInFlight();
        {
            std::lock_guard lock(list.mutex);
            std::erase_if(list.waits, [this](const TWaitInFlight& wait) { return wait.serial == serial_; });
        }
        serial_ = 0;
        list.left.notify_all();
    }

private:
    uint64_t serial_ = 0;
};

TWaitsOfBoard WaitsInFlightNow(UINT64 iBoard) {
    TWaitsInFlight& list = WaitsInFlight();
    KeepLastError keep;
    std::lock_guard lock(list.mutex);
    return {iBoard, Devices[iBoard].hDevice, list.nextSerial};
}

// Lets the driver end `waits` within `graceMs`, cancels those it did not end, and waits a
// bounded time for them to return to their callers.
void EndWaits(const TWaitsOfBoard& waits, DWORD graceMs) {
    TWaitsInFlight& list = WaitsInFlight();
    KeepLastError keep;
    std::unique_lock lock(list.mutex);
    const auto ended = [&] {
        for (const TWaitInFlight& wait : list.waits) {
            if (waits.Holds(wait)) return false;
        }
        return true;
    };
    if (ended()) return;
    if (graceMs != 0 && list.left.wait_for(lock, std::chrono::milliseconds(graceMs), ended)) return;
    auto cancel = [&] {
        for (TWaitInFlight& wait : list.waits) {
            if (!waits.Holds(wait)) continue;
            if (wait.pending) {
                DriverCancel(wait.device, wait.overlapped);
            } else {
                wait.cancel = true;  // its waiter cancels it once the driver holds it
            }
        }
    };
    RunLockedBody(cancel);
    list.left.wait_for(lock, std::chrono::milliseconds(kIrqCancelledWaitMs), ended);
}

DWORD WaitForIRQ(UINT64 iBoard) {
    const HANDLE device = Devices[iBoard].hDevice;
    WaitEvent event;
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.Handle();
    DWORD bytes = 0;
    TListedWait listed;  // off the list before the event and the OVERLAPPED it names go
    const DWORD sent = listed.Send(iBoard, device, overlapped, bytes);
    if (sent != ERROR_IO_PENDING) return sent;
    const BOOL satisfied = GetOverlappedResult(device, &overlapped, &bytes, TRUE);
    listed.Remove();
    if (satisfied) return ERROR_SUCCESS;
    const DWORD completion = GetLastError();
    // The driver ends a satisfied wait with "no more files" as well as with success. A failed
    // wait that leaves no code is still a failure.
    if (completion == ERROR_SUCCESS) return ERROR_GEN_FAILURE;
    return completion == ERROR_NO_MORE_FILES ? ERROR_SUCCESS : completion;
}

DWORD AbortIRQWait(UINT64 iBoard) {
    // Only the waits in flight now: one that begins after the abort waits for the next
    // interrupt, as the driver would have it.
    const TWaitsOfBoard waits = WaitsInFlightNow(iBoard);
    const DWORD result = DriverControl(Devices[iBoard].hDevice, IOCTL_ABORT_IRQ_WAIT, nullptr, 0, nullptr, 0);
    // Also after a refused abort: the caller wants the waits over, and a driver that does not
    // know the request would otherwise leave them for ever.
    EndWaits(waits, kIrqAbortGraceMs);
    return result;
}

}  // namespace

namespace halvex {

void EndInterruptWaitsAtDetach(UINT64 iBoard) {
    try {
        if (Devices[iBoard].hDevice == INVALID_HANDLE_VALUE) return;
        EndWaits(WaitsInFlightNow(iBoard), 0);
    } catch (...) {
        if (halvex::platform::ForcedUnwinding()) throw;
        // Closing the handle is the next way to end them.
    }
}

}  // namespace halvex

extern "C" {

HALVEX_API DWORD WINAPI PIO_WaitForIRQ(UINT64 iBoard) {
    return BoardCall(iBoard, [&] { return WaitForIRQ(iBoard); });
}

HALVEX_API DWORD WINAPI PIO_PollForIRQ(UINT64 iBoard) {
    return BoardCall(iBoard, [&]() -> DWORD {
        return DriverControl(Devices[iBoard].hDevice, IOCTL_POLL_FOR_IRQ, nullptr, 0, nullptr, 0);
    });
}

HALVEX_API DWORD WINAPI PIO_AbortIRQWait(UINT64 iBoard) {
    return BoardCall(iBoard, [&] { return AbortIRQWait(iBoard); });
}

}  // extern "C"
