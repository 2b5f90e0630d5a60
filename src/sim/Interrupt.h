// The board's interrupt as the driver presents it: waits that pend until the interrupt is raised
// (by a test or by a timer) or aborted, a poll, and an abort.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/Device.h"

namespace halvex::sim {

class InterruptModel final : public Device {
public:
    explicit InterruptModel(Board& board) : board_(board) {}
    ~InterruptModel() override { StopTimer(); }

    // IOCTL_WAIT_FOR_IRQ: pends until Raise or an abort; an interrupt raised while nobody waited
    // is kept and satisfies the next wait (or poll) at once. A wait without an OVERLAPPED is
    // refused unless it can be satisfied at once.
    // IOCTL_POLL_FOR_IRQ: success and the kept interrupt taken, or ERROR_IO_INCOMPLETE.
    // IOCTL_ABORT_IRQ_WAIT: ends every pending wait with the aborted code; success. While the
    // abort is ignored, success and nothing ends.
    bool OnControl(Board& board, const ControlCall& call, ControlAnswer& answer) override;

    // The rest with the board mutex held.
    // Completes every pending wait with the satisfied code, or keeps the interrupt when none waits.
    void Raise();
    void SetCompletionCodes(DWORD satisfied, DWORD aborted);
    // A driver that answers IOCTL_ABORT_IRQ_WAIT and ends nothing.
    void IgnoreAbort(bool ignore) { ignoreAbort_ = ignore; }
    // Waits still pending: one cancelled or closed with its handle no longer counts.
    std::size_t PendingWaits();
    // The event of every wait request's OVERLAPPED so far (null for none), oldest first.
    const std::vector<HANDLE>& WaitEvents() const { return waitEvents_; }
    // Notified, under the board mutex, whenever a wait starts or ends.
    std::condition_variable waitsChanged;

    // Raises the interrupt every `periodMs` milliseconds from a thread of the model (0 stops
    // it). Called without the board mutex.
    void StartTimer(DWORD periodMs);
    void StopTimer();

private:
    void StopTimerLocked();
    void CompleteAll(DWORD code);
    void ForgetEndedWaits();
    void TimerLoop(DWORD periodMs);

    Board& board_;
    std::vector<uint64_t> waits_;  // pending requests on the bus, oldest first
    std::vector<HANDLE> waitEvents_;
    bool raised_ = false;          // an interrupt nobody has waited for yet
    DWORD satisfiedCode_ = ERROR_SUCCESS;
    DWORD abortedCode_ = ERROR_OPERATION_ABORTED;
    bool ignoreAbort_ = false;

    std::mutex timerControl_;  // serializes StartTimer and StopTimer
    // The timer's own state, under timerMutex_ (never held while taking the board mutex).
    std::mutex timerMutex_;
    std::condition_variable timerWake_;
    bool timerStop_ = false;
    std::thread timer_;
};

}  // namespace halvex::sim
