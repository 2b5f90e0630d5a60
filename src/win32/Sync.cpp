// Mutexes, semaphores, events and the waits on every kind of object.
#include "Kernel.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <utility>

namespace halvex::win32 {

bool MutexObject::IsSignalledFor(const ThreadRecord* self) const { return owner == nullptr || owner == self; }

bool MutexObject::Acquire(ThreadRecord* self) {
    if (owner == self) {
        ++recursion;
        return false;
    }
    owner = self;
    recursion = 1;
    self->owned.push_back(std::static_pointer_cast<MutexObject>(shared_from_this()));
    return std::exchange(abandoned, false);
}

void AbandonOwnedMutexes(ThreadRecord& record, std::vector<std::shared_ptr<MutexObject>>& released) {
    for (auto& mutex : record.owned) {
        mutex->owner = nullptr;
        mutex->recursion = 0;
        mutex->abandoned = true;
        mutex->WakeWaiters();
        released.push_back(std::move(mutex));
    }
    record.owned.clear();
}

namespace {

using Clock = std::chrono::steady_clock;

bool HasName(LPCWSTR name) { return name != nullptr && name[0] != 0; }

// Takes the first signalled object and returns the wait's result, if any is signalled now.
// Dispatcher lock held.
std::optional<DWORD> TrySatisfy(const std::vector<std::shared_ptr<KernelObject>>& objects, ThreadRecord& self) {
    for (DWORD i = 0; i < objects.size(); ++i) {
        if (objects[i]->IsSignalledFor(&self))
            return (objects[i]->Acquire(&self) ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + i;
    }
    return std::nullopt;
}

DWORD Wait(const std::vector<std::shared_ptr<KernelObject>>& objects, DWORD milliseconds) {
    ThreadRecord& self = CurrentThreadRecord();
    const bool forever = milliseconds == INFINITE;
    const auto deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : milliseconds);

    std::unique_lock lock(DispatcherLock());
    if (auto result = TrySatisfy(objects, self)) return *result;
    if (milliseconds == 0) return WAIT_TIMEOUT;

    Waiter waiter;
    for (const auto& object : objects) object->waiters.push_back(&waiter);
    DWORD result = WAIT_TIMEOUT;
    for (;;) {
        bool timedOut = false;
        if (forever)
            waiter.wake.wait(lock);
        else
            timedOut = waiter.wake.wait_until(lock, deadline) == std::cv_status::timeout;
        if (auto satisfied = TrySatisfy(objects, self)) {
            result = *satisfied;
            break;
        }
        if (timedOut) break;
    }
    for (const auto& object : objects) std::erase(object->waiters, &waiter);
    return result;
}

}  // namespace
}  // namespace halvex::win32

using namespace halvex::win32;

extern "C" {

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCWSTR lpName) {
    // Named objects are shared between processes; nothing here needs them, and quietly making
    // an unnamed one would break a caller that relies on the sharing.
    if (HasName(lpName)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto mutex = std::make_shared<MutexObject>();
    if (bInitialOwner) {
        ThreadRecord& self = CurrentThreadRecord();
        std::lock_guard lock(DispatcherLock());
        mutex->Acquire(&self);
    }
    return InsertHandle(std::move(mutex));
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
    auto mutex = LookupHandleAs<MutexObject>(hMutex);
    if (!mutex) return FALSE;
    ThreadRecord& self = CurrentThreadRecord();
    std::shared_ptr<MutexObject> released;  // dropped after unlocking
    std::lock_guard lock(DispatcherLock());
    if (mutex->owner != &self) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    if (--mutex->recursion == 0) {
        mutex->owner = nullptr;
        auto owned = std::find(self.owned.begin(), self.owned.end(), mutex);
        released = std::move(*owned);
        self.owned.erase(owned);
        mutex->WakeWaiters();
    }
    return TRUE;
}

HANDLE WINAPI CreateSemaphoreW(LPSECURITY_ATTRIBUTES, LONG lInitialCount, LONG lMaximumCount, LPCWSTR lpName) {
    if (HasName(lpName)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    if (lMaximumCount <= 0 || lInitialCount < 0 || lInitialCount > lMaximumCount) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return InsertHandle(std::make_shared<SemaphoreObject>(lInitialCount, lMaximumCount));
}

BOOL WINAPI ReleaseSemaphore(HANDLE hSemaphore, LONG lReleaseCount, LPLONG lpPreviousCount) {
    auto semaphore = LookupHandleAs<SemaphoreObject>(hSemaphore);
    if (!semaphore) return FALSE;
    if (lReleaseCount <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard lock(DispatcherLock());
    if (lReleaseCount > semaphore->maximum - semaphore->count) {
        SetLastError(ERROR_TOO_MANY_POSTS);
        return FALSE;
    }
    if (lpPreviousCount) *lpPreviousCount = semaphore->count;
    semaphore->count += lReleaseCount;
    semaphore->WakeWaiters();
    return TRUE;
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
    if (HasName(lpName)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return InsertHandle(std::make_shared<EventObject>(bManualReset != FALSE, bInitialState != FALSE));
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
    auto event = LookupHandleAs<EventObject>(hEvent);
    if (!event) return FALSE;
    std::lock_guard lock(DispatcherLock());
    event->signalled = true;
    event->WakeWaiters();
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
    auto event = LookupHandleAs<EventObject>(hEvent);
    if (!event) return FALSE;
    std::lock_guard lock(DispatcherLock());
    event->signalled = false;
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    // Nothing here waits for a whole set; refused rather than taken for a wait on any one.
    if (bWaitAll) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<KernelObject>> objects;
    objects.reserve(nCount);
    for (DWORD i = 0; i < nCount; ++i) {
        auto object = lpHandles[i] == kCurrentThreadPseudoHandle
                          ? std::static_pointer_cast<KernelObject>(CurrentThreadRecord().thread)
                          : LookupHandle(lpHandles[i]);
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        objects.push_back(std::move(object));
    }
    return Wait(objects, dwMilliseconds);
}

}  // extern "C"
