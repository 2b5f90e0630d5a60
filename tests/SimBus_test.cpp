// The simulated bus as the library meets it first: enumeration, open and close.
#include "SimFixture.h"
#include "sim/TransferMemory.h"

namespace sim = halvex::sim;
namespace port = halvex::port;

namespace {

constexpr GUID kOtherClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

}  // namespace

using SimBus = SimBusTest;

TEST_F(SimBus, EnumeratesBoardsInBusOrderWithTheTailAfterANul) {
    sim::AddBoard(Setup(0x1100));
    sim::BoardSetup tailed = Setup(0x805C);
    tailed.path = u"\\\\?\\pci#ven_1a2b&dev_805c#tailed";
    tailed.pathTail = u"extra";
    sim::AddBoard(tailed);
    sim::AddBoard(Setup(0x1100));

    const auto paths = port::EnumerateInterfaces(sim::kInterfaceClass);
    ASSERT_EQ(paths.size(), 3u);
    EXPECT_EQ(paths[0], sim::BoardSetupOf(0).path);
    EXPECT_EQ(paths[1], tailed.path + u'\0' + u"extra");
    EXPECT_EQ(paths[2], sim::BoardSetupOf(2).path);
    // Made-up paths tell boards of one identifier apart and name the device.
    EXPECT_NE(paths[0], paths[2]);
    EXPECT_NE(paths[0].find(u"dev_1100"), std::u16string::npos);

    EXPECT_TRUE(port::EnumerateInterfaces(kOtherClass).empty());
}

TEST_F(SimBus, DefaultBoardsAreOneOfEachRegisterLayout) {
    sim::UseDefaultBoards();
    ASSERT_EQ(sim::BoardCount(), 3u);
    EXPECT_EQ(sim::BoardSetupOf(0).deviceId, 0x1100u);
    EXPECT_EQ(sim::BoardSetupOf(1).deviceId, 0x805Cu);
    EXPECT_EQ(sim::BoardSetupOf(2).deviceId, 0x80E8u);
    EXPECT_EQ(sim::GetRegister(0, 12), 40'000'000u);
    EXPECT_EQ(sim::GetRegister(2, 104), 0x00010002u);
    EXPECT_EQ(sim::GetRegister(1, 104), 0u);
}

