// Mutexes, semaphores, events and the waits on every kind of object.
#include <algorithm>
#include <memory>
#include <utility>

#include "Kernel.h"

namespace halvex::win32 {
namespace {

bool HasName(LPCWSTR name) { return name != nullptr && name[0] != 0; }

// Held for the length of a wait, so closing its handle meanwhile leaves the object alive.
std::shared_ptr<KernelObject> LookupWaitable(HANDLE handle) {
    if (handle == kCurrentThreadPseudoHandle) return CurrentThreadRecord().thread;
    return LookupHandle(handle);
}

// The objects of one wait, on the stack; only as many are made and dropped as the wait names.
class WaitObjects {
public:
    WaitObjects() {}
    ~WaitObjects() {
        for (DWORD i = 0; i < count_; ++i) std::destroy_at(&objects_[i]);
    }
    WaitObjects(const WaitObjects&) = delete;
    WaitObjects& operator=(const WaitObjects&) = delete;

    bool Add(HANDLE handle) {
        auto object = LookupWaitable(handle);
        if (!object) return false;
        std::construct_at(&objects_[count_++], std::move(object));
        return true;
    }
    std::shared_ptr<KernelObject>* data() { return objects_; }

private:
    union {
        std::shared_ptr<KernelObject> objects_[MAXIMUM_WAIT_OBJECTS];
    };
    DWORD count_ = 0;
};

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
    if (bInitialOwner) TryTakeMutex(mutex);  // nobody else can see it yet
    return InsertHandle(std::move(mutex));
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
    auto mutex = LookupHandleAs<MutexObject>(hMutex);
    if (!mutex) return FALSE;
    ThreadRecord& self = CurrentThreadRecord();
    // Only this thread makes itself the owner or stops being it, so this read is stable.
    if (state::Owner(mutex->word.load(std::memory_order_relaxed)) != self.thread->id) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    if (--mutex->recursion > 0) return TRUE;
    const auto owned = std::find(self.owned.begin(), self.owned.end(), mutex);
    if (owned != self.owned.end()) self.owned.erase(owned);
    ChangeState(*mutex, [](std::uint64_t& word) {
        word &= state::kHasWaiters;
        return true;
    });
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
    LONG previous = 0;
    const bool released = ChangeState(*semaphore, [&](std::uint64_t& word) {
        previous = state::Count(word);
        if (lReleaseCount > semaphore->maximum - previous) return false;
        word += static_cast<std::uint64_t>(lReleaseCount) * state::kCountUnit;
        return true;
    });
    if (!released) {
        SetLastError(ERROR_TOO_MANY_POSTS);
        return FALSE;
    }
    if (lpPreviousCount) *lpPreviousCount = previous;
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
    ChangeState(*event, [](std::uint64_t& word) {
        word |= state::kSignalled;
        return true;
    });
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
    auto event = LookupHandleAs<EventObject>(hEvent);
    if (!event) return FALSE;
    ChangeState(*event, [](std::uint64_t& word) {
        word &= ~state::kSignalled;
        return true;
    });
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    std::shared_ptr<KernelObject> object = LookupWaitable(hHandle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return WaitForAny(&object, 1, dwMilliseconds);
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
    WaitObjects objects;
    for (DWORD i = 0; i < nCount; ++i) {
        if (!objects.Add(lpHandles[i])) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
    }
    return WaitForAny(objects.data(), nCount, dwMilliseconds);
}

}  // extern "C"
