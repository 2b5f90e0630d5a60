// The handle table and the per-thread last error.
#include "Kernel.h"

#include <unordered_map>
#include <utility>

namespace halvex::win32 {
namespace {

struct HandleTable {
    std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> objects;  // dispatcher lock
};

// Leaked on purpose: threads may close handles while the process runs its static destructors.
HandleTable& Table() {
    static HandleTable* table = new HandleTable;
    return *table;
}

thread_local DWORD tLastError = ERROR_SUCCESS;

}  // namespace

std::mutex& DispatcherLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

std::uintptr_t NextHandleValue() {
    // Starts well away from null and the small integers a caller might pass by mistake.
    static std::atomic<std::uintptr_t> next{0x1000};
    return next.fetch_add(4, std::memory_order_relaxed);
}

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
    const std::uintptr_t value = NextHandleValue();
    std::lock_guard lock(DispatcherLock());
    Table().objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
    std::lock_guard lock(DispatcherLock());
    auto found = Table().objects.find(reinterpret_cast<std::uintptr_t>(handle));
    return found == Table().objects.end() ? nullptr : found->second;
}

std::size_t HandleCount() {
    std::lock_guard lock(DispatcherLock());
    return Table().objects.size();
}

void ForgetThreadsLeftInParent() {
    const ThreadRecord* self = &CurrentThreadRecord();
    for (auto& [value, object] : Table().objects) {
        object->waiters.clear();
        if (auto* mutex = dynamic_cast<MutexObject*>(object.get()); mutex && mutex->owner && mutex->owner != self) {
            mutex->owner = nullptr;
            mutex->recursion = 0;
            mutex->abandoned = true;
        }
    }
    // A mutex the forking thread owns may have been closed meanwhile and live on only here.
    for (auto& mutex : CurrentThreadRecord().owned) mutex->waiters.clear();
}

void KernelObject::WakeWaiters() {
    for (Waiter* waiter : waiters) waiter->wake.notify_one();
}

}  // namespace halvex::win32

using namespace halvex::win32;

extern "C" {

BOOL WINAPI CloseHandle(HANDLE hObject) {
    if (hObject == kCurrentThreadPseudoHandle) return TRUE;
    std::shared_ptr<KernelObject> closed;  // dropped after unlocking: it may be the last reference
    {
        std::lock_guard lock(DispatcherLock());
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
