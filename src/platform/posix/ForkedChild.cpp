// fork() in a process that has the library loaded.
//
// The child gets a copy of every lock as it was at that instant, but none of the threads that
// might have held one. The Win32 layer's own locks are therefore taken around the fork, so the
// child finds them free and the objects they guard consistent; the child is marked, and the
// library's exports and its exit hook look at the mark.
#include "platform/ForkedChild.h"

#include <pthread.h>

#include <atomic>

#include "Kernel.h"

namespace halvex::platform {
namespace {

std::atomic<bool> gForkedChild{false};

// Lock order: the registry lock is never held while taking the dispatcher lock or the other
// way round, so either order is free of deadlock; this one is kept everywhere here.
void BeforeFork() {
    RegistryLock().lock();
    DispatcherLock().lock();
}

void AfterForkInParent() {
    DispatcherLock().unlock();
    RegistryLock().unlock();
}

void AfterForkInChild() {
    gForkedChild.store(true, std::memory_order_relaxed);
    ForgetThreadsLeftInParent();
    DispatcherLock().unlock();
    RegistryLock().unlock();
}

// A program that links the library statically may fork before it ever starts the library.
[[maybe_unused]] const bool gWatchingAtLoad = (WatchForFork(), true);

}  // namespace

void WatchForFork() noexcept {
    [[maybe_unused]] static const int registered = pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild);
}

bool InForkedChild() noexcept { return gForkedChild.load(std::memory_order_relaxed); }

void TreatForkedChildAsOwnProcessForTests() noexcept { gForkedChild.store(false, std::memory_order_relaxed); }

}  // namespace halvex::platform