TEST_F(SimBus, OpenNeedsTheExactPathAndCloseEndsTheHandle) {
    sim::BoardSetup tailed = Setup(0x805C);
    tailed.pathTail = u"tail";
    sim::AddBoard(tailed);
    const std::u16string enumerated = port::EnumerateInterfaces(sim::kInterfaceClass).at(0);
    const std::size_t nul = enumerated.find(u'\0');
    ASSERT_NE(nul, std::u16string::npos);
    // The tail run on into the path, as a caller that lost the NUL would pass it.
    std::u16string uncut = enumerated;
    uncut.erase(nul, 1);

    EXPECT_EQ(port::Open(Wide(uncut)), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(sim::IsOpen(0));

    const HANDLE handle = port::Open(Wide(enumerated.substr(0, nul)));
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(sim::IsOpen(0));
    EXPECT_EQ(ReadRegister(handle, 12, 4), 40'000'000u);

    EXPECT_TRUE(port::Close(handle));
    EXPECT_FALSE(sim::IsOpen(0));
    EXPECT_FALSE(port::Close(handle));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    std::vector<uint8_t> output(8);
    DWORD bytes, lastError;
    EXPECT_FALSE(Send(handle, sim::kIoctlGetDeviceId, {}, output, bytes, lastError));
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(SimBus, RequestsOnAHandleTheBusNeverGaveFail) {
    sim::AddBoard(Setup(0x805C));
    const HANDLE foreign = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(foreign, nullptr);
    std::vector<uint8_t> output(8);
    DWORD bytes, lastError;
    EXPECT_FALSE(Send(foreign, sim::kIoctlGetDeviceId, {}, output, bytes, lastError));
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(port::Close(foreign));
    EXPECT_TRUE(CloseHandle(foreign));
    EXPECT_TRUE(sim::Requests(0).empty());
}

TEST_F(SimBus, FailOpenHoldsUntilCleared) {
    sim::AddBoard(Setup(0x805C));
    sim::FailOpen(0, ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenBoard(0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(OpenBoard(0), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(sim::IsOpen(0));

    sim::FailOpen(0, 0);
    EXPECT_NE(OpenBoard(0), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(sim::IsOpen(0));
}

TEST_F(SimBus, AHandleKeepsItsBoardAcrossAReset) {
    sim::AddBoard(Setup(0x805C));
    const HANDLE handle = OpenBoard(0);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(WriteRegister(handle, 0x20, 4, 0xCAFEF00D));

    sim::Reset();
    EXPECT_EQ(sim::BoardCount(), 0u);
    EXPECT_EQ(ReadRegister(handle, 0x20, 4), 0xCAFEF00Du);
    EXPECT_TRUE(port::Close(handle));
    Closed(handle);
}

// The C++ names pass through the C interface: every part of a setup comes back as it went in,
// zeros and texts longer than a first guess at their room included, and so does a bad entry.
TEST_F(SimBus, ASetupComesBackWholeThroughTheCInterface) {
    sim::BoardSetup setup = Setup(0x80E8);
    setup.baseClock = 0;
    setup.transferBytes = 0;
    setup.firmware = 0x00010002;
    setup.path = u"\\\\?\\pci#ven_1a2b&dev_80e8#\u00e9\u4e2d";
    setup.pathTail = std::u16string(300, u'\u00fc');
    setup.name = std::string(200, 'n');
    ASSERT_EQ(sim::AddBoard(setup), 0u);
    const sim::BoardSetup held = sim::BoardSetupOf(0);
    EXPECT_EQ(held.deviceId, setup.deviceId);
    EXPECT_EQ(held.baseClock, 0u);
    EXPECT_EQ(held.transferBytes, 0u);
    EXPECT_EQ(held.firmware, setup.firmware);
    EXPECT_EQ(held.path, setup.path);
    EXPECT_EQ(held.pathTail, setup.pathTail);
    EXPECT_EQ(held.name, setup.name);
    EXPECT_EQ(sim::GetRegister(0, 12), 0u);
    EXPECT_EQ(sim::GetRegister(0, 32), 0u);

    const std::string bad(100, 'q');
    EXPECT_EQ(sim::BadBoardListEntry("805C, " + bad + " ,0C40"), bad);
    EXPECT_EQ(sim::BadBoardListEntry("805C,0C40:clock=10000000"), std::nullopt);
}

TEST_F(SimBus, BoardPositionsOutsideTheBusAreRefused) {
    sim::AddBoard(Setup(0x805C));
    EXPECT_THROW(sim::BoardSetupOf(1), std::out_of_range);
    EXPECT_THROW(sim::SetRegister(0, 4094, 0, 4), std::invalid_argument);
    EXPECT_THROW(sim::GetRegister(0, 0, 3), std::invalid_argument);
}

// The board writes the library's transfer memory without the guard: only whole ranges inside a
// block that is still allocated count as such.
TEST_F(SimBus, TransferMemoryIsKnownExactlyAndOnlyWhileItLives) {
    auto* block = static_cast<char*>(port::AllocTransferMemory(100));
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(sim::IsTransferMemory(block, 100));
    EXPECT_TRUE(sim::IsTransferMemory(block + 40, 60));
    EXPECT_FALSE(sim::IsTransferMemory(block + 40, 61));
    EXPECT_FALSE(sim::IsTransferMemory(block - 1, 2));
    EXPECT_FALSE(sim::IsTransferMemory(block + 101, 1));
    std::vector<char> application(100);
    EXPECT_FALSE(sim::IsTransferMemory(application.data(), 1));
    port::FreeTransferMemory(block);
    EXPECT_FALSE(sim::IsTransferMemory(block, 1));
}
