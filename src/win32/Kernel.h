// Kernel objects of the Win32 layer: the handle table, the dispatcher lock and the per-thread
// record. Internal to the layer, and to tests that count its handles.
//
// Every object's state (mutex owner, semaphore count, event flag, thread end) is guarded by the
// one dispatcher lock, so a wait on several objects checks and takes them atomically. A waiting
// thread registers a Waiter on each object it waits for; whoever makes an object signalled
// notifies every registered waiter, which rechecks under the lock. Objects are shared_ptr-owned:
// by the handle table, by a waiter for the length of its wait, by the thread that owns a mutex.
#pragma once

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace halvex::win32 {

struct ThreadRecord;

// One thread blocked in a wait; lives on that thread's stack for the length of the wait.
struct Waiter {
    std::condition_variable wake;
};

class KernelObject : public std::enable_shared_from_this<KernelObject> {
public:
    virtual ~KernelObject() = default;

    // Whether a wait by `self` would be satisfied now. Dispatcher lock held.
    virtual bool IsSignalledFor(const ThreadRecord* self) const = 0;

    // Takes the object for `self` (a mutex is owned, a count taken, an auto-reset event cleared).
    // Returns true when the object was an abandoned mutex. Dispatcher lock held.
    virtual bool Acquire(ThreadRecord* self) = 0;

    // Notifies every thread waiting on this object. Dispatcher lock held.
    void WakeWaiters();

    std::vector<Waiter*> waiters;  // guarded by the dispatcher lock
};

// Recursive, thread-owned. An owner that ends leaves it abandoned: the next thread to take it
// is told so once.
class MutexObject final : public KernelObject {
public:
    bool IsSignalledFor(const ThreadRecord* self) const override;
    bool Acquire(ThreadRecord* self) override;

    ThreadRecord* owner = nullptr;  // guarded by the dispatcher lock, as are the fields below
    DWORD recursion = 0;
    bool abandoned = false;
};

class SemaphoreObject final : public KernelObject {
public:
    SemaphoreObject(LONG initialCount, LONG maximumCount) : count(initialCount), maximum(maximumCount) {}
    bool IsSignalledFor(const ThreadRecord*) const override { return count > 0; }
    bool Acquire(ThreadRecord*) override {
        --count;
        return false;
    }

    LONG count;  // guarded by the dispatcher lock
    const LONG maximum;
};

class EventObject final : public KernelObject {
public:
    EventObject(bool isManualReset, bool initialState) : manualReset(isManualReset), signalled(initialState) {}
    bool IsSignalledFor(const ThreadRecord*) const override { return signalled; }
    bool Acquire(ThreadRecord*) override {
        if (!manualReset) signalled = false;
        return false;
    }

    const bool manualReset;
    bool signalled;  // guarded by the dispatcher lock
};

// A thread as its handle sees it; signalled once its routine has returned.
class ThreadObject final : public KernelObject {
public:
    explicit ThreadObject(DWORD threadId) : id(threadId) {}
    bool IsSignalledFor(const ThreadRecord*) const override { return finished; }
    bool Acquire(ThreadRecord*) override { return false; }

    const DWORD id;
    std::atomic<int> priority{THREAD_PRIORITY_NORMAL};
    // Guarded by the dispatcher lock:
    bool finished = false;
    DWORD exitCode = STILL_ACTIVE;
    DWORD suspendCount = 0;
    std::condition_variable resumed;  // the suspended thread waits here for ResumeThread
};

// What the layer knows about one thread, whether CreateThread started it or not.
struct ThreadRecord {
    ThreadRecord();
    ~ThreadRecord();  // abandons the mutexes the thread still owns

    std::shared_ptr<ThreadObject> thread;               // never null; set at construction
    std::vector<std::shared_ptr<MutexObject>> owned;    // guarded by the dispatcher lock
};

// The calling thread's record, created on first use.
ThreadRecord& CurrentThreadRecord();

// The dispatcher lock (see the top of this file). Never destroyed, so threads still running at
// process exit can use it.
std::mutex& DispatcherLock();

// The registry's lock (Registry.cpp); taken around fork() with the dispatcher lock (Fork.cpp).
std::mutex& RegistryLock();

// In a child made by fork(), which has only the calling thread: every wait registered on an
// object belongs to a thread that is gone, and so does every mutex another thread owned, which
// is left abandoned as if its owner had ended. Dispatcher lock held.
void ForgetThreadsLeftInParent();

// Releases every mutex `record` owns and marks it abandoned for the next waiter.
// Dispatcher lock held. The released references go to `released`, to be dropped after unlocking.
void AbandonOwnedMutexes(ThreadRecord& record, std::vector<std::shared_ptr<MutexObject>>& released);

// Handle table. Values are multiples of four that never repeat, so they never equal
// INVALID_HANDLE_VALUE, the current-thread pseudo-handle or a predefined registry root.
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);  // null for closed or bogus handles
std::uintptr_t NextHandleValue();                            // also used for registry keys
std::size_t HandleCount();                                   // handles open right now

inline const HANDLE kCurrentThreadPseudoHandle = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));

// Typed lookup: null (and last error ERROR_INVALID_HANDLE) when the handle is bad or of
// another kind.
template <typename T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
    auto object = std::dynamic_pointer_cast<T>(LookupHandle(handle));
    if (!object) SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

}  // namespace halvex::win32
