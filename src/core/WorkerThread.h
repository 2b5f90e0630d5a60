// A thread of the library, held by its owner as a member the way std::jthread is held.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>

namespace halvex {

// The thread is created suspended with its body and started explicitly. Destroying the object
// asks the body to stop and waits for the thread; an owner declares it after every member the
// body uses, so the thread has ended before any of them is destroyed. A thread that was never
// started ends without running its body.
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

    // Leaves the thread's end to the thread itself: once its body returns it runs `atEnd`, which
    // may destroy the owner (and this object with it), and nobody waits for it any more. Called
    // before whatever makes the body return. False, and `atEnd` dropped, when the thread has
    // ended already (its runtime ended it under the body): the owner then ends it as usual.
    bool EndOnItsOwn(std::function<void()> atEnd);

    HANDLE Handle() const { return handle_; }
    DWORD ThreadId() const { return threadId_; }

private:
    static DWORD WINAPI ThreadProc(LPVOID self);
    // The body is over, however it ended: runs `atEnd` when the thread ends on its own.
    void Finished() noexcept;

    std::function<void()> body_;
    std::function<void()> wake_;
    std::function<void()> atEnd_;
    HANDLE handle_ = nullptr;
    DWORD threadId_ = 0;
    void* moduleToken_ = nullptr;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> runBody_{false};
    std::atomic<bool> endsOnItsOwn_{false};
    // Who runs the end: kOwned until EndOnItsOwn (kOnItsOwn) or the body's end (kFinished),
    // whichever comes first.
    enum : int { kOwned, kOnItsOwn, kFinished };
    std::atomic<int> endState_{kOwned};
    bool started_ = false;
};

}  // namespace halvex
