// Start-up builds the device table from the bus: which boards are kept, in what order, and
// what each is classified as; unload closes everything.
#include <halvex/sim.h>

#include <algorithm>

#include "LibraryFixture.h"
#include "log/LogThreads.h"

using namespace halvex;
namespace hs = halvex::sim;

namespace {

bool WasWritten(std::size_t board, uint16_t offset) {
    const auto writes = hs::RegisterWrites(board);
    return std::any_of(writes.begin(), writes.end(), [&](const hs::RegisterWrite& w) { return w.offset == offset; });
}

// What start-up learnt of a board, as HX_GetBoardInfo reports it.
HX_BOARD_INFO InfoOf(UINT64 board) {
    HX_BOARD_INFO info{};
    info.Size = sizeof info;
    EXPECT_EQ(HX_GetBoardInfo(board, &info), 0u);
    return info;
}

}  // namespace

using StartupTest = LibraryTest;

TEST_F(StartupTest, DefaultBoardsAreClassifiedByIdentifierAndFirmware) {
    StartDefault();
    ASSERT_EQ(BRD_GetHighestBoardIndex(), 2);
    EXPECT_EQ(InfoOf(0).DeviceID, 0x1100u);
    EXPECT_EQ(InfoOf(0).Layout, 1u);
    EXPECT_EQ(InfoOf(1).Layout, 2u);
    EXPECT_EQ(InfoOf(2).Layout, 3u);
    for (UINT64 b = 0; b < 3; ++b) {
        EXPECT_EQ(InfoOf(b).BaseClock, 40'000'000u);
        EXPECT_NE(Devices[b].hThreadingMutex, INVALID_HANDLE_VALUE);
        EXPECT_NE(Devices[b].hSequencerMutex[0], INVALID_HANDLE_VALUE);
        EXPECT_NE(Devices[b].hSequencerMutex[1], INVALID_HANDLE_VALUE);
        // Every board has its sequencers' state, with nothing running.
        EXPECT_EQ(ADC_PollData(b, 0), static_cast<DWORD>(ERROR_NOT_READY));
    }
    EXPECT_NE(OSVersionClass, 0);
    EXPECT_NE(LogThread, nullptr);
}

TEST_F(StartupTest, SixteenBitBoardsComeUpWithBothSequencersStopped) {
    Start({Board(0x1100), Board(0x80E8, 0x00020000), Board(0x80E8, 0x00010000)});
    const std::vector<hs::RegisterWrite> stopped = {{56, 2, 0xFCEE}, {60, 2, 0xFCEE}};
    EXPECT_EQ(hs::RegisterWrites(0), stopped);
    // The firmware word decides for the 0x80E8 family: 16-bit commands need the stop writes.
    EXPECT_EQ(InfoOf(1).Layout, 1u);
    EXPECT_EQ(hs::RegisterWrites(1), stopped);
    EXPECT_EQ(InfoOf(2).Layout, 3u);
    EXPECT_TRUE(hs::RegisterWrites(2).empty());
}

TEST_F(StartupTest, Board0C40HasAFixedClockAndNoRegisterAccess) {
    hs::BoardSetup setup = Board(0x0C40);
    setup.baseClock = 33'000'000;
    Start({setup});
    ASSERT_EQ(BRD_GetHighestBoardIndex(), 0);
    EXPECT_EQ(InfoOf(0).BaseClock, 10'000'000u);
    const auto requests = hs::Requests(0);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].code, hs::kIoctlGetDeviceId);
}

TEST_F(StartupTest, BoardsThatCannotBeUsedAreLeftOutAndLaterBoardsMoveDown) {
    hs::Reset();
    hs::AddBoard(Board(0x1234));  // unknown identifier
    hs::AddBoard(Board(0x805C));  // cannot be opened
    hs::AddBoard(Board(0x805D));  // identifier request fails without a code
    hs::AddBoard(Board(0x805E));  // identifier reply too short
    hs::AddBoard(Board(0x80EC));
    hs::FailOpen(1, ERROR_ACCESS_DENIED);
    hs::FailRequests(2, hs::kIoctlGetDeviceId, {hs::FailKind::Now, 0});
    hs::FailRequests(3, hs::kIoctlGetDeviceId, {hs::FailKind::Short, 0, 7});
    HxTestLibraryStart();

    ASSERT_EQ(BRD_GetHighestBoardIndex(), 0);
    EXPECT_EQ(InfoOf(0).DeviceID, 0x80ECu);
    for (std::size_t slot = 0; slot < 4; ++slot) EXPECT_FALSE(hs::IsOpen(slot)) << "slot " << slot;
    EXPECT_TRUE(hs::IsOpen(4));
}

