#include "core/WorkerThread.h"

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
    try {
        if (thread->runBody_.load()) thread->body_();
    } catch (...) {
        // A body that fails just ends its thread.
    }
    void* moduleToken = thread->moduleToken_;
    if (thread->endsOnItsOwn_.load()) {
        // Taken off the object first: running it may destroy the object.
        std::function<void()> atEnd = std::move(thread->atEnd_);
        try {
            atEnd();
        } catch (...) {
        }
    }
    return platform::ReleaseModuleAndExitThread(moduleToken, 0);
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

void TWorkerThread::EndOnItsOwn(std::function<void()> atEnd) {
    atEnd_ = std::move(atEnd);
    endsOnItsOwn_.store(true);
}

}  // namespace halvex
