#include "platform/Prefault.h"

namespace halvex::platform {

void Prefault(void* block, std::size_t size) noexcept {
    if (block == nullptr || size == 0) return;
    constexpr std::size_t kPageBytes = 4096;
    auto* bytes = static_cast<volatile unsigned char*>(block);
    for (std::size_t offset = 0; offset < size; offset += kPageBytes) bytes[offset] = 0;
    bytes[size - 1] = 0;
}

}  // namespace halvex::platform
