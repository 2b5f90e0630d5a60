// The maker's driver as the library and the simulated driver speak it: the public part (the
// device-interface class and the control codes, which tests name to inject failures) and the
// request layouts behind the codes.
#pragma once

#include <halvex/driver_abi.h>

#include <cstdint>
#include <cstring>

namespace halvex::board {

// The input of IOCTL_REG_READ, _REG_READ_BLOCK and _REG_WRITE, and the answer of a read (the
// same bytes with the value filled in).
#pragma pack(push, 1)
struct RegisterRequest {
    uint16_t Offset;
    uint8_t One = 1;
    uint8_t Width;
    uint32_t Value;
};
#pragma pack(pop)
static_assert(sizeof(RegisterRequest) == 8);

// The register request in `bytes` (at least sizeof(RegisterRequest) of them).
inline RegisterRequest LoadRegisterRequest(const uint8_t* bytes) {
    RegisterRequest request;
    std::memcpy(&request, bytes, sizeof request);
    return request;
}

// The first byte of an IOCTL_DMA_PIONG_CONTROL request: arm or stop the ping-pong transfers.
inline constexpr uint8_t kDmaControlStart = 0x11;
inline constexpr uint8_t kDmaControlStop = 0x10;

}  // namespace halvex::board
