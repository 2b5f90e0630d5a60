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
// Pacing is real time by default: a thread of the engine wakes when the next request can be
// filled. Free-running, every request is filled the moment it is queued (or the moment the run
// starts), as fast as memory allows, and nothing is ever lost.
//
// Locks: all state is guarded by the board's mutex, which the engine's thread takes too.
#pragma once

#include <halvex/sim.h>

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
    // Fills pending requests while the FIFO (or, free-running, the engine) can.
    void Serve(Board& board);
    bool CompleteFromFifo(Board& board, DWORD bytes);
    void Fill(uint32_t* out, uint64_t firstIndex, uint64_t count);
    uint32_t Sample(uint64_t index);
    uint64_t FifoCount() const;
    // When a request of `bytes` can be filled (paced, rate above 0).
    Clock::time_point FillableAt(DWORD bytes) const;
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
    std::deque<Run> fifo_;
    std::vector<uint64_t> ordinals_ = std::vector<uint64_t>(16, 0);
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
