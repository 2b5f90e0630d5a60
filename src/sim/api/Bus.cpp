// The sim API of the bus: its boards, their set-up, the environment's set and the board-finder
// list.
#include <halvex/sim_c.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include "sim/BoardList.h"
#include "sim/Bus.h"
#include "sim/Environment.h"
#include "sim/api/SimCall.h"

namespace halvex::sim {
namespace {

std::atomic<bool> busConfigured{false};

}  // namespace

void MarkBusConfigured() { busConfigured = true; }

void EnsureBusConfigured() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (!busConfigured) UseBoardsFrom(std::getenv("HALVEX_SIM_BOARDS"));
    });
}

void ResetBus() {
    MarkBusConfigured();
    Bus& bus = Bus::Instance();
    RemoveBoardListOf(bus.Company());
    bus.SetCompany("Orvande");
    bus.RemoveBoards();
}

void UseDefaultBus() {
    ResetBus();
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

}  // namespace halvex::sim

using namespace halvex::sim;
using halvex::platform::GuardedLoad;
using halvex::platform::GuardedStoreValue;

namespace {

// Adds a board and returns its position into *pBoard, which is checked first so that a failure
// adds no board.
DWORD AddBoardStoring(const BoardSetup& setup, UINT64* pBoard) {
    if (!Writable(pBoard, sizeof *pBoard)) return ERROR_INVALID_ADDRESS;
    MarkBusConfigured();
    const UINT64 position = Bus::Instance().AddBoard(setup);
    RefreshBoardList();
    return Stored(StoreIfWanted(pBoard, position));
}

}  // namespace

extern "C" HALVEX_SIM_C_API DWORD HXSIM_ResetBus(void) {
    return SimCall([] { ResetBus(); });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_AddBoard(DWORD DeviceId, DWORD Firmware, DWORD BaseClock, DWORD TransferBytes,
                                                 UINT64* pBoard) {
    return SimCall([&] {
        BoardSetup setup;
        setup.deviceId = DeviceId;
        setup.firmware = Firmware;
        if (BaseClock != 0) setup.baseClock = BaseClock;
        if (TransferBytes != 0) setup.transferBytes = TransferBytes;
        return AddBoardStoring(setup, pBoard);
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_AddBoardEx(const HXSIM_BOARD_SETUP* pSetup, UINT64* pBoard) {
    return SimCall([&]() -> DWORD {
        DWORD size = 0;
        if (!GuardedLoad(&size, pSetup, sizeof size)) return ERROR_INVALID_ADDRESS;
        if (size < sizeof(HXSIM_BOARD_SETUP)) return ERROR_INVALID_PARAMETER;
        HXSIM_BOARD_SETUP given;
        if (!GuardedLoad(&given, pSetup, sizeof given)) return ERROR_INVALID_ADDRESS;
        BoardSetup setup;
        setup.deviceId = given.DeviceId;
        setup.baseClock = given.BaseClock;
        setup.firmware = given.Firmware;
        setup.transferBytes = given.TransferBytes;
        const auto* path = reinterpret_cast<const char16_t*>(given.Path);
        const auto* tail = reinterpret_cast<const char16_t*>(given.PathTail);
        if ((path != nullptr && !LoadText(path, setup.path)) || (tail != nullptr && !LoadText(tail, setup.pathTail)) ||
            (given.Name != nullptr && !LoadText(given.Name, setup.name))) {
            return ERROR_INVALID_ADDRESS;
        }
        return AddBoardStoring(setup, pBoard);
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_UseDefaultBoards(void) {
    return SimCall([] { UseDefaultBus(); });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_UseEnvironmentBoards(void) {
    return SimCall([] {
        return UseBoardsFrom(std::getenv("HALVEX_SIM_BOARDS")) ? DWORD{ERROR_SUCCESS} : DWORD{ERROR_INVALID_DATA};
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_GetBoardCount(UINT64* pCount) {
    return SimCall([&] {
        const UINT64 count = Bus::Instance().Boards().size();
        return Stored(GuardedStoreValue(pCount, count));
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_GetBoardSetup(UINT64 iBoard, HXSIM_BOARD_SETUP* pSetup) {
    return SimCall([&]() -> DWORD {
        const BoardSetup setup = Bus::Instance().BoardAt(Position(iBoard))->Setup();
        DWORD size = 0;
        if (!GuardedLoad(&size, pSetup, sizeof size)) return ERROR_INVALID_ADDRESS;
        if (size < sizeof(HXSIM_BOARD_SETUP)) return ERROR_INVALID_PARAMETER;
        HXSIM_BOARD_SETUP out{};
        out.Size = size;
        out.DeviceId = setup.deviceId;
        out.BaseClock = setup.baseClock;
        out.Firmware = setup.firmware;
        out.TransferBytes = setup.transferBytes;
        return Stored(GuardedStoreValue(pSetup, out));
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_GetBoardPath(UINT64 iBoard, BOOL Tail, WCHAR* pText, DWORD Capacity,
                                                     DWORD* pLength) {
    return SimCall([&] {
        const BoardSetup setup = Bus::Instance().BoardAt(Position(iBoard))->Setup();
        const std::u16string& text = Tail ? setup.pathTail : setup.path;
        return StoreText<char16_t>(text, reinterpret_cast<char16_t*>(pText), Capacity, pLength);
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_GetBoardName(UINT64 iBoard, char* pText, DWORD Capacity, DWORD* pLength) {
    return SimCall([&] {
        const BoardSetup setup = Bus::Instance().BoardAt(Position(iBoard))->Setup();
        return StoreText<char>(setup.name, pText, Capacity, pLength);
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_GetBarBase(UINT64 iBoard, DWORD Index, DWORD* pBase) {
    return SimCall([&]() -> DWORD {
        if (Index >= Board::kBarCount) return ERROR_INVALID_INDEX;
        const DWORD base = Bus::Instance().BoardAt(Position(iBoard))->BarBase(Index);
        return Stored(GuardedStoreValue(pBase, base));
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_IsOpen(UINT64 iBoard, BOOL* pOpen) {
    return SimCall([&] {
        Bus& bus = Bus::Instance();
        const BOOL open = bus.IsOpen(bus.BoardAt(Position(iBoard)).get()) ? TRUE : FALSE;
        return Stored(GuardedStoreValue(pOpen, open));
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_FindBadBoardListEntry(const char* Text, char* pEntry, DWORD Capacity,
                                                              DWORD* pLength) {
    return SimCall([&]() -> DWORD {
        std::string text;
        if (!LoadText(Text, text)) return ERROR_INVALID_ADDRESS;
        const std::optional<std::string> bad = FirstBadEntry(text);
        if (!bad) return Stored(GuardedStoreValue<DWORD>(pLength, 0));
        const DWORD stored = StoreText<char>(*bad, pEntry, Capacity, pLength);
        return stored == ERROR_SUCCESS ? DWORD{ERROR_INVALID_DATA} : stored;
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_WriteBoardList(const char* Company) {
    return SimCall([&]() -> DWORD {
        std::string company;
        if (!LoadText(Company, company)) return ERROR_INVALID_ADDRESS;
        Bus& bus = Bus::Instance();
        RemoveBoardListOf(bus.Company());
        bus.SetCompany(company);
        WriteBoardListOf(company);
        return ERROR_SUCCESS;
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_RemoveBoardList(void) {
    return SimCall([] { RemoveBoardListOf(Bus::Instance().Company()); });
}
