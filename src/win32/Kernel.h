// Kernel objects of the Win32 layer: their state words, waits and hand-offs, the handle table
// and the per-thread record. Internal to the layer, and to tests that count its handles.
//
// Each object keeps its whole state in one atomic word (mutex owner, semaphore count, event or
// thread flag) plus a bit that says threads are waiting on it. While that bit is clear, waits
// and signals change the word with one compare-exchange and take no lock. A thread that has to
// sleep links a wait block into the object's list under the object's own lock and sets the bit;
// from then on every change of the word happens under that lock, and whoever signals the object
// hands it straight to the waiting threads it satisfies (a mutex owned, a count taken, an
// auto-reset event consumed) by claiming their wait, then wakes them after unlocking. A thread
// sleeps on its own wait's status word, so a wait on several objects sleeps on one word.
//
// Objects are shared_ptr-owned: by the handle table, by a waiter for the length of its wait, by
// the thread that owns a mutex. The handle table has a lock of its own, held for a lookup only.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "Futex.h"

namespace halvex::win32 {

struct ThreadRecord;
struct WaitBlock;

enum class ObjectKind : std::uint8_t { Mutex, Semaphore, AutoResetEvent, ManualResetEvent, Thread };

// The state word. Bit 0 is set while wait blocks are linked; the rest depends on the kind.
namespace state {
constexpr std::uint64_t kHasWaiters = 1;
constexpr std::uint64_t kSignalled = 2;  // events and threads
constexpr std::uint64_t kAbandoned = 2;  // mutexes: the last owner ended while owning it
constexpr std::uint64_t kCountUnit = 2;  // semaphores: the count sits above bit 0
constexpr int kOwnerShift = 32;          // mutexes: the owner's thread id (0: free)

inline DWORD Owner(std::uint64_t word) { return static_cast<DWORD>(word >> kOwnerShift); }
inline LONG Count(std::uint64_t word) { return static_cast<LONG>(word >> 1); }
}  // namespace state

class KernelObject {
public:
    KernelObject(ObjectKind objectKind, std::uint64_t initialState) : kind(objectKind), word(initialState) {}
    virtual ~KernelObject() = default;
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;

    const ObjectKind kind;
    std::atomic<std::uint64_t> word;  // changed only under `lock` while kHasWaiters is set
    ObjectLock lock;
    WaitBlock* firstWaiter = nullptr;  // guarded by `lock`; in the order the waits began
    WaitBlock* lastWaiter = nullptr;   // guarded by `lock`
    std::atomic<std::uint32_t> spinHint{0};  // turns a recent spin needed; a hint only
    bool lockedForFork = false;              // only while the handle table's lock is held
};

// Recursive, thread-owned. An owner that ends leaves it abandoned: the next thread to take it
// is told so once.
class MutexObject final : public KernelObject {
public:
    MutexObject() : KernelObject(ObjectKind::Mutex, 0) {}
    static bool IsKind(ObjectKind kind) { return kind == ObjectKind::Mutex; }

    DWORD recursion = 0;  // the owner's alone; 0 whenever the mutex is free
};

class SemaphoreObject final : public KernelObject {
public:
    SemaphoreObject(LONG initialCount, LONG maximumCount)
        : KernelObject(ObjectKind::Semaphore, static_cast<std::uint64_t>(initialCount) * state::kCountUnit),
          maximum(maximumCount) {}
    static bool IsKind(ObjectKind kind) { return kind == ObjectKind::Semaphore; }

    const LONG maximum;
};

class EventObject final : public KernelObject {
public:
    EventObject(bool manualReset, bool initialState)
        : KernelObject(manualReset ? ObjectKind::ManualResetEvent : ObjectKind::AutoResetEvent,
                       initialState ? state::kSignalled : 0) {}
    static bool IsKind(ObjectKind kind) {
        return kind == ObjectKind::AutoResetEvent || kind == ObjectKind::ManualResetEvent;
    }
};

// A thread as its handle sees it; signalled once its routine has returned.
class ThreadObject final : public KernelObject {
public:
    explicit ThreadObject(DWORD threadId, std::uint32_t suspended = 0)
        : KernelObject(ObjectKind::Thread, 0), id(threadId), suspendCount(suspended) {}
    static bool IsKind(ObjectKind kind) { return kind == ObjectKind::Thread; }

    const DWORD id;  // a multiple of four, never 0: it fits a mutex's owner field
    std::atomic<int> priority{THREAD_PRIORITY_NORMAL};
    std::atomic<DWORD> exitCode{STILL_ACTIVE};
    std::atomic<std::uint32_t> suspendCount;  // the thread sleeps on it until ResumeThread clears it
};

// What the layer knows about one thread, whether CreateThread started it or not.
struct ThreadRecord {
    ThreadRecord();
    ~ThreadRecord();  // abandons the mutexes the thread still owns

