// Shared by the analog-input tests: the default boards as parameters, and a sequencer marked
// busy the way a running acquisition marks it.
#pragma once

#include <string>

#include "LibraryFixture.h"

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

// While alive, the sequencer looks as if an acquisition ran on it.
class BusySequencer {
public:
    BusySequencer(UINT64 board, DWORD sequencer) : slot_(halvex::Devices[board].SequencerAcq[sequencer].AcquireThread) {
        slot_ = reinterpret_cast<halvex::TPoolAcquireThread*>(&marker_);
    }
    ~BusySequencer() { slot_ = nullptr; }
    BusySequencer(const BusySequencer&) = delete;
    BusySequencer& operator=(const BusySequencer&) = delete;

private:
    halvex::TPoolAcquireThread*& slot_;
    int marker_ = 0;
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
