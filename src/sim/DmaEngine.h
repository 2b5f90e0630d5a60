// The board's streaming engine: the DMA side of the acquisition sequencer.
//
// Control byte 0x11 arms it; the run bit in sequencer 0's start/stop register together with
// register 64 (value 0x10) starts it. While it runs it converts sequencer 0's scan (channels 0
// up to the stop channel, or the even channels of the differential pairs) on the ranges of the
// range register, at base clock / divisor, and fills the oldest pending data request once it
// holds a request's worth of samples. With no request pending the samples wait in the on-board
// FIFO; beyond its depth they are lost and counted as overrun. Control byte 0x10, clearing the
// run bit or register 64 stops it (the ping-pong model fails the pending request on 0x10).
//
// Pacing is real time by default. As a board's DMA drains its FIFO into the pending transfer all
// the time, a thread of the engine converts the oldest request's samples in pieces as they come
// due, and completes the request once its last sample is in. What counts as lost is only what a
// board would lose: samples that come while no request is pending, beyond what the FIFO holds,
// counted from the moment the previous request was completed (not the moment its last sample
// came due: the engine's own lateness is not the library's) to the moment the next one came.
// Free-running, every request is filled the moment it is queued (or the moment the run starts),
// as fast as memory allows, and nothing is ever lost.
//
// Locks: all state is guarded by the board's mutex, which the engine's thread takes too.
#pragma once

#include <halvex/sim.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <thread>
#include <vector>

#include "sim/Device.h"
#include "sim/DmaPiong.h"

namespace halvex::sim {

class AnalogInputModel;

class DmaEngineModel final : public Device, public DmaPiongModel::Engine {
public:
    explicit DmaEngineModel(Board& board);
    ~DmaEngineModel() override;

    bool OnWrite(Board& board, uint32_t offset, unsigned width, uint32_t value) override;
    void OnControlBytes(Board& board, const std::vector<uint8_t>& bytes) override;
    void OnDataRequest(Board& board) override;

    // Board mutex held for the rest.
    void SetPacing(DmaPacing pacing);
    DmaPacing Pacing() const { return pacing_; }
    void SetIndexSource(bool on) { indexSource_ = on; }
    void SetFifoDepth(std::size_t samples) { fifoDepth_ = samples; }
    StreamStatus Status() const;
    // Converts what is due by now (paced), so the status is current.
    void CatchUp();
    std::vector<int64_t> CompletionTimes() const { return {completions_.begin(), completions_.end()}; }
    std::condition_variable& Changed() { return wake_; }
    // Tests: extra time converting each sample costs, spent with the board mutex held, as a
    // slow source would.
    void SetConversionCost(std::chrono::nanoseconds perSample) { conversionCost_ = perSample; }

private:
    using Clock = std::chrono::steady_clock;
    struct Run {  // a run of consecutive sample indices waiting in the FIFO
        uint64_t first;
        uint64_t count;
    };

    bool ShouldRun() const { return armed_ && runBit_ && dmaEnabled_; }
    void Update(Board& board);  // starts or stops after a change of the three conditions
    void Start(Board& board);
    void Stop();
    // Produces the samples due by `now` into the FIFO (paced only).
    void Advance(Clock::time_point now, bool requestPending);
    // Fills pending requests while the FIFO (or, free-running, the engine) can, converting at
    // most `budget` samples (paced). True when more samples are due than the budget took.
    bool Serve(Board& board, uint64_t budget);
    bool CompleteFromFifo(Board& board, DWORD bytes);
    void Fill(uint32_t* out, uint64_t firstIndex, uint64_t count);
    // Converts up to `limit` samples from the FIFO's runs into the ready words.
    void Convert(uint64_t limit);
    // Drops the first `n` ready words once a request has them.
    void Consume(uint64_t n);
    // Empties the FIFO; the noise sequences take back the steps of words never delivered.
    void Discard();
    uint64_t FifoCount() const { return ReadyCount() + queued_; }
    uint64_t ReadyCount() const { return ready_.size() - readyHead_; }
    // Samples converted by `t` since the run started.
    uint64_t DueAt(Clock::time_point t) const;
    Clock::time_point WhenDue(uint64_t samples) const;
    // When a request of `bytes` can be filled (paced, rate above 0).
    Clock::time_point FillableAt(DWORD bytes) const;
    // Samples converted in one go while a large request fills: about a millisecond's worth.
    uint64_t PieceSamples() const;
    // When the engine's thread next has something to do (max: only when woken).
    Clock::time_point NextWake(Clock::time_point now);
    void NoteFront(uint64_t id, Clock::time_point now);
    void ThreadBody();

    Board& board_;
    AnalogInputModel* inputs_;
    DmaPiongModel* piong_;

    DmaPacing pacing_ = DmaPacing::RealTime;
    bool indexSource_ = false;
    std::size_t fifoDepth_ = kDefaultStreamFifoDepth;

    bool armed_ = false;
    bool runBit_ = false;
    bool dmaEnabled_ = false;
    bool running_ = false;
    uint32_t startStop_ = 0;  // the last value written to sequencer 0's start/stop register

    // The configuration taken when the run started.
    double rate_ = 0.0;  // samples per second, 0: the clock is stopped
    std::vector<unsigned> scan_;
    std::vector<uint32_t> scanBits_;  // range and channel bits of each scan position
    uint32_t ranges_ = 0;
    bool differential_ = false;
    Clock::time_point start_;
    Clock::time_point epoch_;

    uint64_t produced_ = 0;  // samples converted since the run started
    // The FIFO: first the ready words, already converted for the oldest request (what the DMA
    // moved on), then the runs of samples not converted yet.
    std::vector<uint32_t> ready_;
    std::size_t readyHead_ = 0;
    uint64_t lastReadyIndex_ = 0;        // the sample index of the newest ready word
    std::array<uint64_t, 16> readySteps_{};  // noise ordinal steps the ready words took, per input
    std::deque<Run> fifo_;
    uint64_t queued_ = 0;  // samples in fifo_
    // Samples in the FIFO that do not count against its depth: those that came after a request's
    // last sample was due but before the engine completed it. A board would have handed the
    // request back that much sooner.
    uint64_t exempt_ = 0;
    uint64_t frontId_ = 0;            // the oldest pending request as last seen
    Clock::time_point frontSince_{};  // since when it has been the oldest
    std::array<uint64_t, 16> ordinals_{};
    std::chrono::nanoseconds conversionCost_{0};
    StreamStatus status_;
    std::deque<int64_t> completions_;  // steady-clock nanoseconds of recent completions

    std::condition_variable wake_;
    // Until when the engine's thread sleeps (max: until woken); a request due later need not
    // wake it. Only read while the thread waits, which it does with the board mutex released.
    Clock::time_point plannedWake_ = Clock::time_point::max();
    DWORD lastRequestBytes_ = 0;  // the size of the latest request: the next one is usually as large
    bool quit_ = false;
    std::thread thread_;
};

}  // namespace halvex::sim
