// The sim API of the bus: its boards, their set-up, the environment's set and the board-finder
// list.
#include <halvex/sim.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <stdexcept>

#include "sim/BoardList.h"
#include "sim/Bus.h"
#include "sim/Environment.h"

namespace halvex::sim {
namespace {

std::atomic<bool> busConfigured{false};

}  // namespace

void MarkBusConfigured() { busConfigured = true; }

void EnsureBusConfigured() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (!busConfigured) UseEnvironmentBoards();
    });
}

void Reset() {
    MarkBusConfigured();
    Bus& bus = Bus::Instance();
    RemoveBoardList();
    bus.SetCompany("Orvande");
    bus.RemoveBoards();
}

std::size_t AddBoard(const BoardSetup& setup) {
    MarkBusConfigured();
    const std::size_t position = Bus::Instance().AddBoard(setup);
    RefreshBoardList();
    return position;
}

void UseDefaultBoards() {
    Reset();
    Bus& bus = Bus::Instance();
    // One board of each register layout.
    BoardSetup setup;
    setup.deviceId = 0x1100;
    setup.baseClock = 40'000'000;
    bus.AddBoard(setup);
    setup.deviceId = 0x805C;
    bus.AddBoard(setup);
    setup.deviceId = 0x80E8;
    setup.firmware = 0x00010002;
    bus.AddBoard(setup);
    RefreshBoardList();
}

bool UseEnvironmentBoards() { return UseBoardsFrom(std::getenv("HALVEX_SIM_BOARDS")); }

std::size_t BoardCount() { return Bus::Instance().Boards().size(); }

BoardSetup BoardSetupOf(std::size_t board) { return Bus::Instance().BoardAt(board)->Setup(); }

uint32_t BarBase(std::size_t board, unsigned index) {
    if (index >= Board::kBarCount) throw std::out_of_range("a board has six BARs");
    return Bus::Instance().BoardAt(board)->BarBase(index);
}

bool IsOpen(std::size_t board) {
    Bus& bus = Bus::Instance();
    return bus.IsOpen(bus.BoardAt(board).get());
}

void WriteBoardList(const std::string& company) {
    Bus& bus = Bus::Instance();
    RemoveBoardListOf(bus.Company());
    bus.SetCompany(company);
    WriteBoardListOf(company);
}

void RemoveBoardList() { RemoveBoardListOf(Bus::Instance().Company()); }

}  // namespace halvex::sim
