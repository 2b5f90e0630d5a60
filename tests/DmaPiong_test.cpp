// DMA ping-pong requests (on each streaming layout), the BAR query and the device handle, seen
// from the request log and from the caller's buffers and OVERLAPPED records.
#include "LibraryFixture.h"
#include "StreamLayouts.h"

#include <thread>

#include "pio/DMA.h"

namespace sim = halvex::sim;

namespace {

constexpr DWORD kGuardMs = 10'000;  // a guard against a hang, never a synchronisation

class DmaPiong : public LibraryTest {
protected:
    void SetUp() override {
        Start({DmaBoard(), Board(0x1100)});
        sim::ClearRequests(0);
        sim::ClearRequests(1);
        event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(event, nullptr);
        overlapped.hEvent = event;
    }
    void TearDown() override {
        LibraryTest::TearDown();  // closes the board, which ends anything still pending
        CloseHandle(event);
    }

    static sim::Request OnlyRequest() {
        const auto log = sim::Requests(0);
        EXPECT_EQ(log.size(), 1u);
        sim::ClearRequests(0);
        return log.empty() ? sim::Request{} : log[0];
    }

    // Board 0: a board that streams.
    virtual sim::BoardSetup DmaBoard() const { return Board(0x805C); }

    HANDLE event = nullptr;
    OVERLAPPED overlapped{};
};

// The ping-pong requests themselves, on each streaming layout.
class DmaPiongRequests : public DmaPiong, public ::testing::WithParamInterface<StreamLayout> {
protected:
    sim::BoardSetup DmaBoard() const override { return Board(GetParam().deviceId, GetParam().firmware); }
};

INSTANTIATE_TEST_SUITE_P(EachLayout, DmaPiongRequests, StreamLayouts(), StreamLayoutName);

}  // namespace

// ---- Control requests ------------------------------------------------------------------------

TEST_P(DmaPiongRequests, WithoutAByteCountTheControlRequestHasNoRoomForAnAnswer) {
    BYTE bytes[] = {0x11, 0x22, 0x33};
    EXPECT_EQ(PIO_DMAPiongControl(0, bytes, 3, nullptr), 0u);
    const sim::Request request = OnlyRequest();
    EXPECT_EQ(request.code, sim::kIoctlDmaPiongControl);
    EXPECT_EQ(request.input, (std::vector<uint8_t>{0x11, 0x22, 0x33}));
    EXPECT_EQ(request.outSize, 0u);
    EXPECT_FALSE(request.overlapped);
}

TEST_P(DmaPiongRequests, TheByteCountGivesTheAnswerCapacityAndReceivesWhatCameBack) {
    BYTE bytes[8] = {0x41, 0x42, 0x43};
    DWORD size = 8;
    ASSERT_EQ(PIO_DMAPiongControl(0, bytes, 3, &size), 0u);
    EXPECT_EQ(size, 3u);  // the simulated driver answers with the bytes it was sent
    EXPECT_EQ(OnlyRequest().outSize, 8u);

    BYTE answer[4] = {0x51, 0x52, 0x53, 0x54};
    size = 2;
    ASSERT_EQ(PIO_DMAPiongControl(0, answer, 4, &size), 0u);
    EXPECT_EQ(size, 2u);
    EXPECT_EQ(OnlyRequest().input.size(), 4u);
}

