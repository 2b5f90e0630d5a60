// Index checks, the lock runners and the export boundary.
#include <atomic>
#include <stdexcept>

#include "LibraryFixture.h"

using namespace halvex;

class CallFrameTest : public LibraryTest {
protected:
    void SetUp() override { StartDefault(); }
};

TEST_F(CallFrameTest, IndexChecksSetTheirResultAsLastError) {
    SetLastError(77);
    EXPECT_EQ(CheckBoardIndex(2), 0u);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(CheckBoardIndex(3), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(CheckBoardIndex(UINT64{1} << 40), static_cast<DWORD>(ERROR_INVALID_INDEX));

    EXPECT_EQ(CheckSequencerIndex(0, 1), 0u);
    EXPECT_EQ(CheckSequencerIndex(0, 2), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_INDEX));
    SetLastError(0);
    EXPECT_EQ(CheckSequencerIndex(3, 0), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_INDEX));
}

TEST_F(CallFrameTest, ABodyRunsAtTimeCriticalPriorityHoldingOnlyItsSequencer) {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
    int seen = 0;
    bool sequencer1Free = false;
    RunUnderSequencerLock(0, 0, [&] {
        seen = GetThreadPriority(GetCurrentThread());
        sequencer1Free = FreeForOthers(Devices[0].SequencerAcq[1].hSequencerMutex);
        EXPECT_FALSE(FreeForOthers(Devices[0].SequencerAcq[0].hSequencerMutex));
    });
    EXPECT_EQ(seen, THREAD_PRIORITY_TIME_CRITICAL);
    EXPECT_TRUE(sequencer1Free);
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_BELOW_NORMAL);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
}

TEST_F(CallFrameTest, ARaisingBodyReleasesItsLocksAndRestoresPriority) {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
    EXPECT_THROW(RunUnderSequencerLock(1, 1, [] { throw std::runtime_error("body failed"); }), std::runtime_error);
    EXPECT_TRUE(FreeForOthers(Devices[1].SequencerAcq[1].hSequencerMutex));
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_NORMAL);

    EXPECT_THROW(RunUnderBoardLock(1, [] { throw 42; }), int);
    EXPECT_TRUE(FreeForOthers(Devices[1].hThreadingMutex));
    EXPECT_TRUE(FreeForOthers(Devices[1].SequencerAcq[0].hSequencerMutex));
    EXPECT_TRUE(FreeForOthers(Devices[1].SequencerAcq[1].hSequencerMutex));
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_NORMAL);
}

TEST_F(CallFrameTest, AThreadAlreadyTimeCriticalStaysSo) {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    RunUnderBoardLock(0, [] {});
    RunUnderSequencerLock(0, 1, [] {});
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_TIME_CRITICAL);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
}

TEST_F(CallFrameTest, TheBoardLockHoldsTheBoardAndBothSequencers) {
    RunUnderBoardLock(2, [] {
        EXPECT_FALSE(FreeForOthers(Devices[2].hThreadingMutex));
        EXPECT_FALSE(FreeForOthers(Devices[2].SequencerAcq[0].hSequencerMutex));
        EXPECT_FALSE(FreeForOthers(Devices[2].SequencerAcq[1].hSequencerMutex));
        // The runners take no lock of another board.
        EXPECT_TRUE(FreeForOthers(Devices[1].hThreadingMutex));
    });
}

TEST_F(CallFrameTest, LockRunnersReturnTheirBodysResultAndExceptionsBecomeInternalError) {
    EXPECT_EQ(RunUnderSequencerLock(0, 0, [] { return DWORD{170}; }), 170u);
    EXPECT_EQ(RunUnderBoardLock(0, [] { return DWORD{0}; }), 0u);
    EXPECT_EQ(ExportBoundary([]() -> DWORD { return RunUnderSequencerLock(0, 0, []() -> DWORD { throw 1; }); }),
              static_cast<DWORD>(ERROR_INTERNAL_ERROR));
    EXPECT_EQ(ExportBoundary<WORD>(0xAA55, []() -> WORD { throw std::bad_alloc(); }), 0xAA55);
}

namespace {

class CountingThread : public TBasalThread {
public:
    explicit CountingThread(std::atomic<int>& runs) : runs_(runs) {}
    ~CountingThread() override { StopAndWait(); }

protected:
    void Execute() override {
        ++runs_;
        while (!Terminated()) Sleep(1);
        ReturnValue = 7;
    }

private:
    std::atomic<int>& runs_;
};

}  // namespace

TEST(WorkerThread, RunsOnlyWhenStartedAndEndsWhenAskedToTerminate) {
    std::atomic<int> runs{0};
    {
        CountingThread never(runs);
        Sleep(20);
        EXPECT_EQ(runs.load(), 0);
    }  // destruction lets the suspended thread run its body and waits for it
    EXPECT_EQ(runs.load(), 1);

    CountingThread started(runs);
    started.Start();
    started.Terminate();
    EXPECT_EQ(started.WaitFor(), 7u);
    EXPECT_TRUE(started.Finished());
}

namespace {

class ThrowingThread : public TBasalThread {
public:
    explicit ThrowingThread(std::atomic<int>& runs) : runs_(runs) { throw std::runtime_error("no resources"); }

protected:
    void Execute() override { ++runs_; }

private:
    std::atomic<int>& runs_;
};

}  // namespace

TEST(WorkerThread, AConstructorThatThrowsNeverRunsTheBody) {
    std::atomic<int> runs{0};
    EXPECT_THROW(ThrowingThread thread(runs), std::runtime_error);
    EXPECT_EQ(runs.load(), 0);
}
