// A thread of the library, held by its owner as a member the way std::jthread is held.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>

namespace halvex {

// The thread is created suspended with its body and started explicitly. Destroying the object
// asks the body to stop and waits for the thread; an owner declares it after every member the
// body uses, so the thread has ended before any of them is destroyed. A thread that was never
// started ends without running its body. The owner's destruction must not run on the thread
// itself.
class TWorkerThread {
public:
    // `wake` is how a stop request reaches a body that waits: it sets the event, or posts the
    // kill, the body waits for. Handle() is null when the thread could not be created.
    explicit TWorkerThread(std::function<void()> body, std::function<void()> wake = {});
    ~TWorkerThread();
    TWorkerThread(const TWorkerThread&) = delete;
    TWorkerThread& operator=(const TWorkerThread&) = delete;

    void Start();
    bool Started() const { return started_; }
    // Sets the stop flag the body polls, then wakes the body.
    void RequestStop();
    bool StopRequested() const { return stopRequested_.load(); }
    // The thread has run to its end (its body returned, or its runtime ended it): destroying
    // the object waits for nothing. False for a thread never started.
    bool Ended() const;

    HANDLE Handle() const { return handle_; }
    DWORD ThreadId() const { return threadId_; }

private:
    static DWORD WINAPI ThreadProc(LPVOID self);

    std::function<void()> body_;
    std::function<void()> wake_;
    HANDLE handle_ = nullptr;
    DWORD threadId_ = 0;
    void* moduleToken_ = nullptr;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> runBody_{false};
    bool started_ = false;
};

}  // namespace halvex
