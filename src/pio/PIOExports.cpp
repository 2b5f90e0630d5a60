// Register access exports: one driver request each, no lock.
#include <halvex/halvex.h>

#include "core/CallFrame.h"
#include "core/Registers.h"
#include "platform/Guard.h"

using namespace halvex;

namespace {

// A block read hands pData to the driver, which refuses a buffer it cannot fill (998).
template <typename Element>
DWORD ReadInto(BYTE width, UINT64 iBoard, DWORD Offset, DWORD Count, Element* pData) {
    if (Count != 1) return RegBlockTransfer(IOCTL_REG_READ_BLOCK, width, iBoard, Offset, Count, pData);
    // The buffer is tried before the read: a FIFO word read for nowhere would be lost.
    if (!platform::CanStore(pData, sizeof(Element))) return ERROR_INVALID_ADDRESS;
    // One read, stored even when it failed; the read's outcome is in the last error.
    const auto value = static_cast<Element>(RegRead(width, iBoard, Offset));
    if (!platform::GuardedStoreValue(pData, value)) return ERROR_INVALID_ADDRESS;
    return GetLastError();
}

// Only single writes are provided; anything else is refused before any check or request. The
// value is read first, as the write's argument, so an unreadable pData wins over a bad index.
template <typename Element>
DWORD WriteFrom(BYTE width, UINT64 iBoard, DWORD Offset, DWORD Count, const Element* pData) {
    if (Count != 1) return ERROR_NOT_SUPPORTED;
    Element value{};
    if (!platform::GuardedLoad(&value, pData, sizeof value)) return ERROR_INVALID_ADDRESS;
    return RegWrite(width, iBoard, Offset, value);
}

}  // namespace

extern "C" {

HALVEX_API BYTE WINAPI PIO_In8(UINT64 iBoard, DWORD Offset) {
    return ExportBoundary<BYTE>(static_cast<BYTE>(RegReadFailure),
                                [&] { return static_cast<BYTE>(RegRead(1, iBoard, Offset)); });
}

HALVEX_API WORD WINAPI PIO_In16(UINT64 iBoard, DWORD Offset) {
    return ExportBoundary<WORD>(static_cast<WORD>(RegReadFailure),
                                [&] { return static_cast<WORD>(RegRead(2, iBoard, Offset)); });
}

HALVEX_API DWORD WINAPI PIO_In32(UINT64 iBoard, DWORD Offset) {
    return ExportBoundary<DWORD>(RegReadFailure, [&] { return RegRead(4, iBoard, Offset); });
}

HALVEX_API DWORD WINAPI PIO_Out8(UINT64 iBoard, DWORD Offset, BYTE Value) {
    return ExportBoundary([&] { return RegWrite(1, iBoard, Offset, Value); });
}

HALVEX_API DWORD WINAPI PIO_Out16(UINT64 iBoard, DWORD Offset, WORD Value) {
    return ExportBoundary([&] { return RegWrite(2, iBoard, Offset, Value); });
}

HALVEX_API DWORD WINAPI PIO_Out32(UINT64 iBoard, DWORD Offset, DWORD Value) {
    return ExportBoundary([&] { return RegWrite(4, iBoard, Offset, Value); });
}

HALVEX_API DWORD WINAPI PIO_INS8(UINT64 iBoard, DWORD Offset, DWORD Count, BYTE* pData) {
    return ExportBoundary([&] { return ReadInto(1, iBoard, Offset, Count, pData); });
}

HALVEX_API DWORD WINAPI PIO_INS16(UINT64 iBoard, DWORD Offset, DWORD Count, WORD* pData) {
    return ExportBoundary([&] { return ReadInto(2, iBoard, Offset, Count, pData); });
}

HALVEX_API DWORD WINAPI PIO_INS32(UINT64 iBoard, DWORD Offset, DWORD Count, DWORD* pData) {
    return ExportBoundary([&] { return ReadInto(4, iBoard, Offset, Count, pData); });
}

HALVEX_API DWORD WINAPI PIO_OUTS8(UINT64 iBoard, DWORD Offset, DWORD Count, const BYTE* pData) {
    return ExportBoundary([&] { return WriteFrom(1, iBoard, Offset, Count, pData); });
}

HALVEX_API DWORD WINAPI PIO_OUTS16(UINT64 iBoard, DWORD Offset, DWORD Count, const WORD* pData) {
    return ExportBoundary([&] { return WriteFrom(2, iBoard, Offset, Count, pData); });
}

HALVEX_API DWORD WINAPI PIO_OUTS32(UINT64 iBoard, DWORD Offset, DWORD Count, const DWORD* pData) {
    return ExportBoundary([&] { return WriteFrom(4, iBoard, Offset, Count, pData); });
}

}  // extern "C"
