// Kernel backend of the driver port: the maker's driver through SetupAPI and device I/O.
#include "port/Backend.h"

#include <setupapi.h>

#include <cstddef>
#include <cstring>
#include <vector>

namespace halvex::port::backend {
namespace {

// The set is destroyed on every way out of the enumeration, an allocation failure included.
class DeviceInfoSet {
public:
    explicit DeviceInfoSet(HDEVINFO set) : set_(set) {}
    ~DeviceInfoSet() {
        if (set_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set_);
    }
    DeviceInfoSet(const DeviceInfoSet&) = delete;
    DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;
    HDEVINFO get() const { return set_; }

private:
    HDEVINFO set_;
};

// Sizes the driver's own tools have always used for the x64 records; the detail record's
// path starts right after its 4-byte size field.
constexpr DWORD kInterfaceDataSize = 32;
constexpr DWORD kDetailDataSize = 8;
constexpr std::size_t kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == kInterfaceDataSize);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == kDetailDataSize);
static_assert(kPathOffset == 4);

// Keeps the thread's last error across cleanup calls that may overwrite it.
class LastErrorKeeper {
public:
    LastErrorKeeper() : error_(GetLastError()) {}
    ~LastErrorKeeper() { SetLastError(error_); }
    LastErrorKeeper(const LastErrorKeeper&) = delete;
    LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

private:
    DWORD error_;
};

}  // namespace

std::vector<std::u16string> EnumerateInterfaces(const GUID& classGuid) {
    std::vector<std::u16string> paths;
    DeviceInfoSet set(SetupDiGetClassDevsW(&classGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (set.get() == INVALID_HANDLE_VALUE) return paths;

    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA interfaceData{};
        interfaceData.cbSize = kInterfaceDataSize;
        if (!SetupDiEnumDeviceInterfaces(set.get(), nullptr, &classGuid, index, &interfaceData)) break;

        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailW(set.get(), &interfaceData, nullptr, 0, &required, nullptr);
        if (required <= kPathOffset) continue;

        // Twice the size asked for, zeroed: the path is taken as (required - 4) UTF-16
        // characters, which runs past what the call wrote, and what lies beyond its
        // terminating NUL must be defined (the caller cuts at the first NUL).
        std::vector<BYTE> buffer(std::size_t{required} * 2);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = kDetailDataSize;
        if (!SetupDiGetDeviceInterfaceDetailW(set.get(), &interfaceData, detail, required, nullptr, nullptr)) {
            continue;
        }

        std::u16string path(required - kPathOffset, u'\0');
        std::memcpy(path.data(), buffer.data() + kPathOffset, path.size() * sizeof(char16_t));
        paths.push_back(std::move(path));
    }
    return paths;
}

HANDLE Open(LPCWSTR path) {
    return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

BOOL Control(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD bytesReturned,
             LPOVERLAPPED overlapped) {
    if (overlapped != nullptr) {
        return DeviceIoControl(device, code, in, inSize, out, outSize, bytesReturned, overlapped);
    }

    // The handle is opened for overlapped I/O, so Windows does not make DeviceIoControl wait
    // for the driver: without an OVERLAPPED a pending request would return before it
    // completes, and the I/O manager would have no event to signal and no place to write the
    // result. A private OVERLAPPED with its own event lets the request be waited for here.
    DWORD localBytes = 0;
    if (bytesReturned == nullptr) bytesReturned = &localBytes;
    *bytesReturned = 0;

    OVERLAPPED local{};
    local.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (local.hEvent == nullptr) return FALSE;

    BOOL ok = DeviceIoControl(device, code, in, inSize, out, outSize, bytesReturned, &local);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        ok = GetOverlappedResult(device, &local, bytesReturned, TRUE);
    }
    {
        LastErrorKeeper keep;
        CloseHandle(local.hEvent);
    }
    return ok;
}

BOOL Cancel(HANDLE device, LPOVERLAPPED overlapped) { return CancelIoEx(device, overlapped); }

// The driver lives in the kernel: its requests take no lock of this process.
void ProcessEnding() noexcept {}

void* AllocTransferMemory(std::size_t size) { return LocalAlloc(LMEM_FIXED, size); }

void FreeTransferMemory(void* block) { LocalFree(block); }

BOOL Close(HANDLE device) {
    {
        // Requests still pending on the handle (an interrupt wait, a DMA request) must
        // complete with a failure rather than depend on the driver's cleanup to end them.
        LastErrorKeeper keep;
        CancelIoEx(device, nullptr);
    }
    return CloseHandle(device);
}

}  // namespace halvex::port::backend
