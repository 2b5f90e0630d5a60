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
    RequestStop();
    // A suspended thread still has to run to its end, without its body.
    if (!started_) ResumeThread(handle_);
    WaitForSingleObject(handle_, INFINITE);
    CloseHandle(handle_);
}

DWORD WINAPI TWorkerThread::ThreadProc(LPVOID self) {
    auto* thread = static_cast<TWorkerThread*>(self);
    void* const moduleToken = thread->moduleToken_;
    try {
        // A fault the body did not contain ends its thread, not the process.
        if (thread->runBody_.load()) platform::RunContainedBody(thread->body_);
    } catch (...) {
        // The thread's runtime ends it (pthread_exit): the unwind goes on to the runtime. A
        // body that fails otherwise just ends its thread.
        if (platform::ForcedUnwinding()) throw;
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

bool TWorkerThread::Ended() const {
    return handle_ != nullptr && started_ && WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0;
}

}  // namespace halvex
