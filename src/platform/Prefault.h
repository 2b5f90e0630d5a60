// Making fresh memory present before time-critical code writes it.
#pragma once

#include <cstddef>

namespace halvex::platform {

// Faults in every page of `size` bytes at `block`, writable, so that the first writes there do
// not. The memory must be the caller's own, freshly allocated: its contents are not kept.
void Prefault(void* block, std::size_t size) noexcept;

}  // namespace halvex::platform
