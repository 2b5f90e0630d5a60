// What a streaming acquisition delivers: whole chunks, every sample once and in order, in each
// callback type, also after the acquisition has ended; on each streaming layout.
#include <atomic>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>

#include "StreamFixture.h"

namespace {

using halvex::sim::IndexSampleWord;

class StreamBlocks : public OnEachStreamLayout<StreamTest> {};
class StreamCallbacks : public OnEachStreamLayout<StreamTest> {};

// ---- Blocks --------------------------------------------------------------------------------

TEST_P(StreamBlocks, ABlockOf1000SamplesWith256SampleChunksDeliversFourWholeChunks) {
    ASSERT_EQ(SetCallback(ADC_CALLBACK_RAW), 0u);
    ASSERT_EQ(ADC_AcquireBlock(kStreamBoard, 0, 1000), 0u);
    ASSERT_TRUE(recorder_.WaitFor(4));
    ASSERT_TRUE(halvex::sim::AwaitStreamStops(kStreamBoard, 1, 20000));
    EXPECT_EQ(EndAndDrain(), 0u);
    const auto deliveries = recorder_.Deliveries();
    ASSERT_EQ(deliveries.size(), 4u);
    for (const Delivery& d : deliveries) EXPECT_EQ(d.raw.size(), 256u);
    // The board was asked for exactly four transfers' worth.
    EXPECT_EQ(halvex::sim::StreamStatusOf(kStreamBoard).delivered, 1024u);
}

TEST_P(StreamBlocks, ABlockOfOneSampleDeliversOneWholeChunk) {
    ASSERT_EQ(SetCallback(ADC_CALLBACK_RAW), 0u);
    ASSERT_EQ(ADC_AcquireBlock(kStreamBoard, 0, 1), 0u);
    ASSERT_TRUE(recorder_.WaitFor(1));
    ASSERT_TRUE(halvex::sim::AwaitStreamStops(kStreamBoard, 1, 20000));
    EXPECT_EQ(EndAndDrain(), 0u);
    const auto deliveries = recorder_.Deliveries();
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(deliveries[0].raw.size(), kChunkBytes / 4);
}

TEST_P(StreamBlocks, ATransferSizeNoChunkCanHoldRefusesTheStartWithoutAllocatingIt) {
    // Under one sample; eight times 0x20001000 wraps to 32 KiB in 32 bits; the read-failure
    // value; beyond any chunk the library allocates.
    for (uint32_t bytes : {0u, 2u, 3u, 0x20001000u, 0xAA55AA55u, 0xFFFFFFFFu}) {
        SetChunkBytes(bytes);
        EXPECT_EQ(ADC_AcquireStream(kStreamBoard, 0), static_cast<DWORD>(ERROR_INVALID_DATA)) << bytes;
        EXPECT_EQ(ADC_AcquireBlock(kStreamBoard, 0, 1), static_cast<DWORD>(ERROR_INVALID_DATA)) << bytes;
    }
    // A register that cannot be read says why.
    SetChunkBytes(kChunkBytes);
    halvex::sim::FailRequests(kStreamBoard, halvex::sim::kIoctlRegRead,
                              {halvex::sim::FailKind::Now, ERROR_DEVICE_NOT_CONNECTED, 0, 1});
    EXPECT_EQ(ADC_AcquireStream(kStreamBoard, 0), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(ADC_AcquireEnd(kStreamBoard, 0), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_EQ(halvex::sim::StreamStatusOf(kStreamBoard).runs, 0u);

    // The smallest usable transfer is one sample, and a block of one sample ends.
    SetChunkBytes(4);
    ASSERT_EQ(SetCallback(ADC_CALLBACK_RAW), 0u);
    ASSERT_EQ(ADC_AcquireBlock(kStreamBoard, 0, 1), 0u);
    ASSERT_TRUE(recorder_.WaitFor(1));
    EXPECT_EQ(EndAndDrain(), 0u);
    EXPECT_EQ(recorder_.Deliveries()[0].raw.size(), 1u);
}

// ---- Every sample once, in order, in every callback type, on both streaming layouts ---------

class StreamDelivery : public StreamTest, public ::testing::WithParamInterface<std::tuple<DWORD, StreamLayout>> {
protected:
    static DWORD CallbackType() { return std::get<0>(GetParam()); }
    halvex::sim::BoardSetup StreamBoard() const override {
        const StreamLayout& layout = std::get<1>(GetParam());
        return Board(layout.deviceId, layout.firmware);
    }
};

TEST_P(StreamDelivery, EverySampleArrivesOnceInOrderWithItsChannelAndRange) {
    // Two channels: channel 0 on range 1 (±5 V), channel 1 on range 5 (±0.3125 V).
    ASSERT_EQ(ADC_SetChannelCount(kStreamBoard, 0, 2), 0u);
    ASSERT_EQ(ADC_SetRange1(kStreamBoard, 0, 0, 1), 0u);
    ASSERT_EQ(ADC_SetRange1(kStreamBoard, 0, 1, 5), 0u);
    ASSERT_EQ(SetCallback(CallbackType()), 0u);
    ASSERT_EQ(ADC_AcquireStream(kStreamBoard, 0), 0u);
    ASSERT_TRUE(recorder_.WaitFor(300));  // 76800 samples: the counts wrap past 65535
    EXPECT_EQ(EndAndDrain(), 0u);

    uint64_t index = 0;
    for (const Delivery& d : recorder_.Deliveries()) {
        EXPECT_EQ(d.board, kStreamBoard);
        EXPECT_EQ(d.sequencer, 0u);
        const std::size_t n = std::max({d.raw.size(), d.counts.size(), d.volts.size()});
        ASSERT_EQ(n, kChunkBytes / 4);
        for (std::size_t i = 0; i < n; ++i, ++index) {
            const unsigned channel = static_cast<unsigned>(index % 2);
            const uint32_t range = channel == 0 ? 1 : 5;
            const uint32_t word = IndexSampleWord(index, channel, range);
            switch (CallbackType()) {
                case ADC_CALLBACK_RAW:
                    ASSERT_EQ(d.raw[i], word) << "sample " << index;
                    break;
                case ADC_CALLBACK_COUNTS:
                    ASSERT_EQ(d.counts[i], word & 0xFFFF) << "sample " << index;
                    ASSERT_EQ(d.status[i], word >> 16) << "sample " << index;
                    ASSERT_EQ(d.timestamp[i], 0u);
                    break;
                case ADC_CALLBACK_VOLTS: {
                    const double perCount = range == 1 ? 0.0003125 : 0.00001953125;
                    ASSERT_EQ(d.volts[i], static_cast<int16_t>(word & 0xFFFF) * perCount) << "sample " << index;
                    ASSERT_EQ(d.status[i], word >> 16);
                    ASSERT_EQ(d.timestamp[i], 0u);
                    break;
                }
            }
        }
    }
    EXPECT_GE(index, 300u * 256u);
}

std::string CallbackTypeAndLayoutName(const ::testing::TestParamInfo<std::tuple<DWORD, StreamLayout>>& info) {
    const DWORD type = std::get<0>(info.param);
    const char* typeName = type == ADC_CALLBACK_RAW ? "Raw" : type == ADC_CALLBACK_COUNTS ? "Counts" : "Volts";
    return std::string(typeName) + "_" + std::get<1>(info.param).name;
}

INSTANTIATE_TEST_SUITE_P(EachCallbackTypeAndLayout, StreamDelivery,
                         ::testing::Combine(::testing::Values(DWORD{ADC_CALLBACK_RAW}, DWORD{ADC_CALLBACK_COUNTS},
                                                              DWORD{ADC_CALLBACK_VOLTS}),
                                            StreamLayouts()),
                         CallbackTypeAndLayoutName);

TEST_P(StreamCallbacks, ASampleWithRangeFiveAndCounts0x1234ReachesTheCallbacksConverted) {
    halvex::sim::SetStreamIndexSource(kStreamBoard, false);
    halvex::sim::SetDmaPacing(kStreamBoard, halvex::sim::DmaPacing::RealTime);
    // Slow enough that the board's own conversions never fill the request before the test does.
    ASSERT_EQ(ADC_SetRate(kStreamBoard, 0, 1.0), 0u);
    ASSERT_EQ(SetCallback(ADC_CALLBACK_VOLTS), 0u);
    ASSERT_EQ(ADC_AcquireStream(kStreamBoard, 0), 0u);
    ASSERT_TRUE(halvex::sim::AwaitDmaRequests(kStreamBoard, 1, 20000));
    std::vector<uint8_t> chunk(kChunkBytes, 0);
    const uint32_t word = 0x00051234;
    for (std::size_t i = 0; i < chunk.size(); i += 4) std::memcpy(&chunk[i], &word, 4);
    ASSERT_TRUE(halvex::sim::CompleteDmaRequest(kStreamBoard, chunk));
    ASSERT_TRUE(recorder_.WaitFor(1));
    EXPECT_EQ(EndAndDrain(), 0u);
    const Delivery d = recorder_.Deliveries()[0];
    EXPECT_DOUBLE_EQ(d.volts[0], 0.091015625);
    EXPECT_EQ(d.status[0], 0x0005);
    EXPECT_EQ(d.timestamp[0], 0);
}

// ---- The callback thread and the end of an acquisition --------------------------------------

void WINAPI ThrowingCallback(UINT64 b, DWORD s, DWORD n, DWORD* p) {
    RecordRaw(b, s, n, p);
    throw std::runtime_error("user code failed");
}

TEST_P(StreamCallbacks, ACallbackThatThrowsStillReceivesEveryChunk) {
    ASSERT_EQ(ADC_SetCallback(kStreamBoard, 0, ADC_CALLBACK_RAW, reinterpret_cast<void*>(&ThrowingCallback)), 0u);
    ASSERT_EQ(ADC_AcquireBlock(kStreamBoard, 0, 1024), 0u);
    ASSERT_TRUE(recorder_.WaitFor(4));
    EXPECT_EQ(EndAndDrain(), 0u);
    EXPECT_EQ(recorder_.Count(), 4u);
}

TEST_P(StreamCallbacks, QueuedChunksAreDeliveredInOrderAfterAcquireEndDestroyedTheAcquisition) {
    // The first delivery holds the callback thread until the acquisition is gone.
    std::mutex gateMutex;
    std::condition_variable gateChanged;
    bool open = false;
    std::atomic<int> calls{0};
    recorder_.onDelivery = [&] {
        if (calls.fetch_add(1) != 0) return;
        std::unique_lock lock(gateMutex);
        gateChanged.wait(lock, [&] { return open; });
    };
    ASSERT_EQ(SetCallback(ADC_CALLBACK_RAW), 0u);
    ASSERT_EQ(ADC_AcquireBlock(kStreamBoard, 0, 8 * 256), 0u);
    ASSERT_TRUE(recorder_.WaitFor(1));
    ASSERT_TRUE(halvex::sim::AwaitStreamStops(kStreamBoard, 1, 20000));
    EXPECT_EQ(ADC_AcquireEnd(kStreamBoard, 0), 0u);  // frees the acquisition thread
    {
        std::lock_guard lock(gateMutex);
        open = true;
    }
    gateChanged.notify_all();
    ASSERT_EQ(HX_AcquireWait(kStreamBoard, 0, 20000), 0u);
    const auto deliveries = recorder_.Deliveries();
    ASSERT_EQ(deliveries.size(), 8u);
    uint64_t index = 0;
    for (const Delivery& d : deliveries)
        for (uint32_t word : d.raw) ASSERT_EQ(word & 0xFFFF, index++ & 0xFFFF);
}

std::atomic<DWORD> endFromCallbackResult{0xFFFFFFFF};
std::atomic<int> endFromCallbackCalls{0};

void WINAPI EndingCallback(UINT64 b, DWORD s, DWORD n, DWORD* p) {
    if (endFromCallbackCalls.fetch_add(1) == 0) endFromCallbackResult = ADC_AcquireEnd(b, s);
    RecordRaw(b, s, n, p);
}

TEST_P(StreamCallbacks, TheCallbackMayEndItsOwnAcquisition) {
    endFromCallbackCalls = 0;
    ASSERT_EQ(ADC_SetCallback(kStreamBoard, 0, ADC_CALLBACK_RAW, reinterpret_cast<void*>(&EndingCallback)), 0u);
    ASSERT_EQ(ADC_AcquireStream(kStreamBoard, 0), 0u);
    ASSERT_TRUE(recorder_.WaitFor(1));
    ASSERT_EQ(HX_AcquireWait(kStreamBoard, 0, 20000), 0u);
    EXPECT_EQ(endFromCallbackResult.load(), 0u);
    EXPECT_FALSE(halvex::sim::StreamStatusOf(kStreamBoard).running);
    // The sequencer is free again.
    EXPECT_EQ(ADC_AcquireEnd(kStreamBoard, 0), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_EQ(ADC_AcquireStream(kStreamBoard, 0), 0u);
    EXPECT_EQ(EndAndDrain(), 0u);
}

TEST_P(StreamCallbacks, ANewRunNeitherWaitsForNorLosesTheLastRunsCallbackStillDraining) {
    // Static: a failed assertion leaves the callbacks running until unload joins them.
    static HANDLE release = nullptr;
    static std::atomic<int> calls{0};
    static std::atomic<bool> firstReturned{false};
    release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(release, nullptr);
    calls = 0;
    firstReturned = false;
    recorder_.onDelivery = [] {
        if (calls.fetch_add(1) != 0) return;
        WaitForSingleObject(release, 20000);
        firstReturned = true;
    };
    ASSERT_EQ(SetCallback(ADC_CALLBACK_RAW), 0u);
    ASSERT_EQ(ADC_AcquireBlock(kStreamBoard, 0, 8 * 256), 0u);
    ASSERT_TRUE(recorder_.WaitFor(1));
    ASSERT_TRUE(halvex::sim::AwaitStreamStops(kStreamBoard, 1, 20000));
    ASSERT_EQ(ADC_AcquireEnd(kStreamBoard, 0), 0u);
    // Seven chunks of the first run are still queued behind the callback in progress.
    ASSERT_EQ(ADC_AcquireBlock(kStreamBoard, 0, 256), 0u);
    EXPECT_TRUE(recorder_.WaitFor(2));
    EXPECT_FALSE(firstReturned.load()) << "the start waited for the last run's callback";
    SetEvent(release);
    // Every chunk of both runs, the first callback returned: the handle may go.
    EXPECT_TRUE(AwaitTrue([] { return calls.load() >= 9 && firstReturned.load(); }));
    EXPECT_EQ(recorder_.Count(), 9u);
    EXPECT_EQ(EndAndDrain(), 0u);
    CloseHandle(release);
}

std::atomic<DWORD> restartFromCallbackResult{0xFFFFFFFF};
std::atomic<int> restartFromCallbackCalls{0};

void WINAPI RestartingCallback(UINT64 b, DWORD s, DWORD n, DWORD* p) {
    if (restartFromCallbackCalls.fetch_add(1) == 0) {
        ADC_AcquireEnd(b, s);
        restartFromCallbackResult = ADC_AcquireBlock(b, s, 256);
    }
    RecordRaw(b, s, n, p);
}

TEST_P(StreamCallbacks, TheCallbackMayEndItsRunAndStartTheNext) {
    // The start finds the calling thread's own delivery still draining: it must keep it, never
    // join it.
    restartFromCallbackCalls = 0;
    ASSERT_EQ(ADC_SetCallback(kStreamBoard, 0, ADC_CALLBACK_RAW, reinterpret_cast<void*>(&RestartingCallback)), 0u);
    ASSERT_EQ(ADC_AcquireStream(kStreamBoard, 0), 0u);
    ASSERT_TRUE(recorder_.WaitFor(2));
    EXPECT_EQ(restartFromCallbackResult.load(), 0u);
    EXPECT_EQ(EndAndDrain(), 0u);
}

INSTANTIATE_TEST_SUITE_P(EachLayout, StreamBlocks, StreamLayouts(), StreamLayoutName);
INSTANTIATE_TEST_SUITE_P(EachLayout, StreamCallbacks, StreamLayouts(), StreamLayoutName);

}  // namespace
