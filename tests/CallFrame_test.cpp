// Index checks, the lock runners, the export boundary and the worker thread.
#include <atomic>
#include <stdexcept>
#include <string>

#include "Await.h"
#include "LibraryFixture.h"
#include "core/WorkerThread.h"

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
        sequencer1Free = FreeForOthers(Devices[0].hSequencerMutex[1]);
        EXPECT_FALSE(FreeForOthers(Devices[0].hSequencerMutex[0]));
    });
    EXPECT_EQ(seen, THREAD_PRIORITY_TIME_CRITICAL);
    EXPECT_TRUE(sequencer1Free);
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_BELOW_NORMAL);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
}

TEST_F(CallFrameTest, ARaisingBodyReleasesItsLocksAndRestoresPriority) {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
    EXPECT_THROW(RunUnderSequencerLock(1, 1, [] { throw std::runtime_error("body failed"); }), std::runtime_error);
    EXPECT_TRUE(FreeForOthers(Devices[1].hSequencerMutex[1]));
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_NORMAL);

    EXPECT_THROW(RunUnderBoardLock(1, [] { throw 42; }), int);
    EXPECT_TRUE(FreeForOthers(Devices[1].hThreadingMutex));
    EXPECT_TRUE(FreeForOthers(Devices[1].hSequencerMutex[0]));
    EXPECT_TRUE(FreeForOthers(Devices[1].hSequencerMutex[1]));
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
        EXPECT_FALSE(FreeForOthers(Devices[2].hSequencerMutex[0]));
        EXPECT_FALSE(FreeForOthers(Devices[2].hSequencerMutex[1]));
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

// A thread held as a member: its body waits on an event of the owner, so the owner's
// destruction has to wake it, and the member the body writes last must still exist then.
class WorkerOwner {
public:
    explicit WorkerOwner(std::atomic<int>& runs)
        : runs_(runs), wakeup_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          thread_([this] { Body(); }, [this] { SetEvent(wakeup_.Get()); }) {}
    void Start() { thread_.Start(); }
    TWorkerThread& Thread() { return thread_; }

private:
    void Body() {
        ++runs_;
        while (!thread_.StopRequested()) WaitForSingleObject(wakeup_.Get(), 5000);
        lastWords_.assign(4096, 'x');
        ++runs_;
    }

    std::atomic<int>& runs_;
    TOwnedHandle wakeup_;
    std::string lastWords_;
    TWorkerThread thread_;
};

TEST(WorkerThread, RunsItsBodyOnlyWhenStartedAndIsWokenAndJoinedBeforeTheOwnersMembersGo) {
    std::atomic<int> runs{0};
    { WorkerOwner never(runs); }
    EXPECT_EQ(runs.load(), 0);

    {
        WorkerOwner started(runs);
        started.Start();
    }  // destruction wakes the body and waits for its last step
    EXPECT_EQ(runs.load(), 2);
}

TEST(WorkerThread, TellsWhenItsThreadHasEndedSoThatJoiningItWaitsForNothing) {
    std::atomic<bool> leave{false};
    TWorkerThread thread([&] {
        while (!leave.load()) Sleep(1);
    });
    EXPECT_FALSE(thread.Ended()) << "never started";
    thread.Start();
    EXPECT_FALSE(thread.Ended()) << "its body runs";
    leave = true;
    EXPECT_TRUE(AwaitTrue([&] { return thread.Ended(); }));
}
