// Completing an overlapped request the way the kernel does, for backends that complete requests
// themselves. GetOverlappedResult is the system's own.
#include "platform/Overlapped.h"

namespace halvex::platform {
namespace {

// A failure status that carries a Win32 error; the system maps it back to that error.
constexpr ULONG_PTR kFacilityWin32Failure = 0xC0070000u;

void PublishStatus(OVERLAPPED* overlapped, ULONG_PTR status) {
    InterlockedExchange64(reinterpret_cast<volatile LONG64*>(&overlapped->Internal), static_cast<LONG64>(status));
}

}  // namespace

ULONG_PTR StatusFromError(DWORD err) {
    return err == ERROR_SUCCESS ? 0 : (kFacilityWin32Failure | (err & 0xFFFFu));
}

// Both helpers run inside a request on the requester's or the backend's thread; neither may
// disturb that thread's last error.
void MarkPending(OVERLAPPED* overlapped) {
    const DWORD lastError = GetLastError();
    PublishStatus(overlapped, STATUS_PENDING);
    if (overlapped->hEvent) ResetEvent(overlapped->hEvent);
    SetLastError(lastError);
}

void CompleteOverlapped(OVERLAPPED* overlapped, DWORD err, DWORD bytes) {
    const DWORD lastError = GetLastError();
    const HANDLE event = overlapped->hEvent;  // the record may be reused once Internal is published
    overlapped->InternalHigh = bytes;
    PublishStatus(overlapped, StatusFromError(err));  // a full barrier: the byte count is seen first
    if (event) SetEvent(event);
    SetLastError(lastError);
}

}  // namespace halvex::platform
