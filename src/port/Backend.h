// The backend behind the driver port: the kernel driver (src/port/kernel) or the simulated
// boards (src/sim). Each function keeps the contract of its namesake in DriverPort.h; the port
// forwards to them and, while a recording runs, writes down what passed (Recording.h).
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

namespace halvex::port::backend {

std::vector<std::u16string> EnumerateInterfaces(const GUID& classGuid);
HANDLE Open(LPCWSTR path);
BOOL Control(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
             LPDWORD bytesReturned, LPOVERLAPPED overlapped);
BOOL Cancel(HANDLE device, LPOVERLAPPED overlapped);
BOOL Close(HANDLE device);
void* AllocTransferMemory(std::size_t size);
void FreeTransferMemory(void* block);
void ProcessEnding() noexcept;

}  // namespace halvex::port::backend
