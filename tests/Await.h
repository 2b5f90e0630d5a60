// Waiting in a test for what another thread or the simulated board brings about.
#pragma once

#include <chrono>
#include <thread>

// How long a test waits for something that must happen before it calls it a hang. A guard
// only: nothing is measured against it.
inline constexpr std::chrono::milliseconds kHangGuard{20000};

// Checks `happened` until it holds; false if the guard ran out first. For what no event and no
// wait of the simulator reports (a count a callback keeps, a request in the log, the handle
// count). It pauses between checks instead of spinning, so the threads it waits for get the CPU.
template <class Predicate>
bool AwaitTrue(Predicate&& happened, std::chrono::milliseconds guard = kHangGuard) {
    const auto deadline = std::chrono::steady_clock::now() + guard;
    while (!happened()) {
        if (std::chrono::steady_clock::now() > deadline) return happened();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