TEST_P(DmaPiongRequests, AnUnusableByteCountIsRefusedBeforeAnythingIsSent) {
    BYTE bytes[1] = {0x11};
    EXPECT_EQ(PIO_DMAPiongControl(0, bytes, 1, ReadOnlyDword()), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
    EXPECT_TRUE(sim::Requests(0).empty());
}

TEST_P(DmaPiongRequests, SendDMAControlSendsExactlyItsBytesAndReadsNothingBack) {
    const BYTE start[] = {halvex::DMAControlStart};
    EXPECT_EQ(halvex::SendDMAControl(0, start), 0u);
    const sim::Request request = OnlyRequest();
    EXPECT_EQ(request.code, sim::kIoctlDmaPiongControl);
    EXPECT_EQ(request.input, (std::vector<uint8_t>{0x11}));
    EXPECT_EQ(request.outSize, 0u);
    EXPECT_EQ(halvex::SendDMAControl(2, start), static_cast<DWORD>(ERROR_INVALID_INDEX));
}

TEST_P(DmaPiongRequests, TheDriversRefusalIsPassedOn) {
    sim::FailRequests(0, sim::kIoctlDmaPiongControl, {sim::FailKind::Now, 0, 0, 1});
    const BYTE stop[] = {halvex::DMAControlStop};
    EXPECT_EQ(halvex::SendDMAControl(0, stop), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
}

// ---- Data requests ---------------------------------------------------------------------------

TEST_P(DmaPiongRequests, TheChannelGoesOutAsExactlyFourBytes) {
    BYTE data[16];
    ASSERT_EQ(PIO_DMAChPiongIn(0, 0xA1B2C3D4, data, sizeof data, &overlapped), static_cast<DWORD>(ERROR_IO_PENDING));
    OVERLAPPED second{};
    ASSERT_EQ(PIO_DMAPiongIn(0, data, 8, &second), static_cast<DWORD>(ERROR_IO_PENDING));
    const auto log = sim::Requests(0);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].code, sim::kIoctlDmaPiongIn);
    EXPECT_EQ(log[0].input, (std::vector<uint8_t>{0xD4, 0xC3, 0xB2, 0xA1}));
    EXPECT_EQ(log[0].outSize, 16u);
    EXPECT_TRUE(log[0].overlapped);
    EXPECT_TRUE(log[1].input.empty());
    EXPECT_EQ(log[1].outSize, 8u);
    // Both end before the buffer and the record go away.
    const BYTE stop[] = {halvex::DMAControlStop};
    ASSERT_EQ(halvex::SendDMAControl(0, stop), 0u);
}

