// GetOverlappedResult: the result a completed request left in the caller's OVERLAPPED.
#include <windows.h>

namespace {

// Completions on this platform carry a Win32 error in the low 16 bits of one of these.
constexpr ULONG_PTR kFacilityWin32Failure = 0xC0070000u;
constexpr ULONG_PTR kFacilityWin32Warning = 0x80070000u;

// NT_SUCCESS: informational and success statuses have the top bit clear.
bool IsSuccessStatus(ULONG_PTR status) { return (static_cast<DWORD>(status) & 0x80000000u) == 0; }

// Any other failure status is still a failure, never a success.
DWORD ErrorFromStatus(ULONG_PTR status) {
    const auto facility = status & 0xFFFF0000u;
    if (facility == kFacilityWin32Failure || facility == kFacilityWin32Warning)
        return static_cast<DWORD>(status & 0xFFFFu);
    return ERROR_GEN_FAILURE;
}

ULONG_PTR LoadStatus(const OVERLAPPED* overlapped) {
    return __atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE);
}

}  // namespace

extern "C" BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                           LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    if (lpOverlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ULONG_PTR status = LoadStatus(lpOverlapped);
    if (status == STATUS_PENDING) {
        if (!bWait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        // The completion signals the record's event, or the file handle when there is none.
        const HANDLE waitOn = lpOverlapped->hEvent ? lpOverlapped->hEvent : hFile;
        if (WaitForSingleObject(waitOn, INFINITE) == WAIT_FAILED) return FALSE;
        status = LoadStatus(lpOverlapped);
        if (status == STATUS_PENDING) {
            // Woken by someone other than the completion (Windows would report the pending
            // status as success here): the request is still in flight.
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
    }
    if (lpNumberOfBytesTransferred)
        *lpNumberOfBytesTransferred = static_cast<DWORD>(__atomic_load_n(&lpOverlapped->InternalHigh, __ATOMIC_RELAXED));
    if (!IsSuccessStatus(status)) {
        SetLastError(ErrorFromStatus(status));
        return FALSE;
    }
    return TRUE;
}
