// The maker's driver as a program sees it: the device-interface class its boards are published
// under and its control codes, which a test names to inject failures into the simulated driver.
// The library, the kernel backend and the simulated driver use these same values; the request
// layouts behind the codes are the library's own business.
#pragma once

#include <windows.h>

namespace halvex {

// {E77894A2-697F-11D0-958E-AF1FDADB2F1B}
inline constexpr GUID InterfaceClassGuid = {0xE77894A2, 0x697F, 0x11D0, {0x95, 0x8E, 0xAF, 0x1F, 0xDA, 0xDB, 0x2F, 0x1B}};

// Control codes: CTL_CODE values of device type 0x80FF. IOCTL_DMA_PIONG_IN is METHOD_OUT_DIRECT,
// the others METHOD_BUFFERED.
inline constexpr DWORD IOCTL_GET_DEVICE_ID = 0x80FF6000;
inline constexpr DWORD IOCTL_QUERY_BAR_BASE = 0x80FF6004;
inline constexpr DWORD IOCTL_WAIT_FOR_IRQ = 0x80FF6040;
inline constexpr DWORD IOCTL_POLL_FOR_IRQ = 0x80FF6050;
inline constexpr DWORD IOCTL_ABORT_IRQ_WAIT = 0x80FF2048;
inline constexpr DWORD IOCTL_REG_READ = 0x80FF6080;
inline constexpr DWORD IOCTL_REG_READ_BLOCK = 0x80FF6084;
inline constexpr DWORD IOCTL_REG_WRITE = 0x80FFA088;
inline constexpr DWORD IOCTL_DMA_PIONG_CONTROL = 0x80FFA100;
inline constexpr DWORD IOCTL_DMA_PIONG_IN = 0x80FF6102;

}  // namespace halvex
