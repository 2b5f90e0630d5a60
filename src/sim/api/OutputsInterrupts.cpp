// The sim API of the analog outputs and the interrupt.
#include <halvex/sim.h>

#include <chrono>
#include <mutex>
#include <stdexcept>

#include "sim/AnalogOutput.h"
#include "sim/Board.h"
#include "sim/Bus.h"
#include "sim/Interrupt.h"

namespace halvex::sim {
namespace {

template <typename Read>
auto ReadOutput(std::size_t board, unsigned channel, Read read) {
    if (channel >= AnalogOutputModel::kChannels) throw std::out_of_range("a board has four analog outputs");
    ModelOf<AnalogOutputModel> target(board, "board without analog outputs");
    std::lock_guard lock(target.board->mutex);
    return read(*target.board, *target.model);
}

struct InterruptOf : ModelOf<InterruptModel> {
    explicit InterruptOf(std::size_t position) : ModelOf(position, "board without an interrupt") {}
};

}  // namespace

uint32_t AnalogOutputRange(std::size_t board, unsigned channel) {
    return ReadOutput(board, channel, [channel](Board&, AnalogOutputModel& m) { return m.Range(channel); });
}

uint32_t AnalogOutputCounts(std::size_t board, unsigned channel) {
    return ReadOutput(board, channel, [channel](Board&, AnalogOutputModel& m) { return m.Counts(channel); });
}

double AnalogOutputVolts(std::size_t board, unsigned channel) {
    return ReadOutput(board, channel, [channel](Board& b, AnalogOutputModel&) { return b.analogOutputVolts[channel]; });
}

void RaiseInterrupt(std::size_t board) {
    InterruptOf target(board);
    std::lock_guard lock(target.board->mutex);
    target.model->Raise();
}

void SetInterruptCompletion(std::size_t board, DWORD satisfied, DWORD aborted) {
    InterruptOf target(board);
    std::lock_guard lock(target.board->mutex);
    target.model->SetCompletionCodes(satisfied, aborted);
}

void IgnoreInterruptAbort(std::size_t board, bool ignore) {
    InterruptOf target(board);
    std::lock_guard lock(target.board->mutex);
    target.model->IgnoreAbort(ignore);
}

std::size_t PendingInterruptWaits(std::size_t board) {
    InterruptOf target(board);
    std::lock_guard lock(target.board->mutex);
    return target.model->PendingWaits();
}

bool AwaitInterruptWaits(std::size_t board, std::size_t count, DWORD timeoutMs) {
    InterruptOf target(board);
    std::unique_lock lock(target.board->mutex);
    return target.model->waitsChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                                [&] { return target.model->PendingWaits() >= count; });
}

std::vector<HANDLE> InterruptWaitEvents(std::size_t board) {
    InterruptOf target(board);
    std::lock_guard lock(target.board->mutex);
    return target.model->WaitEvents();
}

// Without the board mutex: stopping joins the timer thread, which takes it.
void StartInterruptTimer(std::size_t board, DWORD periodMs) { InterruptOf(board).model->StartTimer(periodMs); }

void StopInterruptTimer(std::size_t board) { InterruptOf(board).model->StopTimer(); }

}  // namespace halvex::sim
