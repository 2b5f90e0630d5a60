// The handle table, the per-thread last error, and the objects' locks around fork().
#include <unordered_map>
#include <utility>

#include "Kernel.h"

namespace halvex::win32 {
namespace {

struct HandleTable {
    std::mutex lock;  // guards `objects`; held for a lookup or a change, never across a wait
    std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> objects;
};

// Leaked on purpose: threads may close handles while the process runs its static destructors.
HandleTable& Table() {
    static HandleTable* table = new HandleTable;
    return *table;
}

thread_local DWORD tLastError = ERROR_SUCCESS;

// Calls `visit` once for every object the forking thread can reach: those behind a handle, its
// own thread (waited on through the pseudo-handle) and the mutexes it owns (closed or not).
// The table's lock held.
template <typename Visit>
void ForEachReachableObject(Visit visit) {
    for (auto& [value, object] : Table().objects) visit(*object);
    ThreadRecord& self = CurrentThreadRecord();
    visit(*self.thread);
    for (auto& mutex : self.owned) visit(*mutex);
}

}  // namespace

std::uintptr_t NextHandleValue() {
    // Starts well away from null and the small integers a caller might pass by mistake.
    static std::atomic<std::uintptr_t> next{0x1000};
    return next.fetch_add(4, std::memory_order_relaxed);
}

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
    const std::uintptr_t value = NextHandleValue();
    std::lock_guard lock(Table().lock);
    Table().objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
    std::lock_guard lock(Table().lock);
    auto found = Table().objects.find(reinterpret_cast<std::uintptr_t>(handle));
    return found == Table().objects.end() ? nullptr : found->second;
}

std::size_t HandleCount() {
    std::lock_guard lock(Table().lock);
    return Table().objects.size();
}

void LockObjectsForFork() {
    // Nobody holds an object's lock while taking another lock, so any order is free of deadlock.
    // The current thread is making the record below if it has none yet: before the table's lock.
    CurrentThreadRecord();
    Table().lock.lock();
    ForEachReachableObject([](KernelObject& object) {
        if (object.lockedForFork) return;
        object.lock.lock();
        object.lockedForFork = true;
    });
}

void UnlockObjectsInParent() {
    ForEachReachableObject([](KernelObject& object) {
        if (!object.lockedForFork) return;
        object.lockedForFork = false;
        object.lock.unlock();
    });
    Table().lock.unlock();
}

void UnlockObjectsInChild() {
    const DWORD self = CurrentThreadRecord().thread->id;
    ForEachReachableObject([self](KernelObject& object) {
        if (!object.lockedForFork) return;
        object.lockedForFork = false;
        object.firstWaiter = nullptr;
        object.lastWaiter = nullptr;
        std::uint64_t word = object.word.load(std::memory_order_relaxed) & ~state::kHasWaiters;
        if (object.kind == ObjectKind::Mutex && state::Owner(word) != 0 && state::Owner(word) != self) {
            static_cast<MutexObject&>(object).recursion = 0;
            word = state::kAbandoned;
        }
        object.word.store(word, std::memory_order_relaxed);
        object.lock.unlock();
    });
    Table().lock.unlock();
}

}  // namespace halvex::win32

using namespace halvex::win32;

extern "C" {

BOOL WINAPI CloseHandle(HANDLE hObject) {
    if (hObject == kCurrentThreadPseudoHandle) return TRUE;
    std::shared_ptr<KernelObject> closed;  // dropped after unlocking: it may be the last reference
    {
        std::lock_guard lock(Table().lock);
        auto found = Table().objects.find(reinterpret_cast<std::uintptr_t>(hObject));
        if (found != Table().objects.end()) {
            closed = std::move(found->second);
            Table().objects.erase(found);
        }
    }
    if (!closed) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI GetLastError(void) { return tLastError; }

void WINAPI SetLastError(DWORD dwErrCode) { tLastError = dwErrCode; }

}  // extern "C"
