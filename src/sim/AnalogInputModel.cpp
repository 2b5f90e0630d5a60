#include "sim/AnalogInputModel.h"

#include "board/BoardFamilies.h"
#include "board/Registers.h"
#include "sim/Board.h"

namespace halvex::sim {
namespace {

using namespace halvex::board;

constexpr uint32_t kStartStopRegister = StartStopRegister(0);
constexpr uint32_t kFifoDataRegister = FifoDataRegister(0);
constexpr uint32_t kDivisorRegister = DivisorRegister(0);

// Which sequencer's copy of a per-sequencer register `offset` is, or -1.
int SequencerOf(uint32_t offset, uint32_t base) {
    if (offset == base) return 0;
    if (offset == base + 4) return 1;
    return -1;
}

}  // namespace

AnalogInputModel::AnalogInputModel(Board& board) : epoch_(std::chrono::steady_clock::now()) {
    // The inputs come up single-ended.
    board.registers.Write(kStartStopRegister, 4, kSingleEndedBit);
    board.registers.Write(kStartStopRegister + 4, 4, kSingleEndedBit);
    for (unsigned s = 0; s < kInputSequencers; ++s) {
        for (unsigned c = 0; c < kInputChannels; ++c) sources_[Input(s, c)] = DefaultInputSourceFor(s, c);
    }
    // Nothing converted yet: the pipeline holds no sample.
    pipelines_.fill(kEmptyFifoWord);
}

double AnalogInputModel::InputVolts(Board& board, unsigned sequencer, unsigned channel, double seconds) {
    const unsigned input = Input(sequencer, channel);
    return SourceVolts(sources_[input], seconds, ordinals_[input]++, input, board.analogOutputVolts);
}

uint32_t AnalogInputModel::Convert(Board& board, unsigned sequencer, unsigned channel, uint32_t rangeCode,
                                   bool differential) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - epoch_).count();
    double volts = 0.0;
    if (differential) {
        const unsigned even = channel & ~1u;
        volts = InputVolts(board, sequencer, even, seconds) - InputVolts(board, sequencer, even + 1, seconds);
    } else {
        volts = InputVolts(board, sequencer, channel, seconds);
    }
    return PackConversion(volts, rangeCode, channel);
}

void AnalogInputModel::Push(unsigned sequencer, uint32_t word) {
    // A full FIFO loses the new word, as the converter's would.
    if (fifos_[sequencer].size() < kFifoDepth) fifos_[sequencer].push_back(word);
}

void AnalogInputModel::Command(Board& board, unsigned sequencer, uint32_t value) {
    const unsigned channel = (value & kChannelField) >> kChannelShift;
    const uint32_t range = (value >> kRangeShift) & 7;
    const bool differential = (value & kSingleEndedBit) == 0;
    const uint32_t firmware = board.registers.Read(kFirmwareRegister, 4);
    if (TakesWideCommands(board.Setup().deviceId, firmware)) {
        if ((value & kRunBit) == 0) return;
        const auto now = std::chrono::steady_clock::now();
        const bool tooSoon = commanded_ && now - lastCommand_ < spacing_;
        lastCommand_ = now;
        commanded_ = true;
        if (tooSoon) return;  // the converter is still busy with the previous command
        Push(0, Convert(board, sequencer, channel, range, differential));
        return;
    }
    Push(sequencer, pipelines_[sequencer]);
    pipelines_[sequencer] = Convert(board, sequencer, channel, range, differential);
}

bool AnalogInputModel::OnRead(Board&, uint32_t offset, unsigned, uint32_t& value) {
    if (offset == kFifoCountRegister) {
        value = static_cast<uint32_t>(fifos_[0].size());
        return true;
    }
    const int s = SequencerOf(offset, kFifoDataRegister);
    if (s < 0) return false;
    auto& fifo = fifos_[static_cast<unsigned>(s)];
    if (fifo.empty()) {
        value = kEmptyFifoWord;
    } else {
        value = fifo.front();
        fifo.pop_front();
    }
    return true;
}

bool AnalogInputModel::OnWrite(Board& board, uint32_t offset, unsigned, uint32_t value) {
    if (const int s = SequencerOf(offset, kFifoDataRegister); s >= 0) {
        if (value == 0) fifos_[static_cast<unsigned>(s)].clear();
        return true;
    }
    if (const int s = SequencerOf(offset, kDivisorRegister); s >= 0) {
        fifos_[static_cast<unsigned>(s)].clear();
        // Sequencer 0's restart also resets the converter that the 32-bit commands share.
        if (s == 0) commanded_ = false;
        return false;
    }
    if (const int s = SequencerOf(offset, kStartStopRegister); s >= 0) {
        // Acquisitions set bit 5; what they do belongs to the acquisition engine.
        if ((value & kAcquireBit) == 0) Command(board, static_cast<unsigned>(s), value);
        return false;
    }
    return false;
}

}  // namespace halvex::sim
