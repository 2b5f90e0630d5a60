// Chunk pools: the orders chunks come out in, the kill behind queued chunks, and ownership.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <random>
#include <thread>

#include "adc/ChunkPool.h"

using halvex::AllocChunk;
using halvex::LiveChunkCount;
using halvex::TChunkPool;

namespace {

class ChunkPool : public ::testing::Test {
protected:
    void SetUp() override { chunksBefore_ = LiveChunkCount(); }
    void TearDown() override { EXPECT_EQ(LiveChunkCount(), chunksBefore_) << "a chunk was leaked or freed twice"; }

    static void* Chunk() { return AllocChunk(16); }

private:
    int64_t chunksBefore_ = 0;
};

TEST_F(ChunkPool, AnEmptyPoolWithoutSemaphoreAnswersAtOnce) {
    TChunkPool pool;
    EXPECT_EQ(pool.PopFirst(), nullptr);
    EXPECT_EQ(pool.PopLast(), nullptr);
    EXPECT_FALSE(pool.bGotData());
}

TEST_F(ChunkPool, PopLastTakesTheNewestAndPopFirstTheOldest) {
    TChunkPool pool;
    void* a = Chunk();
    void* b = Chunk();
    void* c = Chunk();
    pool.PushLast(a);
    pool.PushLast(b);
    pool.PushFirst(c);  // c, a, b
    EXPECT_TRUE(pool.bGotData());
    EXPECT_EQ(pool.PopLast(), b);
    EXPECT_EQ(pool.PopFirst(), c);
    EXPECT_EQ(pool.PopFirst(), a);
    EXPECT_FALSE(pool.bGotData());
    EXPECT_EQ(pool.PopLast(), nullptr);
    // Emptied through both ends, the list must accept pushes again.
    pool.PushFirst(a);
    EXPECT_EQ(pool.PopLast(), a);
    for (void* chunk : {a, b, c}) halvex::FreeChunk(chunk);
}

TEST_F(ChunkPool, AKillBehindThreeChunksComesOutAfterAllOfThem) {
    TChunkPool pool(TChunkPool::pcCounted);
    void* chunks[3] = {Chunk(), Chunk(), Chunk()};
    for (void* chunk : chunks) pool.PushLast(chunk);
    pool.PushKill();
    for (void* chunk : chunks) {
        EXPECT_EQ(pool.PopFirst(), chunk);
        halvex::FreeChunk(chunk);
    }
    EXPECT_EQ(pool.PopFirst(), nullptr);
}

TEST_F(ChunkPool, AConsumerSleepsUntilAChunkOrAKillArrives) {
    TChunkPool pool(TChunkPool::pcCounted);
    void* chunk = Chunk();
    void* received[2] = {};
    std::atomic<bool> popping{false}, returned{false};
    std::thread consumer([&] {
        popping = true;
        received[0] = pool.PopFirst();
        returned = true;
        received[1] = pool.PopFirst();
    });
    // A pop that does not wait returns null on the empty list long before this look.
    while (!popping.load()) std::this_thread::yield();
    Sleep(50);
    EXPECT_FALSE(returned.load()) << "the pop returned from an empty pool";
    pool.PushLast(chunk);
    pool.PushKill();
    consumer.join();
    EXPECT_EQ(received[0], chunk);
    EXPECT_EQ(received[1], nullptr);
    halvex::FreeChunk(chunk);
}

TEST_F(ChunkPool, DestructionFreesEveryQueuedChunkOnce) {
    {
        TChunkPool plain;
        for (int i = 0; i < 5; ++i) plain.PushLast(Chunk());
        TChunkPool counted(TChunkPool::pcCounted);
        for (int i = 0; i < 5; ++i) counted.PushFirst(Chunk());
        counted.PushKill();
        EXPECT_GE(halvex::LivePoolCount(), 2);
    }
    // TearDown checks the chunk count.
}

TEST_F(ChunkPool, DetachingTakesTheWholeListAndLeavesThePoolEmpty) {
    TChunkPool pool;
    void* a = Chunk();
    void* b = Chunk();
    pool.PushLast(a);
    pool.PushLast(b);
    halvex::TPAcqChunkLink tail = pool.DetachAll();
    ASSERT_NE(tail, nullptr);
    EXPECT_EQ(tail->pData, b);
    ASSERT_NE(tail->pPrev, nullptr);
    EXPECT_EQ(tail->pPrev->pData, a);
    EXPECT_FALSE(pool.bGotData());
    EXPECT_EQ(pool.DetachAll(), nullptr);
    TChunkPool::FreeChain(tail);
}

// ---- Bookkeeping in one hold, links reused ----------------------------------------------------

TEST_F(ChunkPool, PushWithinALimitRefusesAFullPoolAndLeavesTheChunkWithTheCaller) {
    TChunkPool pool;
    void* a = Chunk();
    void* b = Chunk();
    void* c = Chunk();
    EXPECT_TRUE(pool.PushLastWithin(a, 2));
    EXPECT_TRUE(pool.PushLastWithin(b, 2));
    EXPECT_FALSE(pool.PushLastWithin(c, 2));
    EXPECT_EQ(pool.Count(), 2u);
    EXPECT_FALSE(pool.PushLastWithin(c, 0));
    halvex::FreeChunk(c);  // still the caller's
    EXPECT_EQ(pool.PopLast(), b);
    EXPECT_EQ(pool.PopLast(), a);
    halvex::FreeChunk(a);
    halvex::FreeChunk(b);
}

TEST_F(ChunkPool, PopLastTellsHowManyChunksAreLeftAfterIt) {
    TChunkPool pool;
    void* a = Chunk();
    void* b = Chunk();
    pool.PushLast(a);
    pool.PushLast(b);
    std::size_t left = 99;
    EXPECT_EQ(pool.PopLast(&left), b);
    EXPECT_EQ(left, 1u);
    EXPECT_EQ(pool.PopLast(&left), a);
    EXPECT_EQ(left, 0u);
    EXPECT_EQ(pool.PopLast(&left), nullptr);
    EXPECT_EQ(left, 0u);
    halvex::FreeChunk(a);
    halvex::FreeChunk(b);
}

TEST_F(ChunkPool, ReusedLinksKeepBothEndsInOrderThroughAnyMixOfPushesAndPops) {
    // Against a deque: a link taken from the spares with a stale neighbour would show up as a
    // wrong chunk at one end or a wrong count. Deep enough to go past the spares kept.
    TChunkPool pool;
    std::deque<void*> model;
    std::mt19937 random(14);
    for (int step = 0; step < 4000; ++step) {
        const unsigned op = random() % 4;
        const bool grow = model.size() < 100 ? random() % 3 != 0 : random() % 3 == 0;
        if (grow || model.empty()) {
            void* chunk = Chunk();
            if (op % 2 == 0) {
                pool.PushLast(chunk);
                model.push_back(chunk);
            } else {
                pool.PushFirst(chunk);
                model.push_front(chunk);
            }
        } else if (op % 2 == 0) {
            void* chunk = pool.PopLast();
            ASSERT_EQ(chunk, model.back()) << "step " << step;
            model.pop_back();
            halvex::FreeChunk(chunk);
        } else {
            void* chunk = pool.PopFirst();
            ASSERT_EQ(chunk, model.front()) << "step " << step;
            model.pop_front();
            halvex::FreeChunk(chunk);
        }
        ASSERT_EQ(pool.Count(), model.size());
    }
    // Whatever is left goes with the pool; TearDown counts it.
}

}  // namespace
