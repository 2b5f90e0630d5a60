// DMA ping-pong requests, the BAR query and the device handle. No lock: each export is one
// driver request (or none) on the board's handle.
#include <halvex/halvex.h>

#include <algorithm>

#include "core/CallFrame.h"
#include "core/Registers.h"
#include "pio/DMA.h"
#include "platform/Guard.h"

namespace halvex {

DWORD SendDMAControl(UINT64 iBoard, std::span<const BYTE> Bytes) {
    // The request shares one buffer for input and answer, so the bytes go into one we may
    // write; on the stack, since this also runs at process end, when the heap's lock may have
    // died with another thread.
    BYTE buffer[16] = {};
    if (Bytes.size() > sizeof buffer) return ERROR_INVALID_PARAMETER;
    std::copy(Bytes.begin(), Bytes.end(), buffer);
    if (const DWORD check = CheckBoardIndex(iBoard)) return check;
    return DriverControl(Devices[iBoard].hDevice, IOCTL_DMA_PIONG_CONTROL, buffer, static_cast<DWORD>(Bytes.size()),
                         buffer, 0);
}

}  // namespace halvex

using namespace halvex;

namespace {

// The request's status is written into the caller's OVERLAPPED as soon as it is sent, before any
// driver could refuse it, so an unusable record is refused here as the I/O manager refuses an
// unusable buffer.
bool UsableOverlapped(OVERLAPPED* pOverlapped) {
    return pOverlapped == nullptr || platform::CanStore(pOverlapped, sizeof *pOverlapped);
}

}  // namespace

extern "C" {

HALVEX_API DWORD WINAPI PIO_DMAPiongControl(UINT64 iBoard, BYTE* pData, DWORD DataSize, DWORD* pOutSize) {
    return BoardCall(iBoard, [&]() -> DWORD {
        // The capacity for the answer is read, and the count written back, through the guard:
        // a bad pOutSize is refused rather than taken as a fault.
        DWORD capacity = 0;
        if (pOutSize != nullptr && (!platform::GuardedLoad(&capacity, pOutSize, sizeof capacity) ||
                                    !platform::CanStore(pOutSize, sizeof capacity)))
            return ERROR_INVALID_ADDRESS;
        DWORD returned = 0;
        const DWORD result = DriverControl(Devices[iBoard].hDevice, IOCTL_DMA_PIONG_CONTROL, pData, DataSize, pData,
                                           capacity, &returned);
        if (pOutSize != nullptr && !platform::GuardedStoreValue(pOutSize, returned)) return ERROR_INVALID_ADDRESS;
        return result;
    });
}

HALVEX_API DWORD WINAPI PIO_DMAPiongIn(UINT64 iBoard, BYTE* pData, DWORD DataSize, OVERLAPPED* pOverlapped) {
    return BoardCall(iBoard, [&]() -> DWORD {
        if (!UsableOverlapped(pOverlapped)) return ERROR_NOACCESS;
        return DriverControl(Devices[iBoard].hDevice, IOCTL_DMA_PIONG_IN, nullptr, 0, pData, DataSize, nullptr,
                             pOverlapped);
    });
}

HALVEX_API DWORD WINAPI PIO_DMAChPiongIn(UINT64 iBoard, DWORD DMACh, BYTE* pData, DWORD DataSize,
                                         OVERLAPPED* pOverlapped) {
    return BoardCall(iBoard, [&]() -> DWORD {
        if (!UsableOverlapped(pOverlapped)) return ERROR_NOACCESS;
        // The driver copies its input when the request is sent, so a local serves an overlapped
        // request too.
        DWORD channel = DMACh;
        return DriverControl(Devices[iBoard].hDevice, IOCTL_DMA_PIONG_IN, &channel, sizeof channel, pData,
                             DataSize, nullptr, pOverlapped);
    });
}

HALVEX_API DWORD WINAPI PIO_GetDeviceHandle(UINT64 iBoard, HANDLE* pHandle) {
    return ExportBoundary([&]() -> DWORD {
        // The pointer is tried before the board index: an unusable pointer wins over a bad index.
        if (!platform::GuardedStoreValue(pHandle, HANDLE{nullptr})) return ERROR_NOACCESS;
        if (const DWORD check = CheckBoardIndex(iBoard)) return check;
        if (!platform::GuardedStoreValue(pHandle, Devices[iBoard].hDevice)) return ERROR_NOACCESS;
        return ERROR_SUCCESS;
    });
}

HALVEX_API DWORD WINAPI PIO_QueryBARBase(UINT64 iBoard, DWORD BAR, DWORD* pBase) {
    return BoardCall(iBoard, [&]() -> DWORD {
        if (pBase == nullptr || !platform::GuardedStoreValue(pBase, DWORD{0})) return ERROR_INVALID_ACCESS;
        if (BAR > 5) return ERROR_INVALID_PARAMETER;
        DWORD buffer = BAR;
        const DWORD result =
            DriverControl(Devices[iBoard].hDevice, IOCTL_QUERY_BAR_BASE, &buffer, sizeof buffer, &buffer, sizeof buffer);
        if (result != ERROR_SUCCESS) return result;
        if (!platform::GuardedStoreValue(pBase, buffer)) return ERROR_INVALID_ACCESS;
        return ERROR_SUCCESS;
    });
}

}  // extern "C"
