// A callback whose thread is ended by its runtime (pthread_exit; an interpreter shutting down
// does the same) unwinds through the library: the run ends as after a failed transfer, its
// record settles, and the next run goes on as ever. A catch-all that swallowed the unwind
// would abort the process, so the case runs in a child with a deadline.
#include <pthread.h>

#include <atomic>

#include "ChildProcess.h"
#include "StreamFixture.h"

namespace {

std::atomic<int> calls{0};
std::atomic<bool> endThread{false};

void WINAPI EndsItsThread(UINT64, DWORD, DWORD, DWORD*) {
    if (calls.fetch_add(1) == 2 && endThread.load()) pthread_exit(nullptr);
}

}  // namespace

class ForcedUnwindChild : public StreamTest {};

TEST_F(ForcedUnwindChild, DISABLED_Run) {
    endThread = true;
    ASSERT_EQ(ADC_SetCallback(kStreamBoard, 0, ADC_CALLBACK_RAW, reinterpret_cast<void*>(&EndsItsThread)), 0u);
    ASSERT_EQ(ADC_AcquireStream(kStreamBoard, 0), 0u);
    ASSERT_EQ(HX_AcquireWait(kStreamBoard, 0, 20000), 0u) << "the run did not end with its callback's thread";
    HX_ACQUIRE_STATUS status{};
    status.Size = sizeof status;
    ASSERT_EQ(HX_AcquireStatus(kStreamBoard, 0, &status), 0u);
    EXPECT_EQ(status.RunEnded, 1u);
    EXPECT_EQ(status.LastFailure, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(status.FailedTransfers, 1u);
    EXPECT_EQ(status.ChunksDelivered, 2u);
    EXPECT_EQ(ADC_AcquireEnd(kStreamBoard, 0), 0u);

    // Nothing else was disturbed: the next run delivers.
    endThread = false;
    calls = 0;
    ASSERT_EQ(ADC_AcquireStream(kStreamBoard, 0), 0u);
    EXPECT_TRUE(AwaitTrue([] { return calls.load() >= 5; }));
    EXPECT_EQ(ADC_AcquireEnd(kStreamBoard, 0), 0u);
    // The fixture's end checks that no thread, pool or chunk was left behind.
}

TEST(ForcedUnwind, ACallbackEndedByItsRuntimeEndsTheRunAndNothingElse) {
    const int exitCode = RunChildCase("ForcedUnwindChild.DISABLED_Run", "pthread_exit", 30000);
    EXPECT_NE(exitCode, kChildTimedOut) << "hung";
    EXPECT_EQ(exitCode, 0) << "see the child's output above";
}
