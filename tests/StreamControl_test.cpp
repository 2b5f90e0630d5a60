// Starting and ending acquisitions: the busy rule, the start sequence, ends in awkward places,
// failed transfers, polling and clearing, many cycles and unload; on each streaming layout.
#include <atomic>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

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

class StreamControl : public OnEachStreamLayout<StreamTest> {};
class SlowStreamControl : public OnEachStreamLayout<SlowStreamTest> {};

TEST_P(StreamControl, StartsAreRefusedWhereNoStreamCanRun) {
    EXPECT_EQ(ADC_AcquireStream(kStreamBoard, 1), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(ADC_AcquireBlock(kStreamBoard, 7, 10), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(ADC_AcquireStream(kLayout1Board, 0), static_cast<DWORD>(ERROR_BAD_DEV_TYPE));
    EXPECT_EQ(ADC_AcquireStream(5, 0), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(ADC_AcquireBlock(5, 0, 0), 0u) << "a block of no sample is no start at all";
    // The retrieval stubs still check their indices first.
    EXPECT_EQ(ADC_GetDataRaw(kStreamBoard, 2, 1, 0, nullptr), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(ADC_AcquireEnd(kStreamBoard, 0), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_TRUE(halvex::sim::Requests(kLayout1Board).size() > 0);
    EXPECT_EQ(halvex::sim::StreamStatusOf(kStreamBoard).runs, 0u);
}

TEST_P(SlowStreamControl, ABusySequencerRefusesStartsCallbacksAndConfiguration) {
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

TEST_P(StreamControl, AFinishedBlockKeepsTheSequencerBusyUntilAcquireEnd) {
    ASSERT_EQ(ADC_AcquireBlock(kStreamBoard, 0, 1), 0u);
    ASSERT_TRUE(halvex::sim::AwaitStreamStops(kStreamBoard, 1, 20000));
    EXPECT_EQ(ADC_AcquireStream(kStreamBoard, 0), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_EQ(ADC_PollData(kStreamBoard, 0), 0u) << "the block's chunk waits";
    EXPECT_EQ(ADC_AcquireEnd(kStreamBoard, 0), 0u);
    EXPECT_EQ(ADC_PollData(kStreamBoard, 0), static_cast<DWORD>(ERROR_NOT_READY));
}

TEST_P(StreamControl, ACallbackIsSetAndClearedByTagAndPointer) {
    EXPECT_EQ(ADC_SetCallback(kStreamBoard, 2, ADC_CALLBACK_RAW, nullptr), static_cast<DWORD>(ERROR_INVALID_INDEX));
    // A one-sample block: where its chunk goes shows what the start took. Without a callback
    // the acquisition collects chunks for polling; with one, it has nothing to poll.
    const auto polledAfterBlock = [] {
        EXPECT_EQ(ADC_AcquireBlock(kStreamBoard, 0, 1), 0u);
        EXPECT_EQ(HX_AcquireWait(kStreamBoard, 0, 20000), 0u);
        const DWORD polled = ADC_PollData(kStreamBoard, 0);
        EXPECT_EQ(ADC_AcquireEnd(kStreamBoard, 0), 0u);
        return polled;
    };
    ASSERT_EQ(SetCallback(ADC_CALLBACK_COUNTS), 0u);
    EXPECT_EQ(polledAfterBlock(), static_cast<DWORD>(ERROR_INVALID_FILTER_PROC));
    ASSERT_EQ(recorder_.Count(), 1u);
    EXPECT_EQ(recorder_.Deliveries()[0].counts.size(), kChunkBytes / 4);
    // A valid tag with a null function clears it, and so does the "none" tag with a function.
    ASSERT_EQ(ADC_SetCallback(kStreamBoard, 0, ADC_CALLBACK_VOLTS, nullptr), 0u);
    EXPECT_EQ(polledAfterBlock(), 0u);
    ASSERT_EQ(SetCallback(ADC_CALLBACK_RAW), 0u);
    ASSERT_EQ(ADC_SetCallback(kStreamBoard, 0, ADC_CALLBACK_NONE, reinterpret_cast<void*>(&RecordRaw)), 0u);
    EXPECT_EQ(polledAfterBlock(), 0u);
    EXPECT_EQ(recorder_.Count(), 1u);
}

TEST_P(StreamControl, TheRunStartsAndStopsTheBoardInItsOrder) {
    halvex::sim::SetRegister(kStreamBoard, 56, 0x3800);  // single-ended, stop channel 3
    halvex::sim::ClearRequests(kStreamBoard);
    ASSERT_EQ(ADC_AcquireBlock(kStreamBoard, 0, 1), 0u);
    // The engine stops at the run bit; the run's own stop byte comes after it. Only then does the
    // end's stop byte have a fixed place in the order.
    ASSERT_TRUE(AwaitTrue([] { return StopsSinceLastStart() > 0; })) << "the block never stopped the board";
    const std::size_t stopsOfTheRun = StopsSinceLastStart();
    ASSERT_EQ(ADC_AcquireEnd(kStreamBoard, 0), 0u);
    EXPECT_GT(StopsSinceLastStart(), stopsOfTheRun) << "ADC_AcquireEnd sent no stop byte of its own";

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
        "r16",  // the divisor: the rate every chunk's timing is given in
        "ctl 17",
        "in",
        "w64=16",
        "w60=" + std::to_string(control),
        "w56=" + std::to_string(control | 0x10000),
        "w56=" + std::to_string(control),  // the block ends itself
        "w64=0",
        "ctl 16",
    };
    ASSERT_GE(steps.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(steps.begin(), steps.begin() + expected.size()), expected);
    // Then stop bytes only: once more from ADC_AcquireEnd, and any resend.
    for (std::size_t i = expected.size(); i < steps.size(); ++i) EXPECT_EQ(steps[i], "ctl 16") << "step " << i;
}

TEST_P(SlowStreamControl, EndingAStreamWhileATransferIsPendingEndsItAtOnce) {
    ASSERT_EQ(ADC_AcquireStream(kStreamBoard, 0), 0u);
    ASSERT_TRUE(halvex::sim::AwaitDmaRequests(kStreamBoard, 1, 20000));
    EXPECT_EQ(ADC_PollData(kStreamBoard, 0), static_cast<DWORD>(ERROR_HANDLE_EOF));
    EXPECT_EQ(ADC_AcquireEnd(kStreamBoard, 0), 0u);
    const auto status = halvex::sim::StreamStatusOf(kStreamBoard);
    EXPECT_FALSE(status.running);
    EXPECT_EQ(status.completed, 0u) << "the stop byte, not a filled chunk, ended the transfer";
    EXPECT_GE(StopsSinceLastStart(), 2u) << "from the destructor and from the run";
}

TEST_P(SlowStreamControl, PollingAndClearingFollowTheChunksWaiting) {
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

TEST_P(SlowStreamControl, AnAcquisitionWithACallbackHasNothingToPoll) {
    ASSERT_EQ(SetCallback(ADC_CALLBACK_VOLTS), 0u);
    ASSERT_EQ(ADC_AcquireStream(kStreamBoard, 0), 0u);
    EXPECT_EQ(ADC_PollData(kStreamBoard, 0), static_cast<DWORD>(ERROR_INVALID_FILTER_PROC));
    EXPECT_EQ(ADC_ClearData(kStreamBoard, 0), static_cast<DWORD>(ERROR_INVALID_FILTER_PROC));
    EXPECT_EQ(EndAndDrain(), 0u);
}

TEST_P(SlowStreamControl, ATransferFailureMidStreamEndsTheRunAndTheEndStillSucceeds) {
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

TEST_P(SlowStreamControl, ARunTheDriverNeverEndsIsCancelledAndTheSequencerRefusesStartsUntilItIsGone) {
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
    // Once the run has sent its own stop byte it waits for the driver a while before it
    // cancels: meanwhile a start from another thread would run and be stopped by the old run.
    ASSERT_TRUE(AwaitTrue([] { return StopsSinceLastStart() >= 2; })) << "from the destructor and from the run";
    EXPECT_FALSE(ended.load());
    EXPECT_EQ(ADC_AcquireStream(kStreamBoard, 0), static_cast<DWORD>(ERROR_BUSY));
    ender.join();
    EXPECT_EQ(halvex::sim::PendingDmaRequests(kStreamBoard), 0u) << "the transfer was cancelled";
    halvex::sim::ClearFailures(kStreamBoard);
    EXPECT_EQ(ADC_AcquireStream(kStreamBoard, 0), 0u) << "free once the end returned";
}

TEST_P(StreamControl, AThousandStartsAndEndsLeaveNoThreadPoolOrChunkBehind) {
    ASSERT_EQ(SetCallback(ADC_CALLBACK_RAW), 0u);
    for (int i = 0; i < 1000; ++i) {
        const bool withCallback = i % 2 == 0;
        ASSERT_EQ(SetCallback(withCallback ? ADC_CALLBACK_RAW : ADC_CALLBACK_NONE), 0u);
        ASSERT_EQ(i % 3 == 0 ? ADC_AcquireBlock(kStreamBoard, 0, 300) : ADC_AcquireStream(kStreamBoard, 0), 0u)
            << "cycle " << i << (withCallback ? " with" : " without") << " a callback";
        ASSERT_EQ(ADC_AcquireEnd(kStreamBoard, 0), 0u) << "cycle " << i;
    }
    // A start joins the callback threads of earlier runs that have drained: they do not pile
    // up until unload. TearDown counts what unload leaves.
    EXPECT_LT(halvex::LiveStreamThreadCount(), 50);
}

TEST_P(StreamControl, UnloadEndsARunningAcquisitionAndItsCallbackThread) {
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

TEST_P(StreamControl, UnloadDropsTheChunksQueuedForACallbackAndFinishesOnlyTheOneInProgress) {
    std::atomic<bool> inFirst{false};
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(release, nullptr);
    recorder_.onDelivery = [&] {
        if (recorder_.Count() != 1) return;
        inFirst = true;
        WaitForSingleObject(release, 20000);
    };
    ASSERT_EQ(SetCallback(ADC_CALLBACK_RAW), 0u);
    ASSERT_EQ(ADC_AcquireStream(kStreamBoard, 0), 0u);
    ASSERT_TRUE(AwaitTrue([&] { return inFirst.load() && Status().ChunksQueued >= 5; }));
    std::thread unload([] { HxTestLibraryDetach(); });
    // The run is stopped only after the queue was marked to be dropped.
    EXPECT_TRUE(AwaitTrue([] { return !halvex::sim::StreamStatusOf(kStreamBoard).running; }));
    SetEvent(release);
    unload.join();
    CloseHandle(release);
    EXPECT_EQ(recorder_.Count(), 1u) << "chunks queued at unload were delivered";
}

INSTANTIATE_TEST_SUITE_P(EachLayout, StreamControl, StreamLayouts(), StreamLayoutName);
INSTANTIATE_TEST_SUITE_P(EachLayout, SlowStreamControl, StreamLayouts(), StreamLayoutName);

}  // namespace
