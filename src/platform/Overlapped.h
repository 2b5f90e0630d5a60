// Completing an overlapped request the way the kernel does: the status and byte count go into the
// caller's OVERLAPPED record, then its event is signalled. Used by backends that complete
// requests themselves (the simulated boards) on every platform.
#pragma once

#include <windows.h>

namespace halvex::platform {

// The OVERLAPPED.Internal status for a Win32 error: 0 for ERROR_SUCCESS, otherwise a failure
// status carrying the error in its low 16 bits, which GetOverlappedResult turns back into it.
ULONG_PTR StatusFromError(DWORD err);

// Marks `overlapped` as a request in flight: Internal = STATUS_PENDING, its event (if any) reset.
// Call before the request can complete.
void MarkPending(OVERLAPPED* overlapped);

// Completes a request: InternalHigh = bytes, then Internal = the status for `err` (published
// with release semantics, so a reader that sees it also sees the byte count and the data),
// then the event, if any, is set.
void CompleteOverlapped(OVERLAPPED* overlapped, DWORD err, DWORD bytes);

}  // namespace halvex::platform
