// The few primitives every kernel object of the layer is built on: a thread sleeps on a 32-bit
// word with the futex system call only when it has to, and every hand-over it relies on is an
// atomic operation on that word (the thread sanitizer sees those, never the system call).
#pragma once

#include <time.h>

#include <atomic>
#include <cstdint>

namespace halvex::win32 {

// Sleeps while `word` holds `expected`, until woken, interrupted, or `deadline` (CLOCK_MONOTONIC,
// absolute; null: no deadline) has passed. May return for no reason: callers recheck the word.
// Returns false only when the deadline has passed.
bool FutexWait(std::atomic<std::uint32_t>& word, std::uint32_t expected, const timespec* deadline);

// Wakes up to `count` threads sleeping on the word at `word`. The word may be gone by now (its
// owner saw its change without sleeping and returned): the kernel then finds nobody, or a later
// sleeper on the same address, which rechecks its own word and sleeps on.
void FutexWake(const std::atomic<std::uint32_t>* word, int count);

// The deadline `milliseconds` from now.
timespec DeadlineAfter(std::uint32_t milliseconds);

// Whether spinning can ever help: with one processor the thread we wait for cannot run meanwhile.
bool SpinningHelps();

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// A lock for the short hold of one kernel object's waiter list: never held across a sleep of its
// holder, so contention is short and a brief spin usually takes it.
class ObjectLock {
public:
    void lock() {
        std::uint32_t expected = kFree;
        if (word_.compare_exchange_strong(expected, kLocked, std::memory_order_acquire, std::memory_order_relaxed))
            return;
        LockSlow();
    }
    void unlock() {
        if (word_.exchange(kFree, std::memory_order_release) == kContended) FutexWake(&word_, 1);
    }

private:
    void LockSlow();

    static constexpr std::uint32_t kFree = 0;
    static constexpr std::uint32_t kLocked = 1;
    static constexpr std::uint32_t kContended = 2;  // locked, and someone may sleep on it
    std::atomic<std::uint32_t> word_{kFree};
};

}  // namespace halvex::win32