TEST_P(DmaPiongRequests, AnOverlappedRequestCompletesIntoTheCallersRecord) {
    BYTE data[8] = {};
    ASSERT_EQ(PIO_DMAPiongIn(0, data, sizeof data, &overlapped), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    ASSERT_TRUE(sim::CompleteDmaRequest(0, {1, 2, 3, 4, 5}));
    ASSERT_EQ(WaitForSingleObject(event, kGuardMs), static_cast<DWORD>(WAIT_OBJECT_0));
    HANDLE device = nullptr;
    ASSERT_EQ(PIO_GetDeviceHandle(0, &device), 0u);
    DWORD bytes = 0;
    ASSERT_TRUE(GetOverlappedResult(device, &overlapped, &bytes, FALSE));
    EXPECT_EQ(bytes, 5u);
    EXPECT_EQ(std::vector<BYTE>(data, data + 6), (std::vector<BYTE>{1, 2, 3, 4, 5, 0}));
}

TEST_P(DmaPiongRequests, TheStopByteFailsAPendingRequest) {
    BYTE data[8] = {};
    ASSERT_EQ(PIO_DMAPiongIn(0, data, sizeof data, &overlapped), static_cast<DWORD>(ERROR_IO_PENDING));
    const BYTE stop[] = {halvex::DMAControlStop};
    ASSERT_EQ(halvex::SendDMAControl(0, stop), 0u);
    DWORD bytes = 0;
    HANDLE device = nullptr;
    ASSERT_EQ(PIO_GetDeviceHandle(0, &device), 0u);
    EXPECT_FALSE(GetOverlappedResult(device, &overlapped, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(sim::PendingDmaRequests(0), 0u);
}

TEST_P(DmaPiongRequests, WithoutARecordTheRequestBlocksUntilItCompletes) {
    BYTE data[4] = {};
    DWORD result = 0xFFFF;
    std::thread caller([&] { result = PIO_DMAChPiongIn(0, 3, data, sizeof data, nullptr); });
    ASSERT_TRUE(sim::AwaitDmaRequests(0, 1, kGuardMs));
    EXPECT_EQ(result, 0xFFFFu);
    ASSERT_TRUE(sim::CompleteDmaRequest(0, {9, 8, 7, 6, 5}));
    caller.join();
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(std::vector<BYTE>(data, data + 4), (std::vector<BYTE>{9, 8, 7, 6}));
}

TEST_P(DmaPiongRequests, ABlockedRequestEndsWithTheStopByte) {
    BYTE data[4] = {};
    DWORD result = 0xFFFF;
    std::thread caller([&] { result = PIO_DMAPiongIn(0, data, sizeof data, nullptr); });
    ASSERT_TRUE(sim::AwaitDmaRequests(0, 1, kGuardMs));
    const BYTE stop[] = {halvex::DMAControlStop};
    ASSERT_EQ(halvex::SendDMAControl(0, stop), 0u);
    caller.join();
    EXPECT_EQ(result, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}

TEST_P(DmaPiongRequests, BadBoardIndicesSendNothing) {
    BYTE data[4];
    DWORD size = 4;
    EXPECT_EQ(PIO_DMAPiongControl(2, data, 4, &size), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(PIO_DMAPiongIn(2, data, 4, nullptr), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(PIO_DMAChPiongIn(~0ull, 0, data, 4, nullptr), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_TRUE(sim::Requests(0).empty());
    EXPECT_TRUE(sim::Requests(1).empty());
}

// ---- Device handle ---------------------------------------------------------------------------

TEST_F(DmaPiong, AnUnusableHandlePointerIsReportedBeforeTheBoardIndex) {
    EXPECT_EQ(PIO_GetDeviceHandle(0, nullptr), static_cast<DWORD>(ERROR_NOACCESS));
    EXPECT_EQ(PIO_GetDeviceHandle(7, nullptr), static_cast<DWORD>(ERROR_NOACCESS));
    static const HANDLE constant = nullptr;
    EXPECT_EQ(PIO_GetDeviceHandle(0, const_cast<HANDLE*>(&constant)), static_cast<DWORD>(ERROR_NOACCESS));

    HANDLE handle = reinterpret_cast<HANDLE>(0x1234);
    EXPECT_EQ(PIO_GetDeviceHandle(7, &handle), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(handle, nullptr);
}

TEST_F(DmaPiong, EachBoardHandsOutItsOwnOpenHandle) {
    HANDLE first = nullptr, second = nullptr;
    ASSERT_EQ(PIO_GetDeviceHandle(0, &first), 0u);
    ASSERT_EQ(PIO_GetDeviceHandle(1, &second), 0u);
    EXPECT_EQ(first, halvex::Devices[0].hDevice);
    EXPECT_EQ(second, halvex::Devices[1].hDevice);
    EXPECT_NE(first, second);
    EXPECT_TRUE(sim::Requests(0).empty());
}

// ---- BAR query -------------------------------------------------------------------------------

TEST_F(DmaPiong, EveryBarBaseComesFromTheDriver) {
    for (DWORD bar = 0; bar <= 5; ++bar) {
        DWORD base = 0xFFFFFFFF;
        ASSERT_EQ(PIO_QueryBARBase(1, bar, &base), 0u);
        EXPECT_EQ(base, sim::BarBase(1, bar));
    }
    const auto log = sim::Requests(1);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().code, sim::kIoctlQueryBarBase);
    EXPECT_EQ(log.back().input, (std::vector<uint8_t>{5, 0, 0, 0}));
    EXPECT_EQ(log.back().outSize, 4u);
}

TEST_F(DmaPiong, BarQueryChecksBoardThenPointerThenIndex) {
    EXPECT_EQ(PIO_QueryBARBase(2, 9, nullptr), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(PIO_QueryBARBase(0, 9, nullptr), static_cast<DWORD>(ERROR_INVALID_ACCESS));
    EXPECT_EQ(PIO_QueryBARBase(0, 0, ReadOnlyDword()), static_cast<DWORD>(ERROR_INVALID_ACCESS));
    DWORD base = 0xFFFFFFFF;
    EXPECT_EQ(PIO_QueryBARBase(0, 6, &base), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(base, 0u);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_TRUE(sim::Requests(0).empty());
}

TEST_F(DmaPiong, AFailedBarQueryLeavesZero) {
    sim::FailRequests(0, sim::kIoctlQueryBarBase, {sim::FailKind::Now, ERROR_ACCESS_DENIED, 0, 1});
    DWORD base = 0xFFFFFFFF;
    EXPECT_EQ(PIO_QueryBARBase(0, 2, &base), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(base, 0u);
}
