// fork() in a process that has the library loaded: the child is marked, and the library's
// exports and its exit hook look at the mark. The Win32 layer keeps its own locks usable in
// the child by itself.
#include "platform/ForkedChild.h"

#include <pthread.h>

#include <atomic>

namespace halvex::platform {
namespace {

std::atomic<bool> gForkedChild{false};

void MarkForkedChild() { gForkedChild.store(true, std::memory_order_relaxed); }

// A program that links the library statically may fork before it ever starts the library.
[[maybe_unused]] const bool gWatchingAtLoad = (WatchForFork(), true);

}  // namespace

void WatchForFork() noexcept {
    [[maybe_unused]] static const int registered = pthread_atfork(nullptr, nullptr, MarkForkedChild);
}

bool InForkedChild() noexcept { return gForkedChild.load(std::memory_order_relaxed); }

void TreatForkedChildAsOwnProcessForTests() noexcept { gForkedChild.store(false, std::memory_order_relaxed); }

}  // namespace halvex::platform
