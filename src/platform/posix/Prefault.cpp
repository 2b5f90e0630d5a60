#include "platform/Prefault.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace halvex::platform {

void Prefault(void* block, std::size_t size) noexcept {
    if (block == nullptr || size == 0) return;
    // One system call for the whole block instead of a fault per page; kernels before 5.14
    // refuse the advice, and then every page is written once.
    static const auto kPage = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto first = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t start = first & ~(kPage - 1);
    if (madvise(reinterpret_cast<void*>(start), first + size - start, MADV_POPULATE_WRITE) == 0) return;
    auto* bytes = static_cast<volatile unsigned char*>(block);
    for (std::size_t offset = 0; offset < size; offset += kPage) bytes[offset] = 0;
    bytes[size - 1] = 0;
}

}  // namespace halvex::platform
