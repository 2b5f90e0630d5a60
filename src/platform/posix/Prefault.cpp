#include "platform/Prefault.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "Populate.h"

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace halvex::platform {
namespace {
// Asked on first use: the library's start-up may come before this file's static initializers.
std::uintptr_t PageSize() {
    static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    return page;
}
}  // namespace

int PopulateWritable(const void* block, std::size_t size) noexcept {
    const auto first = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t start = first & ~(PageSize() - 1);
    return madvise(reinterpret_cast<void*>(start), first + size - start, MADV_POPULATE_WRITE) == 0 ? 0 : errno;
}

void Prefault(void* block, std::size_t size) noexcept {
    if (block == nullptr || size == 0) return;
    // One system call for the whole block instead of a fault per page; where the kernel refuses
    // the advice, every page is written once.
    if (PopulateWritable(block, size) == 0) return;
    auto* bytes = static_cast<volatile unsigned char*>(block);
    for (std::size_t offset = 0; offset < size; offset += PageSize()) bytes[offset] = 0;
    bytes[size - 1] = 0;
}

}  // namespace halvex::platform
