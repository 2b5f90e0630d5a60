// The bus as tests see it: building it, its registers, its request log and its failures.
#include <halvex/sim.h>

#include <atomic>
#include <mutex>
#include <stdexcept>

#include "lifecycle/Lifecycle.h"
#include "platform/ForkedChild.h"
#include "sim/BoardList.h"
#include "sim/Bus.h"

namespace halvex::sim {
namespace {

std::atomic<bool> busConfigured{false};

void CheckAccess(uint32_t offset, unsigned width) {
    if (!RegisterFile::Contains(offset, width)) throw std::invalid_argument("register access outside the register file");
}

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

std::size_t BoardCount() { return Bus::Instance().Boards().size(); }

BoardSetup BoardSetupOf(std::size_t board) { return Bus::Instance().BoardAt(board)->Setup(); }

uint32_t BarBase(std::size_t board, unsigned index) {
    if (index >= Board::kBarCount) throw std::out_of_range("a board has six BARs");
    return Bus::Instance().BoardAt(board)->BarBase(index);
}

void SetRegister(std::size_t board, uint32_t offset, uint32_t value, unsigned width) {
    CheckAccess(offset, width);
    auto target = Bus::Instance().BoardAt(board);
    std::lock_guard lock(target->mutex);
    target->registers.Write(offset, width, value);
}

uint32_t GetRegister(std::size_t board, uint32_t offset, unsigned width) {
    CheckAccess(offset, width);
    auto target = Bus::Instance().BoardAt(board);
    std::lock_guard lock(target->mutex);
    return target->registers.Read(offset, width);
}

std::vector<Request> Requests(std::size_t board) {
    auto target = Bus::Instance().BoardAt(board);
    std::lock_guard lock(target->mutex);
    return target->log;
}

void ClearRequests(std::size_t board) {
    auto target = Bus::Instance().BoardAt(board);
    std::lock_guard lock(target->mutex);
    target->log.clear();
}

std::vector<RegisterWrite> RegisterWrites(std::size_t board) {
    std::vector<RegisterWrite> writes;
    for (const Request& request : Requests(board)) {
        if (request.code == kIoctlRegWrite && request.IsRegister()) {
            writes.push_back({request.Offset(), request.Width(), request.Value()});
        }
    }
    return writes;
}

void FailRequests(std::size_t board, DWORD code, const Failure& failure) {
    auto target = Bus::Instance().BoardAt(board);
    std::lock_guard lock(target->mutex);
    if (failure.count == 0) {
        target->failures.erase(code);
    } else {
        target->failures[code] = failure;
    }
}

void ClearFailures(std::size_t board) {
    auto target = Bus::Instance().BoardAt(board);
    std::lock_guard lock(target->mutex);
    target->failures.clear();
}

void FailOpen(std::size_t board, DWORD lastError) {
    auto target = Bus::Instance().BoardAt(board);
    std::lock_guard lock(target->mutex);
    target->openFailure = lastError;
}

bool IsOpen(std::size_t board) {
    Bus& bus = Bus::Instance();
    return bus.IsOpen(bus.BoardAt(board).get());
}

}  // namespace halvex::sim

// Test entries: the library's own start-up and unload, any number of times in one process. In
// a forked child they do nothing, as the exports do: the threads a detach would wait for are
// not there.
extern "C" HALVEX_SIM_API void HxTestLibraryStart(void) {
    if (!halvex::platform::InForkedChild()) halvex::StartAtLoad();
}
extern "C" HALVEX_SIM_API void HxTestLibraryDetach(void) {
    if (!halvex::platform::InForkedChild()) halvex::DetachAtUnload(false);
}
