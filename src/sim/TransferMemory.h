// The library's transfer memory, as the simulated boards see it.
#pragma once

#include <cstddef>

namespace halvex::sim {

// Whether all of [p, p + size) lies in one live block of transfer memory.
bool IsTransferMemory(const void* p, std::size_t size);

// The process is ending, and a thread that held the list's lock may be gone: from now on a free
// leaves the list and the block alone.
void EndTransferMemoryList() noexcept;

}  // namespace halvex::sim
