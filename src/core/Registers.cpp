#include "core/Registers.h"

#include <cmath>

#include "core/CallFrame.h"
#include "port/DriverPort.h"

namespace halvex {

DWORD DriverControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                    LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
    try {
        DWORD local = 0;
        if (bytesReturned == nullptr) bytesReturned = &local;
        if (port::Control(device, code, in, inSize, out, outSize, bytesReturned, overlapped)) {
            SetLastError(ERROR_SUCCESS);
            return ERROR_SUCCESS;
        }
        DWORD error = GetLastError();
        if (error == ERROR_SUCCESS) {
            error = ERROR_GEN_FAILURE;
            SetLastError(error);
        }
        return error;
    } catch (...) {
        if (halvex::platform::ForcedUnwinding()) throw;
        return ERROR_INTERNAL_ERROR;
    }
}

BOOL DriverCancel(HANDLE device, LPOVERLAPPED overlapped) {
    try {
        return port::Cancel(device, overlapped);
    } catch (...) {
        if (halvex::platform::ForcedUnwinding()) throw;
        return FALSE;
    }
}

DWORD RegRead(BYTE width, UINT64 iBoard, DWORD offset) {
    const DWORD check = CheckBoardIndex(iBoard);
    if (check != ERROR_SUCCESS) {
        SetLastError(check);
        return RegReadFailure;
    }
    board::RegisterRequest request{static_cast<uint16_t>(offset), 1, width, 0};
    SetLastError(ERROR_SUCCESS);
    if (DriverControl(Devices[iBoard].hDevice, IOCTL_REG_READ, &request, sizeof request, &request,
                      sizeof request) != ERROR_SUCCESS)
        return RegReadFailure;
    return request.Value;
}

DWORD RegWrite(BYTE width, UINT64 iBoard, DWORD offset, DWORD value) {
    const DWORD check = CheckBoardIndex(iBoard);
    if (check != ERROR_SUCCESS) return check;
    board::RegisterRequest request{static_cast<uint16_t>(offset), 1, width, value};
    return DriverControl(Devices[iBoard].hDevice, IOCTL_REG_WRITE, &request, sizeof request, &request,
                         sizeof request);
}

DWORD RegBlockTransfer(DWORD code, BYTE width, UINT64 iBoard, DWORD offset, DWORD count, LPVOID data) {
    const DWORD check = CheckBoardIndex(iBoard);
    if (check != ERROR_SUCCESS) return check;
    board::RegisterRequest request{static_cast<uint16_t>(offset), 1, width, 0};
    return DriverControl(Devices[iBoard].hDevice, code, &request, sizeof request, data,
                         static_cast<DWORD>(width * count));
}

double RoundHalfToEven(double x) {
    const double below = std::floor(x);
    const double fraction = x - below;
    if (fraction < 0.5) return below;
    if (fraction > 0.5) return below + 1.0;
    return std::fmod(below, 2.0) == 0.0 ? below : below + 1.0;
}

}  // namespace halvex
