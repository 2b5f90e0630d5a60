// The DMA ping-pong channel as the rest of the library uses it.
#pragma once

#include <windows.h>

#include <span>

namespace halvex {

// Control bytes the acquisition sends.
inline constexpr BYTE DMAControlStart = 0x11;
inline constexpr BYTE DMAControlStop = 0x10;

// Sends `Bytes` as one ping-pong control request (PIO_DMAPiongControl without a byte count, so
// nothing comes back) and returns its result.
DWORD SendDMAControl(UINT64 iBoard, std::span<const BYTE> Bytes);

}  // namespace halvex
