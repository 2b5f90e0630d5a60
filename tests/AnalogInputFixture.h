// Shared by the analog-input tests: the default boards as parameters, and a sequencer marked
// busy the way a running acquisition marks it.
#pragma once

#include <string>

#include "LibraryFixture.h"
#include "adc/Sequencer.h"

struct AnalogBoard {
    const char* name;
    uint32_t deviceId;
    uint32_t firmware;
    unsigned rows;         // rows an immediate scan fills
    bool wideStartStop;    // 32-bit start/stop registers
    bool wideCommands;     // 32-bit immediate commands, results in sequencer 0's FIFO
};

inline const AnalogBoard kDefaultAnalogBoards[] = {
    {"Layout1_1100", 0x1100, 0, 2, false, false},
    {"Layout2_805C", 0x805C, 0, 1, true, true},
    {"Layout3_80E8", 0x80E8, 0x00010002, 2, true, true},
};

inline std::string AnalogBoardName(const ::testing::TestParamInfo<AnalogBoard>& info) { return info.param.name; }

// While alive, the sequencer looks as if an acquisition ran on it (sequencer 1 and the boards
// that cannot stream never run one through the API).
class BusySequencer {
public:
    BusySequencer(UINT64 board, DWORD sequencer) : state_(halvex::SequencerOf(board, sequencer)) {
        state_.bStopping = true;
    }
    ~BusySequencer() { state_.bStopping = false; }
    BusySequencer(const BusySequencer&) = delete;
    BusySequencer& operator=(const BusySequencer&) = delete;

private:
    halvex::TSequencerState& state_;
};

// One board of a default kind, started alone as board 0.
class AnalogBoardTest : public LibraryTest, public ::testing::WithParamInterface<AnalogBoard> {
protected:
    void SetUp() override { Start({Board(GetParam().deviceId, GetParam().firmware)}); }
};

// Registers of the analog-input block.
namespace regs {
inline constexpr uint32_t Divisor(unsigned s) { return 16 + 4 * s; }
inline constexpr uint32_t Ranges(unsigned s) { return 24 + 4 * s; }
inline constexpr uint32_t kFifoCount = 40;
inline constexpr uint32_t FifoData(unsigned s) { return 48 + 4 * s; }
inline constexpr uint32_t StartStop(unsigned s) { return 56 + 4 * s; }
}  // namespace regs
