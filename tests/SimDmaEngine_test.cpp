// The simulated DMA engine seen through the library's register and DMA exports: what arms and
// starts it, the scan it converts, pacing, the FIFO and its overrun count; on each streaming layout.
#include <chrono>
#include <cstring>

#include "Await.h"
#include "LibraryFixture.h"
#include "StreamLayouts.h"

namespace {

using halvex::sim::DmaPacing;
using halvex::sim::IndexSampleWord;
using halvex::sim::StreamStatusOf;

constexpr UINT64 kBoard = 0;
constexpr DWORD kRun = 0x10000 | 0x20020;  // run bit, acquisition bit, bit 17

class SimDmaEngine : public LibraryTest, public ::testing::WithParamInterface<StreamLayout> {
protected:
    void SetUp() override {
        Start({Board(GetParam().deviceId, GetParam().firmware)});  // base clock 40 MHz
        halvex::sim::SetStreamIndexSource(kBoard, true);
        overlapped_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    void TearDown() override {
        Control(0x10);
        CloseHandle(overlapped_.hEvent);
        LibraryTest::TearDown();
    }

    static void Control(BYTE byte) { PIO_DMAPiongControl(kBoard, &byte, 1, nullptr); }
    // Arms the engine, queues one request of `samples` and starts the run with `startStop`.
    DWORD QueueAndStart(std::vector<uint32_t>& buffer, DWORD startStop = kRun) {
        Control(0x11);
        const DWORD queued = Queue(buffer);
        PIO_Out32(kBoard, 64, 0x10);
        PIO_Out32(kBoard, 56, startStop);
        return queued;
    }
    DWORD Queue(std::vector<uint32_t>& buffer) {
        ResetEvent(overlapped_.hEvent);
        return PIO_DMAPiongIn(kBoard, reinterpret_cast<BYTE*>(buffer.data()), static_cast<DWORD>(buffer.size() * 4),
                              &overlapped_);
    }
    // The request's outcome: 0 or its error.
    DWORD Outcome() {
        DWORD bytes = 0;
        HANDLE device = nullptr;
        PIO_GetDeviceHandle(kBoard, &device);
        if (GetOverlappedResult(device, &overlapped_, &bytes, TRUE)) return 0;
        return GetLastError();
    }

    OVERLAPPED overlapped_{};
};

TEST_P(SimDmaEngine, NothingIsFilledUntilArmedRunBitAndRegister64AreAllSet) {
    halvex::sim::SetDmaPacing(kBoard, DmaPacing::FreeRunning);
    std::vector<uint32_t> buffer(64);
    ASSERT_EQ(Queue(buffer), static_cast<DWORD>(ERROR_IO_PENDING));
    PIO_Out32(kBoard, 64, 0x10);
    PIO_Out32(kBoard, 56, kRun);  // not armed
    EXPECT_EQ(halvex::sim::PendingDmaRequests(kBoard), 1u);
    PIO_Out32(kBoard, 56, kRun & ~0x20u);  // an immediate command is no acquisition
    Control(0x11);
    EXPECT_EQ(halvex::sim::PendingDmaRequests(kBoard), 1u);
    PIO_Out32(kBoard, 56, kRun);
    EXPECT_EQ(Outcome(), 0u);
    EXPECT_EQ(buffer[5], IndexSampleWord(5, 0, 0));
    EXPECT_TRUE(StreamStatusOf(kBoard).running);
    PIO_Out32(kBoard, 64, 0);
    EXPECT_FALSE(StreamStatusOf(kBoard).running);
}

TEST_P(SimDmaEngine, TheScanFollowsTheStopChannelTheRangesAndDifferentialPairs) {
    halvex::sim::SetDmaPacing(kBoard, DmaPacing::FreeRunning);
    PIO_Out32(kBoard, 24, 0x76543210);
    std::vector<uint32_t> buffer(6);
    ASSERT_EQ(QueueAndStart(buffer, kRun | 0x800 | (2 << 12)), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(Outcome(), 0u);
    for (uint64_t i = 0; i < 6; ++i) EXPECT_EQ(buffer[i], IndexSampleWord(i, i % 3, i % 3)) << i;

    PIO_Out32(kBoard, 56, kRun & ~0x10000u);
    Control(0x10);
    std::vector<uint32_t> pairs(6);
    ASSERT_EQ(QueueAndStart(pairs, kRun | (4 << 12)), static_cast<DWORD>(ERROR_IO_PENDING));  // differential
    ASSERT_EQ(Outcome(), 0u);
    const unsigned channels[] = {0, 2, 4};
    for (uint64_t i = 0; i < 6; ++i) EXPECT_EQ(pairs[i], IndexSampleWord(i, channels[i % 3], channels[i % 3])) << i;
}

TEST_P(SimDmaEngine, RealInputsArePackedWithTheirRangeAndChannel) {
    halvex::sim::SetStreamIndexSource(kBoard, false);
    halvex::sim::SetDmaPacing(kBoard, DmaPacing::FreeRunning);
    halvex::sim::SetInputSource(kBoard, 0, 1, halvex::sim::InputSource{halvex::sim::InputSourceKind::Constant, 2.5});
    PIO_Out32(kBoard, 24, 0x00000010);  // channel 1 on range 1 (±5 V)
    std::vector<uint32_t> buffer(4);
    ASSERT_EQ(QueueAndStart(buffer, kRun | 0x800 | (1 << 12)), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(Outcome(), 0u);
    EXPECT_EQ(buffer[1], halvex::sim::PackedConversion(2.5, 1, 1));
    EXPECT_EQ(buffer[3], halvex::sim::PackedConversion(2.5, 1, 1));
}

TEST_P(SimDmaEngine, TheStopByteFailsThePendingRequestAndDisarms) {
    PIO_Out32(kBoard, 16, 40'000);  // 1000 samples a second
    std::vector<uint32_t> buffer(100'000);
    ASSERT_EQ(QueueAndStart(buffer), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_TRUE(StreamStatusOf(kBoard).running);
    Control(0x10);
    EXPECT_EQ(Outcome(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    const auto status = StreamStatusOf(kBoard);
    EXPECT_FALSE(status.armed);
    EXPECT_FALSE(status.running);
    EXPECT_EQ(status.completed, 0u);
}

TEST_P(SimDmaEngine, PacedRequestsAreFilledNoSoonerThanTheRateAllows) {
    PIO_Out32(kBoard, 16, 4000);  // 10 000 samples a second
    std::vector<uint32_t> buffer(1000);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(QueueAndStart(buffer), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(Outcome(), 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    for (uint64_t i = 0; i < 1000; ++i) ASSERT_EQ(buffer[i], IndexSampleWord(i, 0, 0));
    // The next request carries on where the first stopped.
    ASSERT_EQ(Queue(buffer), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(Outcome(), 0u);
    EXPECT_EQ(buffer[0], IndexSampleWord(1000, 0, 0));
    EXPECT_EQ(StreamStatusOf(kBoard).overruns, 0u);
}

// Between requests the engine sleeps until one as large as the last could be filled; a smaller
// one, due much sooner, must not wait for that.
TEST_P(SimDmaEngine, ASmallerRequestAfterALargeOneIsFilledWhenDue) {
    PIO_Out32(kBoard, 16, 40'000);  // 1000 samples a second
    std::vector<uint32_t> large(300);
    ASSERT_EQ(QueueAndStart(large), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(Outcome(), 0u);
    std::vector<uint32_t> small(2);
    ASSERT_EQ(Queue(small), static_cast<DWORD>(ERROR_IO_PENDING));
    // Due 2 ms after the large one; a sleeping engine would fill it 300 ms after.
    ASSERT_EQ(WaitForSingleObject(overlapped_.hEvent, 150), WAIT_OBJECT_0);
    ASSERT_EQ(Outcome(), 0u);
    EXPECT_EQ(small[0], IndexSampleWord(300, 0, 0));
}

TEST_P(SimDmaEngine, WithoutARequestSamplesWaitInTheFifoAndBeyondItAreCountedLost) {
    halvex::sim::SetStreamFifoDepth(kBoard, 10);
    PIO_Out32(kBoard, 16, 40);  // 1 MS/s
    Control(0x11);
    PIO_Out32(kBoard, 64, 0x10);
    PIO_Out32(kBoard, 56, kRun);
    ASSERT_TRUE(AwaitTrue([] { return StreamStatusOf(kBoard).overruns != 0; }));
    EXPECT_EQ(StreamStatusOf(kBoard).fifo, 10u);
    // The FIFO's ten samples come first, then the samples converted after the gap.
    std::vector<uint32_t> buffer(20);
    ASSERT_EQ(Queue(buffer), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(Outcome(), 0u);
    for (uint64_t i = 0; i < 10; ++i) EXPECT_EQ(buffer[i], IndexSampleWord(i, 0, 0));
    EXPECT_NE(buffer[10], IndexSampleWord(10, 0, 0)) << "lost samples leave a gap";
}

TEST_P(SimDmaEngine, CompletionTimesAreRecordedPerRequest) {
    halvex::sim::SetDmaPacing(kBoard, DmaPacing::FreeRunning);
    std::vector<uint32_t> buffer(16);
    ASSERT_EQ(QueueAndStart(buffer), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(Outcome(), 0u);
    ASSERT_EQ(Queue(buffer), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(Outcome(), 0u);
    const auto times = halvex::sim::DmaCompletionTimes(kBoard);
    ASSERT_EQ(times.size(), 2u);
    EXPECT_LE(times[0], times[1]);
    EXPECT_EQ(StreamStatusOf(kBoard).delivered, 32u);
}

INSTANTIATE_TEST_SUITE_P(EachLayout, SimDmaEngine, StreamLayouts(), StreamLayoutName);

}  // namespace
