// Caller-pointer guard on Windows: the whole range must be committed memory whose protection
// allows the access before anything is copied, and the copy itself is contained, since another
// thread of the application may release or protect the memory in between.
#include "platform/Guard.h"

#include "platform/Contain.h"

#include <windows.h>

#include <cstdint>
#include <cstring>

namespace halvex::platform {
namespace {

constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                            PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
constexpr DWORD kWritable = PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;

bool RangeAllows(const void* p, std::size_t size, DWORD wanted) {
    if (p == nullptr) return false;
    if (size == 0) return true;
    const auto first = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t end = first + size;
    if (end < first) return false;
    std::uintptr_t at = first;
    while (at < end) {
        MEMORY_BASIC_INFORMATION region{};
        if (VirtualQuery(reinterpret_cast<LPCVOID>(at), &region, sizeof region) == 0) return false;
        if (region.State != MEM_COMMIT || (region.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0 ||
            (region.Protect & wanted) == 0)
            return false;
        const std::uintptr_t regionEnd = reinterpret_cast<std::uintptr_t>(region.BaseAddress) + region.RegionSize;
        if (regionEnd <= at) return false;
        at = regionEnd;
    }
    return true;
}

bool ContainedCopy(void* dst, const void* src, std::size_t size) {
    if (size == 0) return true;
    auto copy = [&] { std::memcpy(dst, src, size); };
    return RunContainedBody(copy);
}

}  // namespace

bool GuardedStore(void* dst, const void* src, std::size_t size) {
    if (src == nullptr || !RangeAllows(dst, size, kWritable)) return false;
    return ContainedCopy(dst, src, size);
}

bool GuardedLoad(void* dst, const void* src, std::size_t size) {
    if (dst == nullptr || !RangeAllows(src, size, kReadable)) return false;
    return ContainedCopy(dst, src, size);
}

bool CanStore(void* p, std::size_t size) { return RangeAllows(p, size, kWritable); }

void UseGuardPipeOnlyForTests(bool) noexcept {}

}  // namespace halvex::platform
