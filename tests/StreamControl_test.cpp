// Starting and ending acquisitions: the busy rule, the start sequence, ends in awkward places,
// failed transfers, polling and clearing, many cycles and unload.
#include <algorithm>
#include <atomic>
#include <thread>

#include "StreamFixture.h"

namespace {

using halvex::sim::DmaPacing;
using halvex::sim::FailKind;
using halvex::sim::Failure;

// A stream whose first chunk takes long: 64 KiB at 1000 samples per second.
class SlowStreamTest : public StreamTest {
protected:
    void SetUp() override {
        StreamTest::SetUp();
        halvex::sim::SetDmaPacing(kStreamBoard, DmaPacing::RealTime);
        SetChunkBytes(65536);
        ASSERT_EQ(ADC_SetRate(kStreamBoard, 0, 1000), 0u);
    }
};

TEST_F(StreamTest, StartsAreRefusedWhereNoStreamCanRun) {
    EXPECT_EQ(ADC_AcquireStream(kStreamBoard, 1), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(ADC_AcquireBlock(kStreamBoard, 7, 10), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(ADC_AcquireStream(kLayout1Board, 0), static_cast<DWORD>(ERROR_BAD_DEV_TYPE));
    EXPECT_EQ(ADC_AcquireStream(5, 0), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(ADC_AcquireBlock(5, 0, 0), 0u) << "a block of no sample is no start at all";
    EXPECT_EQ(ADC_ConfigureAcquire(5, 9, 1, 2), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    for (DWORD s : {0u, 1u}) {
        EXPECT_EQ(ADC_GetDataV(kStreamBoard, s, 1, 0, nullptr, nullptr, nullptr), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
        EXPECT_EQ(ADC_GetDataCounts(kStreamBoard, s, 1, 0, nullptr, nullptr, nullptr),
                  static_cast<DWORD>(ERROR_NOT_SUPPORTED));
        EXPECT_EQ(ADC_GetDataRaw(kStreamBoard, s, 1, 0, nullptr), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    }
    EXPECT_EQ(ADC_GetDataRaw(kStreamBoard, 2, 1, 0, nullptr), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(ADC_AcquireEnd(kStreamBoard, 0), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_TRUE(halvex::sim::Requests(kLayout1Board).size() > 0);
    EXPECT_EQ(halvex::sim::StreamStatusOf(kStreamBoard).runs, 0u);
}

TEST_F(SlowStreamTest, ABusySequencerRefusesStartsCallbacksAndConfiguration) {
    ASSERT_EQ(ADC_AcquireStream(kStreamBoard, 0), 0u);
    EXPECT_EQ(ADC_AcquireStream(kStreamBoard, 0), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_EQ(ADC_AcquireBlock(kStreamBoard, 0, 10), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_EQ(SetCallback(ADC_CALLBACK_RAW), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_EQ(ADC_SetCallback(kStreamBoard, 0, 0x12345678, nullptr), static_cast<DWORD>(ERROR_INVALID_HOOK_FILTER));
    EXPECT_EQ(ADC_SetRate(kStreamBoard, 0, 500), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_EQ(ADC_SetCallback(kStreamBoard, 1, ADC_CALLBACK_RAW, reinterpret_cast<void*>(&RecordRaw)), 0u)
        << "sequencer 1 is not busy";
    EXPECT_EQ(ADC_AcquireEnd(kStreamBoard, 0), 0u);
    EXPECT_EQ(ADC_AcquireEnd(kStreamBoard, 0), static_cast<DWORD>(ERROR_NOT_READY));
}

TEST_F(StreamTest, AFinishedBlockKeepsTheSequencerBusyUntilAcquireEnd) {
    ASSERT_EQ(ADC_AcquireBlock(kStreamBoard, 0, 1), 0u);
    ASSERT_TRUE(halvex::sim::AwaitStreamStops(kStreamBoard, 1, 20000));
    EXPECT_EQ(ADC_AcquireStream(kStreamBoard, 0), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_EQ(ADC_PollData(kStreamBoard, 0), 0u) << "the block's chunk waits";
    EXPECT_EQ(ADC_AcquireEnd(kStreamBoard, 0), 0u);
    EXPECT_EQ(ADC_PollData(kStreamBoard, 0), static_cast<DWORD>(ERROR_NOT_READY));
}

TEST_F(StreamTest, ACallbackIsSetAndClearedByTagAndPointer) {
    EXPECT_EQ(ADC_SetCallback(kStreamBoard, 2, ADC_CALLBACK_RAW, nullptr), static_cast<DWORD>(ERROR_INVALID_INDEX));
    ASSERT_EQ(SetCallback(ADC_CALLBACK_COUNTS), 0u);
    EXPECT_EQ(halvex::Devices[kStreamBoard].SequencerAcq[0].CallbackType, ADC_CALLBACK_COUNTS);
    // A valid tag with a null function clears it, and so does the "none" tag with a function.
    ASSERT_EQ(ADC_SetCallback(kStreamBoard, 0, ADC_CALLBACK_VOLTS, nullptr), 0u);
    EXPECT_EQ(halvex::Devices[kStreamBoard].SequencerAcq[0].CallbackType, ADC_CALLBACK_NONE);
    ASSERT_EQ(SetCallback(ADC_CALLBACK_RAW), 0u);
    ASSERT_EQ(ADC_SetCallback(kStreamBoard, 0, ADC_CALLBACK_NONE, reinterpret_cast<void*>(&RecordRaw)), 0u);
    EXPECT_EQ(halvex::Devices[kStreamBoard].SequencerAcq[0].pCallback, nullptr);
    // Without a callback the acquisition collects chunks for polling.
    ASSERT_EQ(ADC_AcquireBlock(kStreamBoard, 0, 1), 0u);
    ASSERT_TRUE(halvex::sim::AwaitStreamStops(kStreamBoard, 1, 20000));
    EXPECT_EQ(ADC_PollData(kStreamBoard, 0), 0u);
    EXPECT_EQ(recorder_.Count(), 0u);
}

TEST_F(StreamTest, TheRunStartsAndStopsTheBoardInItsOrder) {
    halvex::sim::SetRegister(kStreamBoard, 56, 0x3800);  // single-ended, stop channel 3
    halvex::sim::ClearRequests(kStreamBoard);
    ASSERT_EQ(ADC_AcquireBlock(kStreamBoard, 0, 1), 0u);
    // The engine stops at the run bit; the run's own stop byte comes after it. Only then does the
    // end's stop byte have a fixed place in the order.
    const auto stopBytes = [] {
        int count = 0;
        for (const auto& r : halvex::sim::Requests(kStreamBoard))
            count += r.code == halvex::sim::kIoctlDmaPiongControl && r.input.at(0) == 0x10;
        return count;
    };
    for (int waited = 0; stopBytes() == 0 && waited < 20000; ++waited) Sleep(1);
    ASSERT_EQ(stopBytes(), 1);
    ASSERT_EQ(ADC_AcquireEnd(kStreamBoard, 0), 0u);

    const uint32_t control = 0x3800 | 0x20020;
    std::vector<std::string> steps;
    for (const auto& r : halvex::sim::Requests(kStreamBoard)) {
        if (r.code == halvex::sim::kIoctlDmaPiongControl) steps.push_back("ctl " + std::to_string(r.input.at(0)));
        if (r.code == halvex::sim::kIoctlDmaPiongIn) steps.push_back("in");
        if (r.code == halvex::sim::kIoctlRegWrite)
            steps.push_back("w" + std::to_string(r.Offset()) + "=" + std::to_string(r.Value()));
        if (r.code == halvex::sim::kIoctlRegRead) steps.push_back("r" + std::to_string(r.Offset()));
    }
    const std::vector<std::string> expected = {
        "r32",  // chunk size, before the lock
        "r56",  // the control word
        "r32",  // chunk size again, by the run
        "ctl 17",
        "in",
        "w64=16",
        "w60=" + std::to_string(control),
        "w56=" + std::to_string(control | 0x10000),
        "w56=" + std::to_string(control),  // the block ends itself
        "w64=0",
        "ctl 16",
        "ctl 16",  // once more from ADC_AcquireEnd
    };
    EXPECT_EQ(steps, expected);
}

TEST_F(SlowStreamTest, EndingAStreamWhileATransferIsPendingEndsItAtOnce) {
    ASSERT_EQ(ADC_AcquireStream(kStreamBoard, 0), 0u);
    ASSERT_TRUE(halvex::sim::AwaitDmaRequests(kStreamBoard, 1, 20000));
    EXPECT_EQ(ADC_PollData(kStreamBoard, 0), static_cast<DWORD>(ERROR_HANDLE_EOF));
    EXPECT_EQ(ADC_AcquireEnd(kStreamBoard, 0), 0u);
    const auto status = halvex::sim::StreamStatusOf(kStreamBoard);
    EXPECT_FALSE(status.running);
    EXPECT_EQ(status.completed, 0u) << "the stop byte, not a filled chunk, ended the transfer";
    const auto bytes = ControlBytes();
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 0x10), 2) << "from the destructor and from the run";
}

TEST_F(SlowStreamTest, PollingAndClearingFollowTheChunksWaiting) {
    EXPECT_EQ(ADC_PollData(kStreamBoard, 0), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_EQ(ADC_ClearData(kStreamBoard, 0), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_EQ(ADC_PollData(kStreamBoard, 1), static_cast<DWORD>(ERROR_NOT_READY));
    ASSERT_EQ(ADC_AcquireStream(kStreamBoard, 0), 0u);
    EXPECT_EQ(ADC_PollData(kStreamBoard, 0), static_cast<DWORD>(ERROR_HANDLE_EOF));
    EXPECT_EQ(ADC_ClearData(kStreamBoard, 0), static_cast<DWORD>(ERROR_HANDLE_EOF));
    // Two chunks filled by hand; the stream goes on after each.
    for (int i = 1; i <= 2; ++i) {
        ASSERT_TRUE(halvex::sim::AwaitDmaRequests(kStreamBoard, 1, 20000));
        ASSERT_TRUE(halvex::sim::CompleteDmaRequest(kStreamBoard, std::vector<uint8_t>(65536, 0)));
    }
    ASSERT_TRUE(halvex::sim::AwaitDmaRequests(kStreamBoard, 1, 20000));  // the third is queued
    EXPECT_EQ(ADC_PollData(kStreamBoard, 0), 0u);
    EXPECT_EQ(ADC_ClearData(kStreamBoard, 0), 0u);
    EXPECT_EQ(ADC_ClearData(kStreamBoard, 0), static_cast<DWORD>(ERROR_HANDLE_EOF));
    EXPECT_EQ(ADC_PollData(kStreamBoard, 0), static_cast<DWORD>(ERROR_HANDLE_EOF));
    EXPECT_EQ(ADC_AcquireEnd(kStreamBoard, 0), 0u);
}

TEST_F(SlowStreamTest, AnAcquisitionWithACallbackHasNothingToPoll) {
    ASSERT_EQ(SetCallback(ADC_CALLBACK_VOLTS), 0u);
    ASSERT_EQ(ADC_AcquireStream(kStreamBoard, 0), 0u);
    EXPECT_EQ(ADC_PollData(kStreamBoard, 0), static_cast<DWORD>(ERROR_INVALID_FILTER_PROC));
    EXPECT_EQ(ADC_ClearData(kStreamBoard, 0), static_cast<DWORD>(ERROR_INVALID_FILTER_PROC));
    EXPECT_EQ(EndAndDrain(), 0u);
}

TEST_F(SlowStreamTest, ATransferFailureMidStreamEndsTheRunAndTheEndStillSucceeds) {
    ASSERT_EQ(SetCallback(ADC_CALLBACK_RAW), 0u);
    ASSERT_EQ(ADC_AcquireStream(kStreamBoard, 0), 0u);
    ASSERT_TRUE(halvex::sim::AwaitDmaRequests(kStreamBoard, 1, 20000));
    halvex::sim::FailRequests(kStreamBoard, halvex::sim::kIoctlDmaPiongIn, Failure{FailKind::Now, 23, 0, 1});
    ASSERT_TRUE(halvex::sim::CompleteDmaRequest(kStreamBoard, std::vector<uint8_t>(65536, 0)));
    // The next request fails at once: the run stops the board by itself.
    ASSERT_TRUE(halvex::sim::AwaitStreamStops(kStreamBoard, 1, 20000));
    ASSERT_TRUE(recorder_.WaitFor(1));
    EXPECT_EQ(ADC_AcquireStream(kStreamBoard, 0), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_EQ(EndAndDrain(), 0u);
    EXPECT_EQ(ADC_AcquireEnd(kStreamBoard, 0), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_EQ(recorder_.Count(), 1u);
}

TEST_F(SlowStreamTest, ARunTheDriverNeverEndsIsCancelledAndTheSequencerRefusesStartsUntilItIsGone) {
    // Stop bytes fail, so the pending transfer outlives the stop until it is cancelled.
    ASSERT_EQ(ADC_AcquireStream(kStreamBoard, 0), 0u);
    ASSERT_TRUE(halvex::sim::AwaitDmaRequests(kStreamBoard, 1, 20000));
    halvex::sim::FailRequests(kStreamBoard, halvex::sim::kIoctlDmaPiongControl,
                              {FailKind::Now, ERROR_GEN_FAILURE, 0, -1});
    halvex::sim::FailRequests(kStreamBoard, halvex::sim::kIoctlRegWrite, {FailKind::Now, ERROR_GEN_FAILURE, 0, -1});
    std::atomic<bool> ended{false};
    std::thread ender([&] {
        EXPECT_EQ(ADC_AcquireEnd(kStreamBoard, 0), 0u);
        ended = true;
    });
    // The end waits for the driver a while before it cancels: meanwhile a start from another
    // thread would run and be stopped by the old run.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(ended.load());
    EXPECT_EQ(ADC_AcquireStream(kStreamBoard, 0), static_cast<DWORD>(ERROR_BUSY));
    ender.join();
    EXPECT_EQ(halvex::sim::PendingDmaRequests(kStreamBoard), 0u) << "the transfer was cancelled";
    halvex::sim::ClearFailures(kStreamBoard);
    EXPECT_EQ(ADC_AcquireStream(kStreamBoard, 0), 0u) << "free once the end returned";
}

TEST_F(StreamTest, AThousandStartsAndEndsLeaveNoThreadPoolOrChunkBehind) {
    ASSERT_EQ(SetCallback(ADC_CALLBACK_RAW), 0u);
    for (int i = 0; i < 1000; ++i) {
        const bool withCallback = i % 2 == 0;
        ASSERT_EQ(SetCallback(withCallback ? ADC_CALLBACK_RAW : ADC_CALLBACK_NONE), 0u);
        ASSERT_EQ(i % 3 == 0 ? ADC_AcquireBlock(kStreamBoard, 0, 300) : ADC_AcquireStream(kStreamBoard, 0), 0u)
            << "cycle " << i << (withCallback ? " with" : " without") << " a callback";
        ASSERT_EQ(ADC_AcquireEnd(kStreamBoard, 0), 0u) << "cycle " << i;
    }
    // TearDown counts what is left once the last callback threads have drained.
}

TEST_F(StreamTest, UnloadEndsARunningAcquisitionAndItsCallbackThread) {
    ASSERT_EQ(SetCallback(ADC_CALLBACK_VOLTS), 0u);
    ASSERT_EQ(ADC_AcquireStream(kStreamBoard, 0), 0u);
    ASSERT_TRUE(recorder_.WaitFor(3));
    HxTestLibraryDetach();
    // Nothing may run on after unload: the callback thread is gone, not just told to go.
    EXPECT_EQ(halvex::LiveStreamThreadCount(), 0);
    const std::size_t calls = recorder_.Count();
    EXPECT_FALSE(halvex::sim::StreamStatusOf(kStreamBoard).running);
    EXPECT_EQ(recorder_.Count(), calls);
}

}  // namespace
