// The driver port: the one seam between the library and the boards.
//
// Every device request of the library goes through these four operations and nothing else.
// Two backends implement them: the kernel backend (Windows: SetupAPI, CreateFileW,
// DeviceIoControl) and the simulated boards (src/sim). The library cannot tell them apart.
// None of the operations takes a library lock, and none calls back into the library.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

namespace halvex::port {

// Paths of every present device interface of class `classGuid`, in enumeration order.
// A path is given as the backend found it and may carry characters after an embedded NUL;
// the caller cuts it. An empty list when none is present or the enumeration cannot start.
std::vector<std::u16string> EnumerateInterfaces(const GUID& classGuid);

// Opens a device-interface path for overlapped I/O. Returns the device handle, or
// INVALID_HANDLE_VALUE with the reason in the thread's last error.
HANDLE Open(LPCWSTR path);

// Sends one control request, with DeviceIoControl's contract:
// - `overlapped` null: the request completes before the call returns. TRUE on success with
//   *bytesReturned set; FALSE with the failure code in the last error (which may be 0).
// - `overlapped` given: either completes at once as above (the OVERLAPPED is completed too and
//   its event signalled), or returns FALSE with last error ERROR_IO_PENDING; the request then
//   completes later by writing its status (Internal) and byte count (InternalHigh) into the
//   caller's OVERLAPPED and signalling its hEvent, so GetOverlappedResult and
//   WaitForSingleObject work on it. The caller's buffers must live until then.
// `bytesReturned` may be null only when `overlapped` is given.
BOOL Control(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
             LPDWORD bytesReturned, LPOVERLAPPED overlapped);

// Asks the driver to cancel the overlapped request `overlapped` sent on `device`, as
// CancelIoEx does. TRUE when a request was found and marked; it then completes (normally at
// once, with ERROR_OPERATION_ABORTED unless it had already finished) through its OVERLAPPED as
// any completion does. FALSE with ERROR_NOT_FOUND when no such request is pending.
BOOL Cancel(HANDLE device, LPOVERLAPPED overlapped);

// Closes a handle from Open. Requests still pending on it complete with a failure.
BOOL Close(HANDLE device);

// Memory for the library's own transfers, like a driver's common buffer: the library allocates
// here the data blocks and the OVERLAPPED records of the requests it sends, frees them here once
// no request holds them, and never gives them to the application. The simulated boards neither
// probe such memory nor write it through the caller-pointer guard, as a board's DMA needs
// neither; memory from anywhere else gets both. Null when there is not enough memory.
void* AllocTransferMemory(std::size_t size);
void FreeTransferMemory(void* block);

// Where a backend's diagnostic lines go (a replay that diverged, a recording refused): the
// library points this at its diagnostic log while it is started. A line posted while no sink is
// set is dropped. The sink must not call back into the port.
using DiagnosticSink = void (*)(std::u16string line);
void SetDiagnosticSink(DiagnosticSink sink) noexcept;
void PostDiagnostic(std::u16string line);

// The process is ending and its other threads are gone, wherever they were: inside the backend,
// holding its locks, among them. From now on Control, Cancel and Close answer without taking a
// lock or allocating: a backend that cannot do a request that way fails it with
// ERROR_DEVICE_NOT_CONNECTED. FreeTransferMemory may then leave the block to the process's end.
void ProcessEnding() noexcept;

}  // namespace halvex::port

namespace halvex::port {

// ---- Recording ------------------------------------------------------------------------------
// While a recording runs, every operation above is written to a file (docs/recording-format.md)
// as it passes, with its answer; overlapped requests go to the backend with an OVERLAPPED of the
// recorder's, whose completion is written down and then handed on to the caller's.

// Starts recording into the file at `path` (UTF-8), replacing a recording already running.
// `dataLimit` bytes are kept of each completed overlapped transfer (0xFFFFFFFF: all). Returns a
// Win32 error: 0, or the reason the file could not be created.
DWORD StartRecording(const char* path, DWORD dataLimit);
// Ends the recording, if one runs, and closes its file. 0, or the error of the last write.
DWORD StopRecording();
// At load: starts a recording when HALVEX_RECORD names a file (HALVEX_RECORD_DATA_BYTES, if set,
// is the data limit).
void StartRecordingFromEnvironment();
// Start-up has opened the boards. From the enumeration until then, the port keeps the traffic
// in memory, and a recording started later begins with it, so it replays from a start.
void StartupDone();
// At unload, after every handle is closed: ends the recording and the recorder's threads.
void EndRecorder();

}  // namespace halvex::port
