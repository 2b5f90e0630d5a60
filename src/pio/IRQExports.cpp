// Interrupt wait, poll and abort. The library keeps no interrupt state: the driver decides what
// satisfies or ends a wait; these exports send the request and turn its outcome into a code.
// No lock, no priority change, so a blocked waiter holds nothing another export needs.
#include <halvex/halvex.h>

#include "core/Core.h"

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

DWORD WaitForIRQ(UINT64 iBoard) {
    const HANDLE device = Devices[iBoard].hDevice;
    WaitEvent event;
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.Handle();
    DWORD bytes = 0;
    const DWORD sent = DriverControl(device, IOCTL_WAIT_FOR_IRQ, nullptr, 0, nullptr, 0, &bytes, &overlapped);
    if (sent != ERROR_IO_PENDING) return sent;
    if (GetOverlappedResult(device, &overlapped, &bytes, TRUE)) return ERROR_SUCCESS;
    const DWORD completion = GetLastError();
    // The driver ends a satisfied wait with "no more files" as well as with success. A failed
    // wait that leaves no code is still a failure.
    if (completion == ERROR_SUCCESS) return ERROR_GEN_FAILURE;
    return completion == ERROR_NO_MORE_FILES ? ERROR_SUCCESS : completion;
}

}  // namespace

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
    return BoardCall(iBoard, [&]() -> DWORD {
        return DriverControl(Devices[iBoard].hDevice, IOCTL_ABORT_IRQ_WAIT, nullptr, 0, nullptr, 0);
    });
}

}  // extern "C"
