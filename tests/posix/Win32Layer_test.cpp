// What our Linux Win32 layer promises beyond what the Win32 semantics tests can check
// portably: its fixed code page and version, its handle values, object lifetime, and what it
// refuses or reports plainly where Windows offers more. Linked with the layer alone.
#include <gtest/gtest.h>
#include <windows.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>
#include "win32/Kernel.h"

namespace {

// Only a guard against hangs; nothing below waits this long when it works.
constexpr DWORD kGuardMs = 10000;

// Whether the thread `tid` is asleep (in a wait, not about to start one), checked until it is or
// the guard runs out.
bool AwaitAsleep(pid_t tid) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kGuardMs);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
        const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const auto close = text.rfind(')');
        if (close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'S') return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

pid_t CurrentTid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

TEST(Win32Layer, AnsiCodePageIsWindows1252) {
    const char16_t text[] = u"\u20AC\u0100";
    char bytes[3] = {};
    BOOL usedDefault = FALSE;
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<LPCWSTR>(text), -1, bytes, 3, nullptr, &usedDefault), 3);
    EXPECT_EQ(std::string(bytes), "\x80?");
    EXPECT_TRUE(usedDefault);
}

TEST(Win32Layer, VersionIsWindows10AndNeedsAWholeRecord) {
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info - 1;
    EXPECT_FALSE(GetVersionExW(&info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(GetVersionExW(&info));
    EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
    EXPECT_EQ(info.dwMajorVersion, 10u);
    EXPECT_EQ(info.dwMinorVersion, 0u);
    EXPECT_EQ(info.dwBuildNumber, 19045u);
}

TEST(Win32Layer, HandleValuesAreNeverReusedNorReserved) {
    HANDLE first = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(first));
    HANDLE second = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_NE(second, first);
    EXPECT_NE(second, INVALID_HANDLE_VALUE);
    EXPECT_NE(second, GetCurrentThread());
    EXPECT_NE(second, reinterpret_cast<HANDLE>(HKEY_CURRENT_USER));
    EXPECT_NE(second, reinterpret_cast<HANDLE>(HKEY_LOCAL_MACHINE));
    CloseHandle(second);
}

TEST(Win32Layer, ClosingAHandleDoesNotPullTheObjectFromUnderAWaiter) {
    HANDLE closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE wake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD result = 0;
    std::thread waiter([&] {
        const HANDLE both[] = {closed, wake};
        result = WaitForMultipleObjects(2, both, FALSE, 10000);
    });
    CloseHandle(closed);
    SetEvent(wake);
    waiter.join();
    // Either the wait began before the close and ended through `wake`, or it found a bad handle.
    EXPECT_TRUE(result == WAIT_OBJECT_0 + 1 || result == WAIT_FAILED) << result;
    CloseHandle(wake);
}

TEST(Win32Layer, AHandleClosedUnderASleepingWaitLeavesTheWaitToItsOtherObjects) {
    HANDLE closed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::atomic<pid_t> tid{0};
    DWORD result = 0;
    std::thread waiter([&] {
        tid = CurrentTid();
        const HANDLE both[] = {closed, wake};
        result = WaitForMultipleObjects(2, both, FALSE, kGuardMs);
    });
    while (tid.load() == 0) std::this_thread::yield();
    const bool asleep = AwaitAsleep(tid.load());
    CloseHandle(closed);  // the last handle: only the sleeping wait keeps the object now
    SetEvent(wake);
    waiter.join();
    EXPECT_TRUE(asleep);
    EXPECT_EQ(result, WAIT_OBJECT_0 + 1);
    CloseHandle(wake);
}

TEST(Win32Layer, AWaitForAllIsRefusedAndTakesNothing) {
    HANDLE semaphore = CreateSemaphoreW(nullptr, 1, 1, nullptr);
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    const HANDLE both[] = {semaphore, event};
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, INFINITE), WAIT_FAILED);  // never blocks either
    EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0);              // the count was left alone
    CloseHandle(semaphore);
    CloseHandle(event);
}

TEST(Win32Layer, AFailureStatusWithoutAWin32ErrorIsStillAFailure) {
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    DWORD transferred = 0;
    for (const ULONG_PTR status : {0xC0000120u, 0x80000006u, 0xC0000001u}) {
        overlapped.Internal = status;
        SetLastError(0);
        EXPECT_FALSE(GetOverlappedResult(nullptr, &overlapped, &transferred, TRUE)) << std::hex << status;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE)) << std::hex << status;
    }
    CloseHandle(event);
}

