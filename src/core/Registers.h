// The register primitives: driver requests, register reads and writes, and the rounding the
// values written to registers go through.
#pragma once

#include <windows.h>

#include "board/DriverAbi.h"

namespace halvex {

// One driver request. 0 on success (last error 0); otherwise the failure code, which is also
// the last error (a failure without a code becomes ERROR_GEN_FAILURE).
DWORD DriverControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                    LPDWORD bytesReturned = nullptr, LPOVERLAPPED overlapped = nullptr);

// Cancels an overlapped request sent on `device` (CancelIoEx); it then completes through its
// OVERLAPPED as usual. The result is the driver port's.
BOOL DriverCancel(HANDLE device, LPOVERLAPPED overlapped);

inline constexpr DWORD RegReadFailure = 0xAA55AA55;

DWORD RegRead(BYTE width, UINT64 iBoard, DWORD offset);
DWORD RegWrite(BYTE width, UINT64 iBoard, DWORD offset, DWORD value);
DWORD RegBlockTransfer(DWORD code, BYTE width, UINT64 iBoard, DWORD offset, DWORD count, LPVOID data);

// Rounds to the nearest integer, ties to even, whatever rounding mode the calling thread has
// set (an application may change it; std::nearbyint would follow it).
double RoundHalfToEven(double x);

}  // namespace halvex
