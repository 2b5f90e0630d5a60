#include "sim/Interrupt.h"

#include <chrono>
#include <memory>
#include <stdexcept>

#include "sim/Board.h"
#include "sim/Bus.h"

namespace halvex::sim {

bool InterruptModel::OnControl(Board& /*board*/, const ControlCall& call, ControlAnswer& answer) {
    switch (call.code) {
        case kIoctlWaitForIrq:
            waitEvents_.push_back(call.overlapped != nullptr ? call.overlapped->hEvent : nullptr);
            if (raised_ && (satisfiedCode_ == ERROR_SUCCESS || call.overlapped == nullptr)) {
                raised_ = false;
                answer = satisfiedCode_ == ERROR_SUCCESS ? ControlAnswer::Success(0)
                                                         : ControlAnswer::Failure(satisfiedCode_);
                return true;
            }
            if (call.overlapped == nullptr) {
                // Nothing to hold a synchronous request on without blocking the board.
                answer = ControlAnswer::Failure(ERROR_INVALID_PARAMETER);
                return true;
            }
            if (const uint64_t id = Bus::Instance().PendRequest(call); id != 0) {
                waits_.push_back(id);
                answer = ControlAnswer::Pending();
                if (raised_) {
                    // The kept interrupt ends this wait with a code other than success, which
                    // only a completion (not an answer) can carry.
                    raised_ = false;
                    CompleteAll(satisfiedCode_);
                }
            } else {
                answer = ControlAnswer::Failure(ERROR_INVALID_HANDLE);
            }
            waitsChanged.notify_all();
            return true;
        case kIoctlPollForIrq:
            if (raised_) {
                raised_ = false;
                answer = ControlAnswer::Success(0);
            } else {
                answer = ControlAnswer::Failure(ERROR_IO_INCOMPLETE);
            }
            return true;
        case kIoctlAbortIrqWait:
            if (!ignoreAbort_) CompleteAll(abortedCode_);
            answer = ControlAnswer::Success(0);
            return true;
        default:
            return false;
    }
}

void InterruptModel::Raise() {
    // A wait the caller cancelled is gone: the interrupt is kept for the next one.
    ForgetEndedWaits();
    if (waits_.empty()) {
        raised_ = true;
        return;
    }
    CompleteAll(satisfiedCode_);
}

void InterruptModel::SetCompletionCodes(DWORD satisfied, DWORD aborted) {
    satisfiedCode_ = satisfied;
    abortedCode_ = aborted;
}

std::size_t InterruptModel::PendingWaits() {
    ForgetEndedWaits();
    return waits_.size();
}

void InterruptModel::ForgetEndedWaits() {
    std::erase_if(waits_, [](uint64_t id) { return !Bus::Instance().IsPending(id); });
}

void InterruptModel::CompleteAll(DWORD code) {
    std::vector<uint64_t> ending;
    ending.swap(waits_);
    for (const uint64_t id : ending) {
        // A wait whose handle was closed has ended already; CompletePending skips it.
        Bus::Instance().CompletePending(id, [code](uint8_t*, DWORD) { return CompletionResult{code, 0}; });
    }
    waitsChanged.notify_all();
}

void InterruptModel::StartTimer(DWORD periodMs) {
    std::lock_guard control(timerControl_);
    StopTimerLocked();
    if (periodMs == 0) return;
    {
        std::lock_guard lock(timerMutex_);
        timerStop_ = false;
    }
    timer_ = std::thread([this, periodMs] { TimerLoop(periodMs); });
}

void InterruptModel::StopTimer() {
    std::lock_guard control(timerControl_);
    StopTimerLocked();
}

void InterruptModel::StopTimerLocked() {
    {
        std::lock_guard lock(timerMutex_);
        timerStop_ = true;
    }
    timerWake_.notify_all();
    if (timer_.joinable()) timer_.join();
}

void InterruptModel::TimerLoop(DWORD periodMs) {
    const auto period = std::chrono::milliseconds(periodMs);
    auto next = std::chrono::steady_clock::now() + period;
    for (;;) {
        {
            std::unique_lock lock(timerMutex_);
            if (timerWake_.wait_until(lock, next, [this] { return timerStop_; })) return;
        }
        next += period;
        std::lock_guard board(board_.mutex);
        Raise();
    }
}

}  // namespace halvex::sim