TEST(Win32Layer, ZeroInitialisedLocalBlocksAreZero) {
    auto* block = static_cast<unsigned char*>(LocalAlloc(LPTR, 4096));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 4096; ++i) ASSERT_EQ(block[i], 0) << i;
    EXPECT_EQ(LocalFree(block), nullptr);
}

TEST(Win32Layer, RegistryHandlesToADeletedKeyFailCleanly) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, reinterpret_cast<LPCWSTR>(u"Software\\HalvexTest\\Win32Layer\\Gone"), 0, nullptr,
                              0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, reinterpret_cast<LPCWSTR>(u"Software\\HalvexTest\\Win32Layer")), ERROR_SUCCESS);
    const DWORD value = 1;
    EXPECT_NE(RegSetValueExW(key, nullptr, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value),
              ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

// ---- Waits and signals racing each other ----------------------------------------------------
// Each of these repeats a hand-over many times so that a signal arriving between a wait's last
// look at an object and its sleep, or a time-out meeting a hand-off, shows up as a hang (ended
// by the guard) or a count that does not add up.

// Two threads hand a turn back and forth through auto-reset events, so every wait races the set
// that ends it.
TEST(Win32LayerRaces, EveryPingPongSetWakesItsWaiter) {
    constexpr int kTurns = 5000;
    HANDLE ping = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE pong = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::atomic<int> partnerMissed{0};
    std::thread partner([&] {
        for (int i = 0; i < kTurns; ++i) {
            if (WaitForSingleObject(ping, kGuardMs) != WAIT_OBJECT_0) ++partnerMissed;
            SetEvent(pong);
        }
    });
    int missed = 0;
    for (int i = 0; i < kTurns && missed == 0; ++i) {
        SetEvent(ping);
        if (WaitForSingleObject(pong, kGuardMs) != WAIT_OBJECT_0) ++missed;
    }
    partner.join();
    EXPECT_EQ(missed, 0);
    EXPECT_EQ(partnerMissed.load(), 0);
    CloseHandle(ping);
    CloseHandle(pong);
}

// One wait on three events while the other thread sets one of them: the wait reports that one,
// whether it was set before, during or after the wait went to sleep, and takes it.
TEST(Win32LayerRaces, AWaitOnSeveralObjectsReportsTheOneSetWhileItGoesToSleep) {
    constexpr int kTurns = 3000;
    HANDLE events[3];
    for (auto& event : events) event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::atomic<int> wrong{0};
    std::thread waiter([&] {
        for (int i = 0; i < kTurns; ++i) {
            if (WaitForMultipleObjects(3, events, FALSE, kGuardMs) != WAIT_OBJECT_0 + static_cast<DWORD>(i % 3)) ++wrong;
            SetEvent(done);
        }
    });
    for (int i = 0; i < kTurns; ++i) {
        SetEvent(events[i % 3]);
        ASSERT_EQ(WaitForSingleObject(done, kGuardMs), WAIT_OBJECT_0) << "turn " << i;
    }
    waiter.join();
    EXPECT_EQ(wrong.load(), 0);
    for (HANDLE event : events) EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    for (HANDLE event : events) CloseHandle(event);
    CloseHandle(done);
}

// Many threads wait on one auto-reset event: each set releases exactly one of them.
TEST(Win32LayerRaces, EachSetOfAnAutoResetEventReleasesExactlyOneOfManyWaiters) {
    constexpr int kWaiters = 6;
    constexpr int kSets = 2000;
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE released = CreateSemaphoreW(nullptr, 0, kSets + kWaiters, nullptr);
    std::atomic<bool> stop{false};
    std::vector<std::thread> waiters;
    for (int w = 0; w < kWaiters; ++w) {
        waiters.emplace_back([&] {
            while (WaitForSingleObject(event, kGuardMs) == WAIT_OBJECT_0 && !stop.load())
                ReleaseSemaphore(released, 1, nullptr);
        });
    }
    int lost = 0;
    for (int i = 0; i < kSets && lost == 0; ++i) {
        SetEvent(event);
        if (WaitForSingleObject(released, kGuardMs) != WAIT_OBJECT_0) ++lost;
    }
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(WaitForSingleObject(released, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "a set released two waiters";
    stop = true;
    for (int w = 0; w < kWaiters; ++w) SetEvent(event);  // one each: a released waiter stops
    for (auto& waiter : waiters) waiter.join();
    CloseHandle(event);
    CloseHandle(released);
}

// Waits that time out while units are being released: a unit is either taken by a wait that
// reports it or left in the count, never lost to a wait that timed out.
TEST(Win32LayerRaces, ASemaphoreUnitMeetingATimeOutIsNeitherLostNorTakenTwice) {
    constexpr int kUnits = 4000;
    constexpr int kTakers = 3;
    HANDLE semaphore = CreateSemaphoreW(nullptr, 0, kUnits, nullptr);
    std::atomic<int> taken{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> takers;
    for (int t = 0; t < kTakers; ++t) {
        takers.emplace_back([&] {
            while (!stop.load())
                if (WaitForSingleObject(semaphore, 1) == WAIT_OBJECT_0) ++taken;
        });
    }
    for (int i = 0; i < kUnits; ++i) {
        ASSERT_TRUE(ReleaseSemaphore(semaphore, 1, nullptr));
        if (i % 64 == 0) std::this_thread::yield();
    }
    stop = true;
    for (auto& taker : takers) taker.join();
    int left = 0;
    while (WaitForSingleObject(semaphore, 0) == WAIT_OBJECT_0) ++left;
    EXPECT_EQ(taken.load() + left, kUnits);
    CloseHandle(semaphore);
}

// The same race made certain: a unit released at the very moment a wait's sleep has run out
// is handed to that wait, which then reports it, or stays in the count; it is never lost.
TEST(Win32LayerRaces, AUnitReleasedJustAsAWaitTimesOutIsReportedByThatWait) {
    HANDLE semaphore = CreateSemaphoreW(nullptr, 0, 1, nullptr);
    halvex::win32::SetTimeoutHookForTests(
        [](void* context) {
            halvex::win32::SetTimeoutHookForTests(nullptr, nullptr);  // once
            ReleaseSemaphore(static_cast<HANDLE>(context), 1, nullptr);
        },
        semaphore);
    const DWORD result = WaitForSingleObject(semaphore, 1);
    halvex::win32::SetTimeoutHookForTests(nullptr, nullptr);
    const bool left = WaitForSingleObject(semaphore, 0) == WAIT_OBJECT_0;
    EXPECT_EQ(result == WAIT_OBJECT_0, !left) << "result " << result << ", unit left in the count: " << left;
    EXPECT_TRUE(result == WAIT_OBJECT_0 || result == WAIT_TIMEOUT) << result;
    CloseHandle(semaphore);
}

// Threads take one mutex in turns and change data it guards without atomics: a hand-over that
// let two owners in at once, or lost an owner's release, shows in the total or as a hang.
TEST(Win32LayerRaces, AContendedMutexLetsOneOwnerInAtATime) {
    constexpr int kThreads = 4;
    constexpr int kTurns = 3000;
    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    long guarded = 0;
    int inside = 0;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kTurns; ++i) {
                if (WaitForSingleObject(mutex, kGuardMs) != WAIT_OBJECT_0) {
                    ++failures;
                    return;
                }
                if (++inside != 1) ++failures;
                ++guarded;
                --inside;
                if (!ReleaseMutex(mutex)) ++failures;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(guarded, static_cast<long>(kThreads) * kTurns);
    CloseHandle(mutex);
}

// A mutex whose owner ends while others sleep on it goes to exactly one of them, as abandoned.
TEST(Win32LayerRaces, AnAbandonedMutexGoesToOneSleepingWaiterOnce) {
    constexpr int kWaiters = 4;
    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    HANDLE ownerMayEnd = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<pid_t> ownerTid{0};
    std::thread owner([&] {
        WaitForSingleObject(mutex, 0);
        ownerTid = CurrentTid();
        WaitForSingleObject(ownerMayEnd, kGuardMs);
    });
    while (ownerTid.load() == 0) std::this_thread::yield();
    std::atomic<int> abandoned{0};
    std::atomic<int> normal{0};
    std::vector<std::atomic<pid_t>> tids(kWaiters);
    std::vector<std::thread> waiters;
    for (int w = 0; w < kWaiters; ++w) {
        waiters.emplace_back([&, w] {
            tids[w] = CurrentTid();
            const DWORD result = WaitForSingleObject(mutex, kGuardMs);
            if (result == WAIT_ABANDONED) ++abandoned;
            if (result == WAIT_OBJECT_0) ++normal;
            ReleaseMutex(mutex);
        });
    }
    bool allAsleep = true;
    for (auto& tid : tids) {
        while (tid.load() == 0) std::this_thread::yield();
        allAsleep = AwaitAsleep(tid.load()) && allAsleep;
    }
    SetEvent(ownerMayEnd);
    owner.join();
    for (auto& waiter : waiters) waiter.join();
    EXPECT_TRUE(allAsleep);
    EXPECT_EQ(abandoned.load(), 1);
    EXPECT_EQ(normal.load(), kWaiters - 1);
    CloseHandle(mutex);
    CloseHandle(ownerMayEnd);
}

}  // namespace
