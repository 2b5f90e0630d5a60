// Transfer memory on the simulated boards: ordinary heap blocks, listed so that the board
// can tell them from memory the application handed in.
#include "sim/TransferMemory.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>

#include "port/Backend.h"

namespace halvex {
namespace {

struct Blocks {
    std::mutex mutex;
    std::map<std::uintptr_t, std::size_t> sizes;  // by start; guarded by mutex
};

std::atomic<bool> gListEnded{false};

// Leaked on purpose: blocks may be freed while the process runs its static destructors.
Blocks& Listed() {
    static Blocks* const blocks = new Blocks;
    return *blocks;
}

}  // namespace

namespace port::backend {

void* AllocTransferMemory(std::size_t size) {
    void* block = LocalAlloc(LMEM_FIXED, size);
    if (block == nullptr) return nullptr;
    try {
        Blocks& blocks = Listed();
        std::lock_guard lock(blocks.mutex);
        blocks.sizes.emplace(reinterpret_cast<std::uintptr_t>(block), size);
    } catch (...) {
        // Unlisted, it is still good memory: the board writes it through the guard.
    }
    return block;
}

void FreeTransferMemory(void* block) {
    if (block == nullptr || gListEnded.load()) return;
    {
        Blocks& blocks = Listed();
        std::lock_guard lock(blocks.mutex);
        blocks.sizes.erase(reinterpret_cast<std::uintptr_t>(block));
    }
    LocalFree(block);
}

}  // namespace port::backend

namespace sim {

void EndTransferMemoryList() noexcept { gListEnded.store(true); }

bool IsTransferMemory(const void* p, std::size_t size) {
    const auto first = reinterpret_cast<std::uintptr_t>(p);
    Blocks& blocks = Listed();
    std::lock_guard lock(blocks.mutex);
    auto after = blocks.sizes.upper_bound(first);
    if (after == blocks.sizes.begin()) return false;
    const auto& [start, bytes] = *std::prev(after);
    return first - start <= bytes && size <= bytes - (first - start);
}

}  // namespace sim
}  // namespace halvex
