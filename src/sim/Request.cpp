// Decoding of a logged register request (the 8-byte RegisterRequest).
#include <halvex/sim.h>

namespace halvex::sim {

bool Request::IsRegister() const {
    return (code == kIoctlRegRead || code == kIoctlRegWrite || code == kIoctlRegReadBlock) && input.size() >= 8;
}

uint16_t Request::Offset() const {
    return IsRegister() ? static_cast<uint16_t>(input[0] | input[1] << 8) : 0;
}

uint8_t Request::Width() const { return IsRegister() ? input[3] : 0; }

uint32_t Request::Value() const {
    if (!IsRegister()) return 0;
    return uint32_t{input[4]} | uint32_t{input[5]} << 8 | uint32_t{input[6]} << 16 | uint32_t{input[7]} << 24;
}

}  // namespace halvex::sim
