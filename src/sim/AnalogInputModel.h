// The analog-input block of a simulated board: divisor, range and start/stop registers, the
// FIFOs and the immediate conversions.
//
//   16 + 4s  divisor        a write restarts sequencer s's clock and empties its FIFO; for
//                           sequencer 0 it also readies the converter for a new command at once
//   24 + 4s  ranges         plain storage (the commands carry their own range)
//   40       FIFO count     words waiting in sequencer 0's FIFO
//   48 + 4s  FIFO data      a read pops the next word (0x80000000 when empty); writing 0 empties it
//   56 + 4s  start/stop     bit 5 clear: an immediate command, channel in bits 12-14, range code in
//                           bits 7-9, single-ended when bit 11 is set (else the channel's
//                           differential pair: the even channel minus the odd one); both come
//                           up single-ended
//
// Boards with 16-bit start/stop registers answer each command with the previous conversion (a
// one-word pipeline), pushed into the commanded sequencer's FIFO. Boards that take 32-bit
// commands (bit 16, the run bit, set) convert each command straight into sequencer 0's FIFO, but
// drop a command that comes less than the command spacing (15 µs) after the previous one.
#pragma once

#include <halvex/sim.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>

#include "board/Registers.h"
#include "sim/AnalogInputSources.h"
#include "sim/Device.h"

namespace halvex::sim {

class AnalogInputModel final : public Device {
public:
    static constexpr std::size_t kFifoDepth = 4096;
    static constexpr uint32_t kEmptyFifoWord = halvex::board::kEmptyFifoWord;

    explicit AnalogInputModel(Board& board);

    bool OnRead(Board& board, uint32_t offset, unsigned width, uint32_t& value) override;
    bool OnWrite(Board& board, uint32_t offset, unsigned width, uint32_t value) override;

    // Board mutex held for all of these.
    InputSource& Source(unsigned sequencer, unsigned channel) { return sources_[Input(sequencer, channel)]; }
    void SetCommandSpacing(std::chrono::nanoseconds spacing) { spacing_ = spacing; }
    // Converts one channel now, as a command would.
    uint32_t Convert(Board& board, unsigned sequencer, unsigned channel, uint32_t rangeCode, bool differential);

private:
    static unsigned Input(unsigned sequencer, unsigned channel) { return sequencer * kInputChannels + channel; }
    double InputVolts(Board& board, unsigned sequencer, unsigned channel, double seconds);
    void Push(unsigned sequencer, uint32_t word);
    void Command(Board& board, unsigned sequencer, uint32_t value);

    std::array<InputSource, kInputSequencers * kInputChannels> sources_;
    std::array<uint64_t, kInputSequencers * kInputChannels> ordinals_{};
    std::array<std::deque<uint32_t>, kInputSequencers> fifos_;
    std::array<uint32_t, kInputSequencers> pipelines_;
    std::chrono::steady_clock::time_point epoch_;
    std::chrono::steady_clock::time_point lastCommand_;
    bool commanded_ = false;
    std::chrono::nanoseconds spacing_{std::chrono::microseconds(15)};
};

}  // namespace halvex::sim