TEST_F(StartupTest, AFailedClockReadLeavesTheFailureValueAndTheSixteenBitBranch) {
    hs::Reset();
    hs::AddBoard(Board(0x80E8, 0x00010000));
    hs::FailRequests(0, hs::kIoctlRegRead, {hs::FailKind::Now, ERROR_GEN_FAILURE});
    HxTestLibraryStart();
    ASSERT_EQ(BRD_GetHighestBoardIndex(), 0);
    EXPECT_EQ(InfoOf(0).BaseClock, RegReadFailure);
    EXPECT_EQ(InfoOf(0).Layout, 1u);
    EXPECT_TRUE(WasWritten(0, 56));
    EXPECT_TRUE(WasWritten(0, 60));
}

TEST_F(StartupTest, APathIsCutAtItsFirstNulBeforeItIsOpened) {
    hs::BoardSetup setup = Board(0x805C);
    setup.pathTail = u"#trailing-garbage";
    Start({setup});
    ASSERT_EQ(Devices.size(), 1u);
    EXPECT_EQ(Devices[0].SymbolicLink, hs::BoardSetupOf(0).path);
    EXPECT_TRUE(hs::IsOpen(0));
}

TEST_F(StartupTest, StartingTwiceKeepsTheFirstTable) {
    StartDefault();
    HANDLE first = Devices[0].hDevice;
    HxTestLibraryStart();
    ASSERT_EQ(Devices.size(), 3u);
    EXPECT_EQ(Devices[0].hDevice, first);
}

TEST_F(StartupTest, DetachOnlyActsOnProcessDetach) {
    StartDefault();
    LibraryDetach(DLL_PROCESS_ATTACH);
    LibraryDetach(DLL_THREAD_DETACH);
    EXPECT_TRUE(hs::IsOpen(0));
    EXPECT_NE(LogThread, nullptr);

    LibraryDetach(DLL_PROCESS_DETACH);
    for (std::size_t b = 0; b < Devices.size(); ++b) {
        EXPECT_EQ(Devices[b].hDevice, INVALID_HANDLE_VALUE);
        EXPECT_EQ(Devices[b].hThreadingMutex, INVALID_HANDLE_VALUE);
        EXPECT_EQ(Devices[b].hSequencerMutex[0], INVALID_HANDLE_VALUE);
        EXPECT_EQ(Devices[b].hSequencerMutex[1], INVALID_HANDLE_VALUE);
        EXPECT_FALSE(hs::IsOpen(b));
    }
    EXPECT_EQ(LogThread, nullptr);

    // A second detach finds every board closed and returns (on Windows an invalid handle in a
    // wait would mean the current process, a wait for ever).
    LibraryDetach(DLL_PROCESS_DETACH);
}

TEST_F(StartupTest, TheLibraryCanBeRestartedOnAnotherBus) {
    StartDefault();
    HxTestLibraryDetach();
    EXPECT_EQ(BRD_GetHighestBoardIndex(), -1);
    Start({Board(0x0C40)});
    EXPECT_EQ(BRD_GetHighestBoardIndex(), 0);
    DWORD id = 0;
    EXPECT_EQ(BRD_GetDeviceID(0, &id), 0u);
    EXPECT_EQ(id, 0x0C40u);
}

TEST_F(StartupTest, NoBoardMeansAnEmptyTable) {
    Start({});
    EXPECT_EQ(BRD_GetHighestBoardIndex(), -1);
    DWORD id = 0;
    EXPECT_EQ(BRD_GetDeviceID(0, &id), static_cast<DWORD>(ERROR_INVALID_INDEX));
}

TEST(OSVersionClass, ModernWindowsIsClassFive) { EXPECT_EQ(GetOSVersionClass(), 5); }

TEST(CloseAndInvalidate, ClosesOnceAndLeavesTheVariableInvalid) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(CloseAndInvalidate(event), TRUE);
    EXPECT_EQ(event, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CloseAndInvalidate(event), -1);
}
