// The DMA ping-pong channel as the rest of the library uses it.
#pragma once

#include <windows.h>

#include <span>

#include "board/DriverAbi.h"

namespace halvex {

// Control bytes the acquisition sends.
inline constexpr BYTE DMAControlStart = board::kDmaControlStart;
inline constexpr BYTE DMAControlStop = board::kDmaControlStop;

// Sends `Bytes` as one ping-pong control request (PIO_DMAPiongControl without a byte count, so
// nothing comes back) and returns its result.
DWORD SendDMAControl(UINT64 iBoard, std::span<const BYTE> Bytes);

}  // namespace halvex
