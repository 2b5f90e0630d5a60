// Caller-pointer guard: copies to and from memory the application handed us, reporting a
// fault instead of taking it. One implementation per platform, picked by the build.
#pragma once

#include <cstddef>

namespace halvex::platform {

// Stores `size` bytes from `src` to the caller's `dst`. False when `dst` is null or any byte
// of the range is unmapped or not writable (bytes before the fault may have been stored).
bool GuardedStore(void* dst, const void* src, std::size_t size);

// Reads `size` bytes from the caller's `src` into `dst`. False when `src` is null or any
// byte of the range is unmapped or not readable.
bool GuardedLoad(void* dst, const void* src, std::size_t size);

// Whether a store of `size` bytes to `p` would succeed right now.
bool CanStore(void* p, std::size_t size);

// For tests of the platform's fallback copy: on Linux, copy through a pipe only, as where the
// kernel refuses a process access to itself; nothing elsewhere.
void UseGuardPipeOnlyForTests(bool pipeOnly) noexcept;

template <typename T>
bool GuardedStoreValue(T* dst, const T& value) {
    return GuardedStore(dst, &value, sizeof(T));
}

}  // namespace halvex::platform
