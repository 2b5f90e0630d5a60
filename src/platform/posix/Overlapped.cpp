// Overlapped requests: completing them into the caller's record. The Win32 layer's
// GetOverlappedResult reads what these leave there.
#include "platform/Overlapped.h"

namespace halvex::platform {
namespace {

// A failure status that carries a Win32 error; GetOverlappedResult maps it back to that error.
constexpr ULONG_PTR kFacilityWin32Failure = 0xC0070000u;

}  // namespace

ULONG_PTR StatusFromError(DWORD err) {
    return err == ERROR_SUCCESS ? STATUS_SUCCESS : (kFacilityWin32Failure | (err & 0xFFFFu));
}

// Both helpers run inside a request on the requester's or the backend's thread; neither may
// disturb that thread's last error.
void MarkPending(OVERLAPPED* overlapped) {
    const DWORD lastError = GetLastError();
    __atomic_store_n(&overlapped->Internal, ULONG_PTR{STATUS_PENDING}, __ATOMIC_RELEASE);
    if (overlapped->hEvent) ResetEvent(overlapped->hEvent);
    SetLastError(lastError);
}

void CompleteOverlapped(OVERLAPPED* overlapped, DWORD err, DWORD bytes) {
    const DWORD lastError = GetLastError();
    const HANDLE event = overlapped->hEvent;  // the record may be reused once Internal is published
    __atomic_store_n(&overlapped->InternalHigh, ULONG_PTR{bytes}, __ATOMIC_RELAXED);
    __atomic_store_n(&overlapped->Internal, StatusFromError(err), __ATOMIC_RELEASE);
    if (event) SetEvent(event);
    SetLastError(lastError);
}

}  // namespace halvex::platform
