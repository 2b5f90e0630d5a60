// The memory of a streaming acquisition: the chunk a raw callback reads, the reserve of empty
// chunks, and the return to a few chunks once a backlog has drained.
#include <algorithm>
#include <atomic>
#include <vector>

#include "StreamFixture.h"
#include "adc/ChunkSupply.h"

namespace {

class StreamMemory : public StreamTest {
protected:
    static int64_t ChunksAlive() { return halvex::LiveChunkCount() - chunksAtStart_; }
    static DWORD SetRawCallback(HX_CallbackRaw callback) {
        return HX_SetCallbackContext(kStreamBoard, 0, ADC_CALLBACK_RAW, reinterpret_cast<void*>(callback), nullptr);
    }

    void SetUp() override {
        StreamTest::SetUp();
        chunksAtStart_ = halvex::LiveChunkCount();
    }

    static inline int64_t chunksAtStart_ = 0;
};

// Holds the first call until the test lets go; counts every call.
std::atomic<bool> gLetGo{false};
std::atomic<int> gCalls{0};
void WINAPI HoldFirstCall(void*, UINT64, DWORD, DWORD, DWORD*) {
    if (gCalls.fetch_add(1) == 0) AwaitTrue([] { return gLetGo.load(); });
}

// Copies the words on entry, gives the free-running board time to write into a reused chunk,
// and compares.
std::atomic<int> gChanged{0};
void WINAPI CompareAfterAPause(void*, UINT64, DWORD, DWORD n, DWORD* words) {
    const std::vector<DWORD> before(words, words + n);
    Sleep(2);
    if (!std::equal(before.begin(), before.end(), words)) gChanged.fetch_add(1);
    gCalls.fetch_add(1);
}

TEST_F(StreamMemory, ARawCallbacksWordsStayAsDeliveredUntilItReturns) {
    gCalls = 0;
    gChanged = 0;
    ASSERT_EQ(SetRawCallback(&CompareAfterAPause), 0u);
    ASSERT_EQ(ADC_AcquireStream(kStreamBoard, 0), 0u);
    ASSERT_TRUE(AwaitTrue([] { return gCalls.load() >= 16; }));
    EXPECT_EQ(EndAndDrain(), 0u);
    EXPECT_EQ(gChanged.load(), 0) << "a chunk was refilled while its callback read it";
}

TEST_F(StreamMemory, TheFillThreadStocksAReserveBeforeItIsNeeded) {
    // A chunk every quarter second: the reserve is there long before the loop would take it.
    ASSERT_EQ(ADC_SetRate(kStreamBoard, 0, 1000), 0u);
    halvex::sim::SetDmaPacing(kStreamBoard, halvex::sim::DmaPacing::RealTime);
    ASSERT_EQ(SetCallback(ADC_CALLBACK_RAW), 0u);
    ASSERT_EQ(ADC_AcquireStream(kStreamBoard, 0), 0u);
    // The reserve of four, less the chunk the board is filling, and that chunk.
    EXPECT_TRUE(AwaitTrue([] { return ChunksAlive() >= 4; })) << ChunksAlive();
    EXPECT_EQ(EndAndDrain(), 0u);
}

TEST_F(StreamMemory, AfterABacklogDrainsTheSpareChunksGoBackToTheHeap) {
    gCalls = 0;
    gLetGo = false;
    struct LetGoOnAnyExit {
        ~LetGoOnAnyExit() { gLetGo = true; }
    } letGo;
    ASSERT_EQ(SetRawCallback(&HoldFirstCall), 0u);
    constexpr DWORD kChunks = 64;
    ASSERT_EQ(ADC_AcquireBlock(kStreamBoard, 0, kChunks * (kChunkBytes / 4)), 0u);
    // Free-running, the whole block arrives while the callback still holds the first chunk.
    ASSERT_TRUE(AwaitTrue([] { return Status().RunEnded != 0; }));
    EXPECT_GE(ChunksAlive(), static_cast<int64_t>(kChunks));
    gLetGo = true;
    ASSERT_EQ(HX_AcquireWait(kStreamBoard, 0, 20000), 0u);
    EXPECT_EQ(gCalls.load(), static_cast<int>(kChunks));
    // The run is over but not yet ended: only its spare chunks are left, a handful.
    EXPECT_LE(ChunksAlive(), 8);
    EXPECT_EQ(EndAndDrain(), 0u);
}

// Spare chunks beyond the high-water mark stay while the run goes, in case the backlog comes back,
// and go once they have been spare a while; after the run, at once.
TEST(ChunkSupply, SpareChunksBeyondTheMarkGoAfterAWhileOrOnceTheRunHasEnded) {
    const int64_t before = halvex::LiveChunkCount();
    {
        halvex::TChunkSupply supply(4096);
        const auto recycleFresh = [&](int n) {
            for (int i = 0; i < n; ++i) supply.Recycle(halvex::AllocChunk(supply.ChunkSize));
        };
        recycleFresh(static_cast<int>(supply.HighWater) + 4);
        EXPECT_EQ(supply.EmptyChunkPool.Count(), supply.HighWater + 4);
        Sleep(static_cast<DWORD>(halvex::TChunkSupply::kSpareHoldMs) + 20);
        recycleFresh(1);
        EXPECT_EQ(supply.EmptyChunkPool.Count(), supply.HighWater);

        recycleFresh(2);
        EXPECT_EQ(supply.EmptyChunkPool.Count(), supply.HighWater + 2);
        supply.RunEnded = true;
        recycleFresh(1);
        EXPECT_EQ(supply.EmptyChunkPool.Count(), supply.HighWater);
        EXPECT_EQ(halvex::LiveChunkCount() - before, static_cast<int64_t>(supply.HighWater));
    }
    EXPECT_EQ(halvex::LiveChunkCount(), before);

    // A backlog the run absorbed by taking its spares again, then a second one a while later:
    // the second's spares are held their while too, not freed at once on the first's clock.
    {
        halvex::TChunkSupply supply(4096);
        const auto recycleFresh = [&](std::size_t n) {
            for (std::size_t i = 0; i < n; ++i) supply.Recycle(halvex::AllocChunk(supply.ChunkSize));
        };
        recycleFresh(supply.HighWater + 2);
        while (supply.EmptyChunkPool.Count() >= supply.HighWater) halvex::FreeChunk(supply.EmptyChunkPool.PopLast());
        recycleFresh(1);
        Sleep(static_cast<DWORD>(halvex::TChunkSupply::kSpareHoldMs) + 20);
        recycleFresh(2);
        EXPECT_EQ(supply.EmptyChunkPool.Count(), supply.HighWater + 2);
    }
    EXPECT_EQ(halvex::LiveChunkCount(), before);
}

}  // namespace