    std::shared_ptr<ThreadObject> thread;             // never null; set at construction
    std::vector<std::shared_ptr<MutexObject>> owned;  // touched by this thread alone
};

// The calling thread's record, created on first use.
ThreadRecord& CurrentThreadRecord();

// ---- Waits and signals (Wait.cpp) --------------------------------------------------------

// Waits until one of `objects` is signalled for the caller and takes it, or until `milliseconds`
// pass (INFINITE: never). Returns WAIT_OBJECT_0 + i, WAIT_ABANDONED_0 + i or WAIT_TIMEOUT; when
// several are signalled at once the lowest index is taken. A mutex taken keeps the reference
// the wait held. Allocates nothing.
DWORD WaitForAny(std::shared_ptr<KernelObject>* objects, DWORD count, DWORD milliseconds);

// Takes `mutex` for the calling thread if it is free or already the caller's (CreateMutexW).
bool TryTakeMutex(const std::shared_ptr<MutexObject>& mutex);

// Applies `change` to the object's state word: `change` maps the word (waiters bit included, to
// be kept) to its new value, or returns false to refuse. The object then goes to the waiting
// threads it satisfies. Returns whether the change was made. Never called with `lock` held.
template <typename Change>
bool ChangeState(KernelObject& object, Change change);

// Gives the object to waiting threads while it satisfies them, claiming their waits; returns
// the word that is left. `lock` held. Threads to wake go to `wakes`.
class WakeList;
std::uint64_t HandOff(KernelObject& object, std::uint64_t word, WakeList& wakes);

// Wakes the threads whose waits were claimed, after the object's lock is released.
class WakeList {
public:
    WakeList() = default;
    WakeList(const WakeList&) = delete;
    WakeList& operator=(const WakeList&) = delete;
    ~WakeList() {
        for (int i = 0; i < count_; ++i) FutexWake(words_[i], 1);
    }
    void Add(const std::atomic<std::uint32_t>* word) {
        // A manual-reset event may release any number of waits: the overflow is woken at once,
        // still holding the lock, rather than letting a ResetEvent in between cut the release short.
        if (count_ == kCapacity)
            FutexWake(word, 1);
        else
            words_[count_++] = word;
    }

private:
    static constexpr int kCapacity = 16;
    const std::atomic<std::uint32_t>* words_[kCapacity];
    int count_ = 0;
};

template <typename Change>
bool ChangeState(KernelObject& object, Change change) {
    std::uint64_t word = object.word.load(std::memory_order_relaxed);
    while (!(word & state::kHasWaiters)) {
        std::uint64_t next = word;
        if (!change(next)) return false;
        // Written even when unchanged: a later taker then also sees what preceded this call.
        if (object.word.compare_exchange_weak(word, next, std::memory_order_acq_rel, std::memory_order_relaxed))
            return true;
    }
    WakeList wakes;  // declared before the guard: wakes after unlocking
    std::lock_guard guard(object.lock);
    for (;;) {
        word = object.word.load(std::memory_order_acquire);
        std::uint64_t next = word;
        if (!change(next)) return false;
        // With waiters linked nobody else changes the word; without, nobody is handed anything
        // and a lost race is simply retried.
        next = HandOff(object, next, wakes);
        if (object.word.compare_exchange_strong(word, next, std::memory_order_acq_rel, std::memory_order_relaxed))
            return true;
    }
}

// Releases every mutex `record` owns and marks it abandoned for the next waiter. Called by the
// thread the record belongs to.
void AbandonOwnedMutexes(ThreadRecord& record);

// For tests of the hand-off race: called once per wait whose futex sleep ran out, before the
// wait tries to claim its own time-out, so a test can signal at exactly that moment. Null: none.
void SetTimeoutHookForTests(void (*hook)(void* context), void* context) noexcept;

// ---- Handles and fork (Handles.cpp) ------------------------------------------------------

// The registry's lock (Registry.cpp); taken around fork() with the handle table's (Fork.cpp).
std::mutex& RegistryLock();

// Around fork(): takes the handle table's lock and the lock of every object the forking thread
// can reach, so the child finds every object consistent and free of half-done changes.
void LockObjectsForFork();
void UnlockObjectsInParent();
// In the child, which has only the calling thread: every wait linked on an object belongs to a
// thread that is gone, and so does every mutex another thread owned, which is left abandoned as
// if its owner had ended.
void UnlockObjectsInChild();

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
    auto object = LookupHandle(handle);
    if (!object || !T::IsKind(object->kind)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return std::static_pointer_cast<T>(std::move(object));
}

}  // namespace halvex::win32
