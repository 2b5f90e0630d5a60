// The simulated DMA engine seen through the library's register and DMA exports: what arms and
// starts it, the scan it converts, pacing, the FIFO and its overrun count; on each streaming layout.
#include <array>
#include <chrono>
#include <cstring>
#include <mutex>

#include "Await.h"
#include "LibraryFixture.h"
#include "StreamLayouts.h"
#include "sim/AnalogInputSources.h"
#include "sim/Bus.h"
#include "sim/DmaEngine.h"

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
    DWORD Queue(std::vector<uint32_t>& buffer) { return Queue(buffer, overlapped_); }
    static DWORD Queue(std::vector<uint32_t>& buffer, OVERLAPPED& overlapped) {
        ResetEvent(overlapped.hEvent);
        return PIO_DMAPiongIn(kBoard, reinterpret_cast<BYTE*>(buffer.data()), static_cast<DWORD>(buffer.size() * 4),
                              &overlapped);
    }
    // The request's outcome: 0 or its error (WAIT_TIMEOUT for a request that never ends).
    DWORD Outcome() { return Outcome(overlapped_); }
    static DWORD Outcome(OVERLAPPED& overlapped) {
        if (WaitForSingleObject(overlapped.hEvent, static_cast<DWORD>(kHangGuard.count())) != WAIT_OBJECT_0)
            return WAIT_TIMEOUT;
        DWORD bytes = 0;
        HANDLE device = nullptr;
        PIO_GetDeviceHandle(kBoard, &device);
        if (GetOverlappedResult(device, &overlapped, &bytes, FALSE)) return 0;
        return GetLastError();
    }
    // Sample indices (modulo 65536, as the index source has them) missing from `words`, which
    // follow sample `previous`; the count of the newest word comes back in `previous`.
    static uint64_t MissingIndices(const std::vector<uint32_t>& words, uint32_t& previous) {
        uint64_t missing = 0;
        for (uint32_t word : words) {
            missing += ((word & 0xFFFF) - previous - 1) & 0xFFFF;
            previous = word & 0xFFFF;
        }
        return missing;
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

// Noise steps once per conversion of its own input, however requests cut the scan, single-ended
// and in differential pairs (both inputs of a pair step).
TEST_P(SimDmaEngine, NoiseStepsOncePerConversionOfEachInputAcrossRequests) {
    using halvex::sim::InputSource;
    using halvex::sim::InputSourceKind;
    halvex::sim::SetStreamIndexSource(kBoard, false);
    halvex::sim::SetDmaPacing(kBoard, DmaPacing::FreeRunning);
    for (unsigned channel = 0; channel < 4; ++channel)
        halvex::sim::SetInputSource(kBoard, 0, channel, InputSource{InputSourceKind::Noise, 0.1 * channel, 1.0});
    PIO_Out32(kBoard, 24, 0x00007777);  // ±10 V
    const std::array<double, 4> outputs{};
    const auto level = [&](unsigned channel, uint64_t ordinal) {
        return halvex::sim::SourceVolts(halvex::sim::InputSourceOf(kBoard, 0, channel), 0.0, ordinal, channel, outputs);
    };
    // The second run's noise goes on where the first one's stopped.
    uint64_t ordinals[4] = {};
    for (const bool differential : {false, true}) {
        // Channels 0-2 single-ended; the pairs 0-1 and 2-3 differential.
        const DWORD mode = differential ? (3u << 12) : (0x800u | 2u << 12);
        const unsigned positions = differential ? 2 : 3;
        std::vector<uint32_t> words;
        for (const std::size_t size : {7u, 11u}) {
            std::vector<uint32_t> buffer(size);
            const DWORD queued = words.empty() ? QueueAndStart(buffer, kRun | mode) : Queue(buffer);
            ASSERT_EQ(queued, static_cast<DWORD>(ERROR_IO_PENDING));
            ASSERT_EQ(Outcome(), 0u);
            words.insert(words.end(), buffer.begin(), buffer.end());
        }
        for (std::size_t i = 0; i < words.size(); ++i) {
            const unsigned channel = static_cast<unsigned>(i % positions) * (differential ? 2 : 1);
            const double volts = differential ? level(channel, ordinals[channel]++) - level(channel + 1, ordinals[channel + 1]++)
                                              : level(channel, ordinals[channel]++);
            EXPECT_EQ(words[i], halvex::sim::PackConversion(volts, 7, channel)) << differential << " " << i;
        }
        PIO_Out32(kBoard, 56, kRun & ~0x10000u);
        Control(0x10);
    }
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

// A board loses only what comes while no request is pending, beyond what its FIFO holds: the
// count is exactly the samples missing from what arrives, before the first request and after
// one that came late.
TEST_P(SimDmaEngine, WithoutARequestSamplesWaitInTheFifoAndBeyondItAreCountedLost) {
    halvex::sim::SetStreamFifoDepth(kBoard, 10);
    PIO_Out32(kBoard, 16, 400);  // 100 kS/s
    Control(0x11);
    PIO_Out32(kBoard, 64, 0x10);
    PIO_Out32(kBoard, 56, kRun);
    ASSERT_TRUE(AwaitTrue([] { return StreamStatusOf(kBoard).overruns != 0; }));
    EXPECT_EQ(StreamStatusOf(kBoard).fifo, 10u);

    // Each request queued with another behind it, so the count stands still once it is filled.
    OVERLAPPED behindDone{};
    behindDone.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<uint32_t> first(1010), second(1000), late(1010), behind(1'000'000);
    ASSERT_EQ(Queue(first), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(Queue(second, behindDone), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(Outcome(), 0u);
    for (uint64_t i = 0; i < 10; ++i) EXPECT_EQ(first[i], IndexSampleWord(i, 0, 0));
    const uint64_t lostBefore = StreamStatusOf(kBoard).overruns;
    EXPECT_EQ(first[10], IndexSampleWord(10 + lostBefore, 0, 0)) << "the FIFO's ten, then what came after the request";
    ASSERT_EQ(Outcome(behindDone), 0u);

    // Nothing pending for 200 ms: a callback that stalled.
    Sleep(200);
    ASSERT_EQ(Queue(late), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(Queue(behind, behindDone), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(Outcome(), 0u);
    const uint64_t lost = StreamStatusOf(kBoard).overruns;
    uint32_t previous = 0xFFFF;
    EXPECT_EQ(MissingIndices(first, previous) + MissingIndices(second, previous), lostBefore);
    const uint64_t lostLate = MissingIndices(late, previous);
    EXPECT_GT(lostLate, 10'000u);
    EXPECT_EQ(lostBefore + lostLate, lost);
    Control(0x10);
    EXPECT_EQ(Outcome(behindDone), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    CloseHandle(behindDone.hEvent);
}

// A board's DMA takes each sample into the pending transfer as it comes. A slow source converted
// a whole large request at a time would hand it back long after its last sample, and the
// samples meanwhile must not count as the next request's lateness.
TEST_P(SimDmaEngine, ALargeRequestFromASlowSourceIsFilledInPiecesAndLosesNothing) {
    {
        auto board = halvex::sim::Bus::Instance().BoardAt(kBoard);
        std::lock_guard lock(board->mutex);
        board->FindModel<halvex::sim::DmaEngineModel>()->SetConversionCost(std::chrono::microseconds(4));
    }
    halvex::sim::SetStreamFifoDepth(kBoard, 5000);  // 50 ms, less than a whole request's conversion
    PIO_Out32(kBoard, 16, 400);                     // 100 kS/s: 0.2 s a request, 80 ms of it converting
    OVERLAPPED other{};
    other.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<uint32_t> buffers[2] = {std::vector<uint32_t>(20'000), std::vector<uint32_t>(20'000)};
    OVERLAPPED* overlapped[2] = {&overlapped_, &other};
    ASSERT_EQ(QueueAndStart(buffers[0]), static_cast<DWORD>(ERROR_IO_PENDING));
    uint64_t next = 0;
    for (int request = 0; request < 3; ++request) {
        const int at = request % 2;
        ASSERT_EQ(Outcome(*overlapped[at]), 0u) << request;
        // The next one queued at once, as the library does, before this one is looked at.
        if (request < 2) {
            ASSERT_EQ(Queue(buffers[1 - at], *overlapped[1 - at]), static_cast<DWORD>(ERROR_IO_PENDING));
        }
        for (uint32_t word : buffers[at]) ASSERT_EQ(word, IndexSampleWord(next++, 0, 0)) << request;
    }
    const auto status = StreamStatusOf(kBoard);
    EXPECT_EQ(status.overruns, 0u);
    EXPECT_EQ(status.delivered, 60'000u);
    CloseHandle(other.hEvent);
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
