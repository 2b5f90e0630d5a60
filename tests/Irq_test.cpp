// Interrupt wait, poll and abort against the simulated board's interrupt.
#include "LibraryFixture.h"

#include <halvex/sim_c.h>

#include <atomic>
#include <future>
#include <thread>

#include "ChildProcess.h"
#include "sim/Bus.h"

namespace sim = halvex::sim;

namespace {

constexpr DWORD kGuardMs = 10'000;  // a guard against a hang, never a synchronisation

struct WaitOutcome {
    DWORD result = 0xFFFF;
    DWORD lastError = 0xFFFF;
};

class Irq : public LibraryTest {
protected:
    void SetUp() override {
        Start({Board(0x805C), Board(0x80E8, 0x00010002)});
        sim::ClearRequests(0);
        sim::ClearRequests(1);
    }

    // PIO_WaitForIRQ on a thread of its own, with the last error it leaves.
    static std::future<WaitOutcome> WaitOnThread(UINT64 board = 0) {
        return std::async(std::launch::async, [board] {
            WaitOutcome outcome;
            outcome.result = PIO_WaitForIRQ(board);
            outcome.lastError = GetLastError();
            return outcome;
        });
    }

    // Starts a waiting thread and returns once its request is pending at the board.
    static std::future<WaitOutcome> BlockedWait() {
        auto waiting = WaitOnThread();
        EXPECT_TRUE(sim::AwaitInterruptWaits(0, 1, kGuardMs));
        return waiting;
    }

    // A wait still blocked after the guard fails the test and is freed by the board's interrupt,
    // so the failure does not hang the test program.
    static WaitOutcome Finish(std::future<WaitOutcome>& waiting, std::size_t board = 0) {
        if (waiting.wait_for(std::chrono::milliseconds(kGuardMs)) != std::future_status::ready) {
            ADD_FAILURE() << "the wait did not end";
            sim::RaiseInterrupt(board);
        }
        return waiting.get();
    }
};

}  // namespace

