#include "core/WorkerThread.h"

#include "platform/Contain.h"
#include "platform/ForcedUnwind.h"
#include "platform/ThreadModule.h"

namespace halvex {

TWorkerThread::TWorkerThread(std::function<void()> body, std::function<void()> wake)
    : body_(std::move(body)), wake_(std::move(wake)), moduleToken_(platform::HoldModuleForThread()) {
    handle_ = CreateThread(nullptr, 0, &TWorkerThread::ThreadProc, this, CREATE_SUSPENDED, &threadId_);
    if (handle_ == nullptr) {
        platform::ReleaseModuleToken(moduleToken_);
        moduleToken_ = nullptr;
    }
}

TWorkerThread::~TWorkerThread() {
    if (handle_ == nullptr) return;
    // A thread that ends on its own destroys this object itself, on its way out: no wait.
    if (!endsOnItsOwn_.load()) {
        RequestStop();
        // A suspended thread still has to run to its end, without its body.
        if (!started_) ResumeThread(handle_);
        WaitForSingleObject(handle_, INFINITE);
    }
    CloseHandle(handle_);
}

DWORD WINAPI TWorkerThread::ThreadProc(LPVOID self) {
    auto* thread = static_cast<TWorkerThread*>(self);
    void* const moduleToken = thread->moduleToken_;
    try {
        // A fault the body did not contain ends its thread, not the process.
        if (thread->runBody_.load()) platform::RunContainedBody(thread->body_);
    } catch (...) {
        // The thread's runtime ends it (pthread_exit): its end still happens, then the unwind
        // goes on to the runtime. A body that fails otherwise just ends its thread.
        if (platform::ForcedUnwinding()) {
            thread->Finished();
            throw;
        }
    }
    thread->Finished();
    return platform::ReleaseModuleAndExitThread(moduleToken, 0);
}

void TWorkerThread::Finished() noexcept {
    if (endState_.exchange(kFinished) != kOnItsOwn) return;
    // Taken off the object first: running it may destroy the object.
    std::function<void()> atEnd = std::move(atEnd_);
    try {
        atEnd();
    } catch (...) {
    }
}

void TWorkerThread::Start() {
    if (started_ || handle_ == nullptr) return;
    started_ = true;
    runBody_.store(true);
    ResumeThread(handle_);
}

void TWorkerThread::RequestStop() {
    stopRequested_.store(true);
    if (wake_) wake_();
}

bool TWorkerThread::EndOnItsOwn(std::function<void()> atEnd) {
    atEnd_ = std::move(atEnd);
    // Marked first: once the exchange is made, the thread may destroy this object at any time.
    endsOnItsOwn_.store(true);
    int owned = kOwned;
    if (endState_.compare_exchange_strong(owned, kOnItsOwn)) return true;
    // The body has finished already and will look at neither.
    endsOnItsOwn_.store(false);
    atEnd_ = nullptr;
    return false;
}

}  // namespace halvex
