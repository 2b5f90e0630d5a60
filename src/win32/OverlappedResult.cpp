// GetOverlappedResult: the result a completed request left in the caller's OVERLAPPED.
#include <windows.h>

namespace {

constexpr ULONG_PTR kFacilityWin32Failure = 0xC0070000u;
constexpr ULONG_PTR kFacilityWin32Warning = 0x80070000u;

struct StatusMapping {
    DWORD status;
    DWORD error;
};

// NT statuses a driver completes requests with, beyond the ones that carry a Win32 error.
constexpr StatusMapping kStatusErrors[] = {
    {0xC0000120u, ERROR_OPERATION_ABORTED},    // STATUS_CANCELLED
    {0x80000006u, ERROR_NO_MORE_FILES},        // STATUS_NO_MORE_FILES
    {0xC0000001u, ERROR_GEN_FAILURE},          // STATUS_UNSUCCESSFUL
    {0xC0000010u, ERROR_INVALID_FUNCTION},     // STATUS_INVALID_DEVICE_REQUEST
    {0xC000000Du, ERROR_INVALID_PARAMETER},    // STATUS_INVALID_PARAMETER
    {0xC0000008u, ERROR_INVALID_HANDLE},       // STATUS_INVALID_HANDLE
    {0xC0000022u, ERROR_ACCESS_DENIED},        // STATUS_ACCESS_DENIED
    {0xC0000005u, ERROR_NOACCESS},             // STATUS_ACCESS_VIOLATION
    {0xC0000023u, ERROR_INSUFFICIENT_BUFFER},  // STATUS_BUFFER_TOO_SMALL
    {0x80000005u, ERROR_MORE_DATA},            // STATUS_BUFFER_OVERFLOW
    {0xC0000011u, ERROR_HANDLE_EOF},           // STATUS_END_OF_FILE
    {0xC00000BBu, ERROR_NOT_SUPPORTED},        // STATUS_NOT_SUPPORTED
    {0xC00000B5u, ERROR_SEM_TIMEOUT},          // STATUS_IO_TIMEOUT
    {0xC000009Du, ERROR_DEVICE_NOT_CONNECTED}, // STATUS_DEVICE_NOT_CONNECTED
    {0xC0000017u, ERROR_NOT_ENOUGH_MEMORY},    // STATUS_NO_MEMORY
};

// NT_SUCCESS: informational and success statuses have the top bit clear.
bool IsSuccessStatus(ULONG_PTR status) { return (static_cast<DWORD>(status) & 0x80000000u) == 0; }

DWORD ErrorFromStatus(ULONG_PTR status) {
    const auto facility = status & 0xFFFF0000u;
    if (facility == kFacilityWin32Failure || facility == kFacilityWin32Warning)
        return static_cast<DWORD>(status & 0xFFFFu);
    for (const auto& mapping : kStatusErrors) {
        if (mapping.status == status) return mapping.error;
    }
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
