// The Linux Win32 layer's synchronisation, the cost the streaming threads pay on every hand-off:
//  - uncontended: WaitForSingleObject + ReleaseMutex beside std::mutex, SetEvent + wait on an
//    auto-reset event, ReleaseSemaphore + wait, a wait on two objects of which one is set;
//  - two threads: an event ping-pong round trip (each side sets the other's auto-reset event
//    and waits on its own), beside the same round trip on std::binary_semaphore.
// The uncontended figures carry their ratio to std::mutex measured in the same run.
#include <windows.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <semaphore>
#include <thread>

namespace {

// std::mutex lock + unlock, in ns, measured once for the ratios.
double StdMutexNs() {
    static const double ns = [] {
        std::mutex mutex;
        constexpr int kTurns = 2000000;
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kTurns; ++i) {
            mutex.lock();
            benchmark::DoNotOptimize(&mutex);
            mutex.unlock();
        }
        return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() / kTurns;
    }();
    return ns;
}

using Clock = std::chrono::steady_clock;

// Wall time per iteration since `start`, as a multiple of std::mutex lock + unlock.
void ReportRatio(benchmark::State& state, Clock::time_point start) {
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    state.counters["x_std_mutex"] = ns / static_cast<double>(state.iterations()) / StdMutexNs();
}

void BM_StdMutexLockUnlock(benchmark::State& state) {
    std::mutex mutex;
    for (auto _ : state) {
        mutex.lock();
        benchmark::DoNotOptimize(&mutex);
        mutex.unlock();
    }
}

void BM_MutexWaitRelease(benchmark::State& state) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    const auto start = Clock::now();
    for (auto _ : state) {
        WaitForSingleObject(mutex, INFINITE);
        ReleaseMutex(mutex);
    }
    ReportRatio(state, start);
    CloseHandle(mutex);
}

void BM_EventSetWait(benchmark::State& state) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    const auto start = Clock::now();
    for (auto _ : state) {
        SetEvent(event);
        WaitForSingleObject(event, INFINITE);
    }
    ReportRatio(state, start);
    CloseHandle(event);
}

void BM_SemaphoreReleaseWait(benchmark::State& state) {
    HANDLE semaphore = CreateSemaphoreW(nullptr, 0, 1, nullptr);
    const auto start = Clock::now();
    for (auto _ : state) {
        ReleaseSemaphore(semaphore, 1, nullptr);
        WaitForSingleObject(semaphore, INFINITE);
    }
    ReportRatio(state, start);
    CloseHandle(semaphore);
}

// The acquisition threads' wait: a stop event that stays clear and a ready one that is set.
void BM_WaitForTwoOneSet(benchmark::State& state) {
    HANDLE events[] = {CreateEventW(nullptr, TRUE, FALSE, nullptr), CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    const auto start = Clock::now();
    for (auto _ : state) {
        SetEvent(events[1]);
        WaitForMultipleObjects(2, events, FALSE, INFINITE);
    }
    ReportRatio(state, start);
    CloseHandle(events[0]);
    CloseHandle(events[1]);
}

void BM_EventPingPongRoundTrip(benchmark::State& state) {
    HANDLE ping = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE pong = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::atomic<bool> stop{false};
    std::thread partner([&] {
        for (;;) {
            WaitForSingleObject(ping, INFINITE);
            if (stop.load()) return;
            SetEvent(pong);
        }
    });
    for (auto _ : state) {
        SetEvent(ping);
        WaitForSingleObject(pong, INFINITE);
    }
    stop = true;
    SetEvent(ping);
    partner.join();
    CloseHandle(ping);
    CloseHandle(pong);
}

void BM_BinarySemaphorePingPongRoundTrip(benchmark::State& state) {
    std::binary_semaphore ping{0};
    std::binary_semaphore pong{0};
    std::atomic<bool> stop{false};
    std::thread partner([&] {
        for (;;) {
            ping.acquire();
            if (stop.load()) return;
            pong.release();
        }
    });
    for (auto _ : state) {
        ping.release();
        pong.acquire();
    }
    stop = true;
    ping.release();
    partner.join();
}

}  // namespace

BENCHMARK(BM_StdMutexLockUnlock);
BENCHMARK(BM_MutexWaitRelease);
BENCHMARK(BM_EventSetWait);
BENCHMARK(BM_SemaphoreReleaseWait);
BENCHMARK(BM_WaitForTwoOneSet);
BENCHMARK(BM_EventPingPongRoundTrip)->Unit(benchmark::kMicrosecond)->MinTime(0.5);
BENCHMARK(BM_BinarySemaphorePingPongRoundTrip)->Unit(benchmark::kMicrosecond)->MinTime(0.5);

BENCHMARK_MAIN();
