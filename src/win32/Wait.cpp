// Waits on objects, and the hand-off of a signalled object to the threads waiting for it.
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <optional>

#include "Kernel.h"

namespace halvex::win32 {

constexpr std::uint32_t kWaiting = 0xFFFFFFF0u;  // never a wait's result

// One wait of one thread, on its stack: the word it sleeps on and the result a signaller leaves.
struct Wait {
    std::atomic<std::uint32_t> status{kWaiting};
    DWORD threadId = 0;
};

// One object of one wait, on the waiting thread's stack.
struct WaitBlock {
    Wait* wait = nullptr;
    DWORD index = 0;
    WaitBlock* previous = nullptr;
    WaitBlock* next = nullptr;
};

namespace {

using Clock = std::chrono::steady_clock;

// How long a thread spins before it sleeps: about twice what waits on the object recently took,
// within these bounds. A wait that took longer than the most is not worth spinning for. The
// first part of a spin is a pause loop; beyond it the thread yields the processor between looks,
// so that on a busy machine (or a virtual one, where a pause loop may cost the processor) the
// signalling thread, or any other, runs instead. Worth it where objects are signalled every few
// microseconds, as a stream's chunks are: a sleeping thread costs its signaller a wake-up that
// takes longer than that.
constexpr std::int64_t kMinSpinNs = 200;
constexpr std::int64_t kPauseSpinNs = 2000;
constexpr std::int64_t kMostSpinNs = 20000;

// What taking an object would do: whether it can be taken by `threadId`, the word it leaves,
// and whether it is a mutex whose last owner ended while owning it.
struct Taken {
    bool ok = false;
    std::uint64_t next = 0;
    bool abandoned = false;
};

Taken TakeFor(ObjectKind kind, std::uint64_t word, DWORD threadId) {
    switch (kind) {
    case ObjectKind::Mutex: {
        const DWORD owner = state::Owner(word);
        if (owner == threadId) return {true, word, false};
        if (owner != 0) return {};
        return {true, (std::uint64_t{threadId} << state::kOwnerShift) | (word & state::kHasWaiters),
                (word & state::kAbandoned) != 0};
    }
    case ObjectKind::Semaphore:
        if (state::Count(word) == 0) return {};
        return {true, word - state::kCountUnit, false};
    case ObjectKind::AutoResetEvent:
        if (!(word & state::kSignalled)) return {};
        return {true, word & ~state::kSignalled, false};
    case ObjectKind::ManualResetEvent:
    case ObjectKind::Thread:
        if (!(word & state::kSignalled)) return {};
        return {true, word, false};
    }
    return {};
}

DWORD ResultFor(DWORD index, bool abandoned) { return (abandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + index; }

// Takes the object for `threadId` if it is signalled for it now.
Taken TryTake(KernelObject& object, DWORD threadId) {
    std::uint64_t word = object.word.load(std::memory_order_acquire);
    for (;;) {
        const Taken taken = TakeFor(object.kind, word, threadId);
        if (!taken.ok || taken.next == word) return taken;
        if (word & state::kHasWaiters) break;
        if (object.word.compare_exchange_weak(word, taken.next, std::memory_order_acq_rel, std::memory_order_acquire))
            return taken;
    }
    // Signalled with waits linked: those waits were all satisfied elsewhere and are leaving.
    std::lock_guard guard(object.lock);
    word = object.word.load(std::memory_order_acquire);
    for (;;) {
        const Taken taken = TakeFor(object.kind, word, threadId);
        if (!taken.ok || taken.next == word) return taken;
        if (object.word.compare_exchange_weak(word, taken.next, std::memory_order_acq_rel, std::memory_order_acquire))
            return taken;
    }
}

// The bookkeeping of a wait that took the object `result` names: a mutex's recursion and its
// place among the mutexes the thread owns, which takes over the wait's reference.
DWORD Finish(std::shared_ptr<KernelObject>* objects, DWORD count, DWORD result, ThreadRecord& self) {
    DWORD index = 0;
    if (result < WAIT_OBJECT_0 + count)
        index = result - WAIT_OBJECT_0;
    else if (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + count)
        index = result - WAIT_ABANDONED_0;
    else
        return result;
    if (objects[index]->kind == ObjectKind::Mutex) {
        auto& mutex = static_cast<MutexObject&>(*objects[index]);
        if (mutex.recursion++ == 0)
            self.owned.push_back(std::static_pointer_cast<MutexObject>(std::move(objects[index])));
    }
    return result;
}

void Link(KernelObject& object, WaitBlock& block) {
    block.previous = object.lastWaiter;
    block.next = nullptr;
    (object.lastWaiter ? object.lastWaiter->next : object.firstWaiter) = &block;
    object.lastWaiter = &block;
}

void Unlink(KernelObject& object, WaitBlock& block) {
    std::lock_guard guard(object.lock);
    (block.previous ? block.previous->next : object.firstWaiter) = block.next;
    (block.next ? block.next->previous : object.lastWaiter) = block.previous;
    if (object.firstWaiter == nullptr) object.word.fetch_and(~state::kHasWaiters, std::memory_order_release);
}

// Moves an object's spin hint toward what a wait on it just took.
void LearnSpin(KernelObject& object, std::int64_t tookNs) {
    const auto hint = static_cast<std::int64_t>(object.spinHint.load(std::memory_order_relaxed));
    const std::int64_t target = tookNs <= kMostSpinNs ? tookNs : 0;
    object.spinHint.store(static_cast<std::uint32_t>(hint + (target - hint) / 4), std::memory_order_relaxed);
}

// Spins while the thread that will signal one of the objects may be running on another processor.
// Returns the result when an object was taken meanwhile.
std::optional<DWORD> Spin(const std::shared_ptr<KernelObject>* objects, DWORD count, DWORD threadId,
                          Clock::time_point start) {
    if (!SpinningHelps()) return std::nullopt;
    std::int64_t hint = 0;
    bool queueAhead = true;  // others already sleep on every object: a signal goes to them first
    for (DWORD i = 0; i < count; ++i) {
        hint = std::max<std::int64_t>(hint, objects[i]->spinHint.load(std::memory_order_relaxed));
        queueAhead = queueAhead && (objects[i]->word.load(std::memory_order_relaxed) & state::kHasWaiters);
    }
    if (queueAhead) return std::nullopt;
    const std::int64_t budget = std::clamp<std::int64_t>(2 * hint, kMinSpinNs, kMostSpinNs);
    for (;;) {
        for (int turn = 0; turn < 8; ++turn) {
            CpuRelax();
            for (DWORD i = 0; i < count; ++i) {
                KernelObject& object = *objects[i];
                if (!TakeFor(object.kind, object.word.load(std::memory_order_relaxed), threadId).ok) continue;
                const Taken taken = TryTake(object, threadId);
                if (!taken.ok) continue;
                LearnSpin(object, std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count());
                return ResultFor(i, taken.abandoned);
            }
        }
        const auto spent = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
        if (spent >= budget) return std::nullopt;
        if (spent >= kPauseSpinNs) sched_yield();
    }
}

}  // namespace

std::uint64_t HandOff(KernelObject& object, std::uint64_t word, WakeList& wakes) {
    for (WaitBlock* block = object.firstWaiter; block != nullptr; block = block->next) {
        Wait& wait = *block->wait;
        if (wait.status.load(std::memory_order_relaxed) != kWaiting) continue;  // satisfied elsewhere or timed out
        const Taken taken = TakeFor(object.kind, word, wait.threadId);
        if (!taken.ok) break;
        std::uint32_t expected = kWaiting;
        if (!wait.status.compare_exchange_strong(expected, ResultFor(block->index, taken.abandoned),
                                                 std::memory_order_acq_rel, std::memory_order_relaxed))
            continue;
        word = taken.next;
        wakes.Add(&wait.status);
    }
    return word;
}

namespace {
std::atomic<void (*)(void*)> gTimeoutHook{nullptr};
std::atomic<void*> gTimeoutHookContext{nullptr};
}  // namespace

void SetTimeoutHookForTests(void (*hook)(void* context), void* context) noexcept {
    gTimeoutHookContext.store(context);
    gTimeoutHook.store(hook, std::memory_order_release);
}

DWORD WaitForAny(std::shared_ptr<KernelObject>* objects, DWORD count, DWORD milliseconds) {
    ThreadRecord& self = CurrentThreadRecord();
    const DWORD threadId = self.thread->id;
    for (DWORD i = 0; i < count; ++i) {
        const Taken taken = TryTake(*objects[i], threadId);
        if (taken.ok) return Finish(objects, count, ResultFor(i, taken.abandoned), self);
    }
    if (milliseconds == 0) return WAIT_TIMEOUT;

    const bool forever = milliseconds == INFINITE;
    const timespec deadline = forever ? timespec{} : DeadlineAfter(milliseconds);
    const Clock::time_point start = Clock::now();
    if (auto result = Spin(objects, count, threadId, start)) return Finish(objects, count, *result, self);

    // Linked one object at a time, each under its own lock: a signal that comes meanwhile claims
    // the wait through the blocks already linked, and the rest are then left alone.
    Wait wait;
    wait.threadId = threadId;
    WaitBlock blocks[MAXIMUM_WAIT_OBJECTS];
    DWORD linked = 0;
    for (; linked < count; ++linked) {
        KernelObject& object = *objects[linked];
        std::lock_guard guard(object.lock);
        if (wait.status.load(std::memory_order_relaxed) != kWaiting) break;
        // From here on the word changes only under the lock, so the check below cannot miss a signal.
        std::uint64_t word = object.word.fetch_or(state::kHasWaiters, std::memory_order_acq_rel) | state::kHasWaiters;
        const Taken taken = TakeFor(object.kind, word, threadId);
        if (taken.ok) {
            std::uint32_t expected = kWaiting;
            if (wait.status.compare_exchange_strong(expected, ResultFor(linked, taken.abandoned),
                                                    std::memory_order_acq_rel, std::memory_order_relaxed))
                word = taken.next;
            if (object.firstWaiter == nullptr) word &= ~state::kHasWaiters;
            object.word.store(word, std::memory_order_release);
            break;
        }
        blocks[linked].wait = &wait;
        blocks[linked].index = linked;
        Link(object, blocks[linked]);
    }

    std::uint32_t result = wait.status.load(std::memory_order_acquire);
    while (result == kWaiting) {
        if (FutexWait(wait.status, kWaiting, forever ? nullptr : &deadline)) {
            result = wait.status.load(std::memory_order_acquire);
            continue;
        }
        if (auto* hook = gTimeoutHook.load(std::memory_order_acquire)) hook(gTimeoutHookContext.load());
        // Timed out, unless a signaller claimed the wait first.
        if (wait.status.compare_exchange_strong(result, WAIT_TIMEOUT, std::memory_order_acq_rel,
                                                std::memory_order_acquire))
            result = WAIT_TIMEOUT;
    }
    for (DWORD i = 0; i < linked; ++i) Unlink(*objects[i], blocks[i]);

    if (result != WAIT_TIMEOUT) {
        const DWORD index = result >= WAIT_ABANDONED_0 ? result - WAIT_ABANDONED_0 : result - WAIT_OBJECT_0;
        LearnSpin(*objects[index], std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count());
    }
    return Finish(objects, count, result, self);
}

bool TryTakeMutex(const std::shared_ptr<MutexObject>& mutex) {
    ThreadRecord& self = CurrentThreadRecord();
    const Taken taken = TryTake(*mutex, self.thread->id);
    if (!taken.ok) return false;
    if (mutex->recursion++ == 0) self.owned.push_back(mutex);
    return true;
}

void AbandonOwnedMutexes(ThreadRecord& record) {
    for (const auto& mutex : record.owned) {
        mutex->recursion = 0;
        ChangeState(*mutex, [](std::uint64_t& word) {
            word = (word & state::kHasWaiters) | state::kAbandoned;
            return true;
        });
    }
    record.owned.clear();
}

}  // namespace halvex::win32
