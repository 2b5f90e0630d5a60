#include "core/DeviceTable.h"

#include "port/DriverPort.h"

namespace halvex {

constinit TBoardTable<TDeviceData> Devices;
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

}  // namespace halvex
