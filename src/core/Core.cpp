#include "core/Core.h"

#include <cmath>

#include "port/DriverPort.h"

namespace halvex {

namespace {
// Holds a value whose destructor never runs.
template <typename T>
union NoDestructor {
    constexpr NoDestructor() : value() {}
    ~NoDestructor() {}
    T value;
};
constinit NoDestructor<std::vector<TDeviceData>> DeviceTable;
}  // namespace

std::vector<TDeviceData>& Devices = DeviceTable.value;
BYTE OSVersionClass = 0;

int32_t CloseAndInvalidate(HANDLE& handle) {
    if (handle == INVALID_HANDLE_VALUE) return -1;
    const BOOL closed = CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
    return closed;
}

int32_t CloseDeviceAndInvalidate(HANDLE& handle) {
    if (handle == INVALID_HANDLE_VALUE) return -1;
    const BOOL closed = port::Close(handle);
    handle = INVALID_HANDLE_VALUE;
    return closed;
}

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

// ---- Register primitives -------------------------------------------------------------------

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

// ---- Call frame ----------------------------------------------------------------------------

DWORD CheckBoardIndex(UINT64 iBoard) {
    try {
        const DWORD result = iBoard < Devices.size() ? ERROR_SUCCESS : ERROR_INVALID_INDEX;
        SetLastError(result);
        return result;
    } catch (...) {
        if (halvex::platform::ForcedUnwinding()) throw;
        return ERROR_INTERNAL_ERROR;
    }
}

DWORD CheckSequencerIndex(UINT64 iBoard, DWORD iSequencer) {
    try {
        const DWORD board = CheckBoardIndex(iBoard);
        if (board != ERROR_SUCCESS) return board;
        const DWORD result = iSequencer < 2 ? ERROR_SUCCESS : ERROR_INVALID_INDEX;
        SetLastError(result);
        return result;
    } catch (...) {
        if (halvex::platform::ForcedUnwinding()) throw;
        return ERROR_INTERNAL_ERROR;
    }
}

TimeCriticalSection::TimeCriticalSection() : previous_(GetThreadPriority(GetCurrentThread())) {
    if (previous_ != THREAD_PRIORITY_TIME_CRITICAL)
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
}

TimeCriticalSection::~TimeCriticalSection() {
    if (previous_ != THREAD_PRIORITY_TIME_CRITICAL) SetThreadPriority(GetCurrentThread(), previous_);
}

}  // namespace halvex