TEST_F(Irq, ABadBoardIndexIsRefusedWithoutARequestOrAnEvent) {
    EXPECT_EQ(PIO_WaitForIRQ(2), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(PIO_PollForIRQ(2), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(PIO_AbortIRQWait(~0ull), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_TRUE(sim::Requests(0).empty());
    EXPECT_TRUE(sim::Requests(1).empty());
    EXPECT_TRUE(sim::InterruptWaitEvents(0).empty());
}

TEST_F(Irq, AnInterruptAlreadyRaisedEndsTheWaitAtOnce) {
    sim::RaiseInterrupt(0);
    EXPECT_EQ(PIO_WaitForIRQ(0), 0u);
    EXPECT_EQ(GetLastError(), 0u);
    const auto log = sim::Requests(0);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].code, sim::kIoctlWaitForIrq);
    EXPECT_TRUE(log[0].input.empty());
    EXPECT_EQ(log[0].outSize, 0u);
    EXPECT_TRUE(log[0].overlapped);
}

TEST_F(Irq, ABlockedWaitReturnsWhenTheInterruptIsRaised) {
    auto waiting = BlockedWait();
    sim::RaiseInterrupt(0);
    EXPECT_EQ(Finish(waiting).result, 0u);
}

TEST_F(Irq, ABlockedWaitReturnsAfterAnAbortFromAnotherThread) {
    auto waiting = BlockedWait();
    EXPECT_EQ(PIO_AbortIRQWait(0), 0u);
    const WaitOutcome outcome = Finish(waiting);
    EXPECT_EQ(outcome.result, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(sim::PendingInterruptWaits(0), 0u);
}

TEST_F(Irq, ACompletionWithNoMoreFilesCountsAsSatisfiedAndStaysTheLastError) {
    sim::SetInterruptCompletion(0, ERROR_NO_MORE_FILES, ERROR_NO_MORE_FILES);
    auto raised = BlockedWait();
    sim::RaiseInterrupt(0);
    WaitOutcome outcome = Finish(raised);
    EXPECT_EQ(outcome.result, 0u);
    EXPECT_EQ(outcome.lastError, static_cast<DWORD>(ERROR_NO_MORE_FILES));

    auto aborted = BlockedWait();
    ASSERT_EQ(PIO_AbortIRQWait(0), 0u);
    outcome = Finish(aborted);
    EXPECT_EQ(outcome.result, 0u);
}

// A driver that ignores the abort, or refuses it, leaves the waits to the library: it cancels
// the ones in flight and they return 995; the next interrupt is not lost to them.
TEST_F(Irq, AnAbortTheDriverIgnoresOrRefusesStillEndsTheWaitsInFlight) {
    sim::IgnoreInterruptAbort(0, true);
    sim::SetInterruptCompletion(0, ERROR_SUCCESS, ERROR_SEM_TIMEOUT);  // what an ended abort would give
    std::vector<std::future<WaitOutcome>> waiting;
    for (int i = 0; i < 2; ++i) waiting.push_back(WaitOnThread());
    ASSERT_TRUE(sim::AwaitInterruptWaits(0, 2, kGuardMs));
    auto other = WaitOnThread(1);
    ASSERT_TRUE(sim::AwaitInterruptWaits(1, 1, kGuardMs));
    const uint64_t cancelled = sim::Bus::Instance().Cancellations();

    EXPECT_EQ(PIO_AbortIRQWait(0), 0u);
    EXPECT_EQ(GetLastError(), 0u);  // as the abort request left it
    for (auto& wait : waiting) EXPECT_EQ(Finish(wait).result, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(sim::Bus::Instance().Cancellations(), cancelled + 2);
    EXPECT_EQ(sim::PendingInterruptWaits(1), 1u);  // another board's wait is its own
    sim::RaiseInterrupt(0);
    EXPECT_EQ(PIO_PollForIRQ(0), 0u);

    sim::FailRequests(0, sim::kIoctlAbortIrqWait, {sim::FailKind::Now, ERROR_INVALID_FUNCTION, 0, 1});
    auto refused = BlockedWait();
    EXPECT_EQ(PIO_AbortIRQWait(0), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(Finish(refused).result, static_cast<DWORD>(ERROR_OPERATION_ABORTED));

    sim::RaiseInterrupt(1);
    EXPECT_EQ(Finish(other, 1).result, 0u);
}

// Unload with a wait in flight whose driver ignores the abort: the library cancels the wait
// rather than leave it to the handle's close, which a driver need not honour either.
TEST(IrqUnload, AWaitTheDriverKeepsDoesNotHoldUpTheUnload) {
    const int exitCode = RunChildCase("IrqUnloadChild.DISABLED_Run", "unload", 30'000);
    EXPECT_NE(exitCode, kChildTimedOut) << "the unload hung";
    EXPECT_EQ(exitCode, 0) << "see the child's output above";
}

TEST(IrqUnloadChild, DISABLED_Run) {
    ASSERT_EQ(ChildCaseName(), "unload") << "run by IrqUnload only";
    sim::Reset();
    sim::BoardSetup setup;
    setup.deviceId = 0x805C;
    sim::AddBoard(setup);
    HxTestLibraryStart();
    ASSERT_EQ(HXSIM_IgnoreInterruptAbort(0, TRUE), 0u);
    std::atomic<DWORD> result{0xFFFF};
    std::thread waiter([&] { result = PIO_WaitForIRQ(0); });
    const bool pending = sim::AwaitInterruptWaits(0, 1, kGuardMs);
    const uint64_t cancelled = sim::Bus::Instance().Cancellations();
    HxTestLibraryDetach();
    waiter.join();
    ASSERT_TRUE(pending);
    EXPECT_EQ(result.load(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(sim::Bus::Instance().Cancellations(), cancelled + 1);
    sim::Reset();
}

TEST_F(Irq, AnyOtherCompletionCodeIsHandedOn) {
    sim::SetInterruptCompletion(0, ERROR_SEM_TIMEOUT, ERROR_SUCCESS);
    auto raised = BlockedWait();
    sim::RaiseInterrupt(0);
    EXPECT_EQ(Finish(raised).result, static_cast<DWORD>(ERROR_SEM_TIMEOUT));

    auto aborted = BlockedWait();
    ASSERT_EQ(PIO_AbortIRQWait(0), 0u);
    EXPECT_EQ(Finish(aborted).result, 0u);
}

TEST_F(Irq, ARefusalWithoutACodeBecomesGeneralFailure) {
    sim::FailRequests(0, sim::kIoctlWaitForIrq, {sim::FailKind::Now, 0, 0, 1});
    EXPECT_EQ(PIO_WaitForIRQ(0), static_cast<DWORD>(ERROR_GEN_FAILURE));
    sim::FailRequests(0, sim::kIoctlWaitForIrq, {sim::FailKind::Now, ERROR_ACCESS_DENIED, 0, 1});
    EXPECT_EQ(PIO_WaitForIRQ(0), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(Irq, SeveralThreadsWaitOnOneBoardAtOnce) {
    std::vector<std::future<WaitOutcome>> waiting;
    for (int i = 0; i < 4; ++i) waiting.push_back(WaitOnThread());
    ASSERT_TRUE(sim::AwaitInterruptWaits(0, 4, kGuardMs));
    // The other board's waits are its own.
    auto other = WaitOnThread(1);
    ASSERT_TRUE(sim::AwaitInterruptWaits(1, 1, kGuardMs));

    sim::RaiseInterrupt(0);
    for (auto& wait : waiting) EXPECT_EQ(Finish(wait).result, 0u);
    EXPECT_EQ(sim::PendingInterruptWaits(1), 1u);
    ASSERT_EQ(PIO_AbortIRQWait(1), 0u);
    EXPECT_EQ(Finish(other, 1).result, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}

TEST_F(Irq, ATimerOnTheBoardEndsWaitsOverAndOver) {
    sim::StartInterruptTimer(0, 1);
    for (int i = 0; i < 5; ++i) {
        auto waiting = WaitOnThread();
        EXPECT_EQ(Finish(waiting).result, 0u);
    }
    sim::StopInterruptTimer(0);
}

TEST_F(Irq, PollAndAbortSendNoBuffersAndReturnTheDriversAnswer) {
    EXPECT_EQ(PIO_PollForIRQ(0), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
    sim::RaiseInterrupt(0);
    EXPECT_EQ(PIO_PollForIRQ(0), 0u);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(PIO_AbortIRQWait(0), 0u);
    sim::FailRequests(0, sim::kIoctlAbortIrqWait, {sim::FailKind::Now, 0, 0, 1});
    EXPECT_EQ(PIO_AbortIRQWait(0), static_cast<DWORD>(ERROR_GEN_FAILURE));
    for (const sim::Request& request : sim::Requests(0)) {
        EXPECT_TRUE(request.input.empty());
        EXPECT_EQ(request.outSize, 0u);
        EXPECT_FALSE(request.overlapped);
    }
}

// Every way out of a wait closes the event the call made: handles of the Win32 layer never
// repeat, so a closed event stays invalid; on Windows nothing else creates handles meanwhile.
TEST_F(Irq, EveryWaitClosesItsEvent) {
    for (int i = 0; i < 50; ++i) {
        sim::RaiseInterrupt(0);
        ASSERT_EQ(PIO_WaitForIRQ(0), 0u);  // answered at once
    }
    sim::SetInterruptCompletion(0, ERROR_NO_MORE_FILES, ERROR_OPERATION_ABORTED);
    for (int i = 0; i < 50; ++i) {
        sim::RaiseInterrupt(0);
        ASSERT_EQ(PIO_WaitForIRQ(0), 0u);  // pending, then completed
    }
    sim::FailRequests(0, sim::kIoctlWaitForIrq, {sim::FailKind::Now, ERROR_ACCESS_DENIED, 0, 50});
    for (int i = 0; i < 50; ++i) ASSERT_EQ(PIO_WaitForIRQ(0), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    const auto events = sim::InterruptWaitEvents(0);
    ASSERT_EQ(events.size(), 100u);  // the refused ones never reached the interrupt
    for (const HANDLE event : events) {
        ASSERT_NE(event, nullptr);
        EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_FAILED));
    }
}
