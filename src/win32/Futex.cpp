// Futex waits and wakes, and the object lock's slow path.
#include "Futex.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace halvex::win32 {

bool FutexWait(std::atomic<std::uint32_t>& word, std::uint32_t expected, const timespec* deadline) {
    // The bitset form takes an absolute CLOCK_MONOTONIC deadline, so a wait woken early and
    // resumed never stretches its time-out.
    const long result = syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_BITSET_PRIVATE,
                                expected, deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
    return !(result == -1 && errno == ETIMEDOUT);
}

void FutexWake(const std::atomic<std::uint32_t>* word, int count) {
    syscall(SYS_futex, reinterpret_cast<const std::uint32_t*>(word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

timespec DeadlineAfter(std::uint32_t milliseconds) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(milliseconds / 1000);
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_nsec -= 1000000000L;
        ++deadline.tv_sec;
    }
    return deadline;
}

bool SpinningHelps() {
    static const bool helps = sysconf(_SC_NPROCESSORS_ONLN) > 1;
    return helps;
}

void ObjectLock::LockSlow() {
    if (SpinningHelps()) {
        for (int turn = 0; turn < 100; ++turn) {
            CpuRelax();
            std::uint32_t expected = kFree;
            if (word_.load(std::memory_order_relaxed) == kFree &&
                word_.compare_exchange_weak(expected, kLocked, std::memory_order_acquire, std::memory_order_relaxed))
                return;
        }
    }
    // Taken as contended from here on: its holder then wakes one sleeper when it unlocks.
    while (word_.exchange(kContended, std::memory_order_acquire) != kFree) FutexWait(word_, kContended, nullptr);
}

}  // namespace halvex::win32
