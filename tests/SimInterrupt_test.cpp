// The simulated interrupt, ping-pong requests and DAC command register at the driver port,
// without the library.
#include "SimFixture.h"

#include <cmath>

namespace sim = halvex::sim;
namespace port = halvex::port;

namespace {

constexpr DWORD kGuardMs = 10'000;

// One overlapped request with its own event.
struct Pending {
    Pending() {
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        EXPECT_NE(overlapped.hEvent, nullptr);
    }
    ~Pending() { CloseHandle(overlapped.hEvent); }
    Pending(const Pending&) = delete;
    Pending& operator=(const Pending&) = delete;

    bool Done() const { return WaitForSingleObject(overlapped.hEvent, 0) == WAIT_OBJECT_0; }
    // The completion code: 0 for success.
    DWORD Code(HANDLE handle) {
        DWORD bytes = 0;
        return GetOverlappedResult(handle, &overlapped, &bytes, TRUE) ? 0 : GetLastError();
    }

    OVERLAPPED overlapped{};
};

class SimInterrupt : public SimBusTest {
protected:
    void SetUp() override {
        SimBusTest::SetUp();
        sim::AddBoard(Setup(0x805C));
        handle = OpenBoard(0);
        second = OpenBoard(0);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        ASSERT_NE(second, INVALID_HANDLE_VALUE);
    }

    static BOOL Wait(HANDLE on, Pending& pending) {
        return port::Control(on, sim::kIoctlWaitForIrq, nullptr, 0, nullptr, 0, nullptr, &pending.overlapped);
    }

    static DWORD Simple(HANDLE on, DWORD code) {
        DWORD bytes = 0;
        return port::Control(on, code, nullptr, 0, nullptr, 0, &bytes, nullptr) ? 0 : GetLastError();
    }

    HANDLE handle = INVALID_HANDLE_VALUE;
    HANDLE second = INVALID_HANDLE_VALUE;
};

}  // namespace

TEST_F(SimInterrupt, RaisingEndsEveryPendingWaitOnEveryHandle) {
    Pending a, b, c;
    ASSERT_FALSE(Wait(handle, a));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_FALSE(Wait(handle, b));
    ASSERT_FALSE(Wait(second, c));
    EXPECT_EQ(sim::PendingInterruptWaits(0), 3u);
    EXPECT_FALSE(a.Done() || b.Done() || c.Done());

    sim::RaiseInterrupt(0);
    EXPECT_EQ(a.Code(handle), 0u);
    EXPECT_EQ(b.Code(handle), 0u);
    EXPECT_EQ(c.Code(second), 0u);
    // Nobody was left waiting, so nothing is kept for a poll.
    EXPECT_EQ(Simple(handle, sim::kIoctlPollForIrq), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
}

TEST_F(SimInterrupt, AnInterruptNobodyWaitedForIsKeptForOneWaitOrPoll) {
    sim::RaiseInterrupt(0);
    sim::RaiseInterrupt(0);
    Pending first;
    EXPECT_TRUE(Wait(handle, first));
    EXPECT_TRUE(first.Done());
    Pending next;
    EXPECT_FALSE(Wait(handle, next));
    EXPECT_EQ(sim::PendingInterruptWaits(0), 1u);

    ASSERT_EQ(Simple(handle, sim::kIoctlAbortIrqWait), 0u);
    EXPECT_EQ(next.Code(handle), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    sim::RaiseInterrupt(0);
    EXPECT_EQ(Simple(second, sim::kIoctlPollForIrq), 0u);
    EXPECT_EQ(Simple(second, sim::kIoctlPollForIrq), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
}

TEST_F(SimInterrupt, TheCompletionCodesAreTheTestsChoice) {
    sim::SetInterruptCompletion(0, ERROR_NO_MORE_FILES, ERROR_SUCCESS);
    Pending raised, aborted, kept;
    ASSERT_FALSE(Wait(handle, raised));
    sim::RaiseInterrupt(0);
    EXPECT_EQ(raised.Code(handle), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    ASSERT_FALSE(Wait(handle, aborted));
    ASSERT_EQ(Simple(handle, sim::kIoctlAbortIrqWait), 0u);
    EXPECT_EQ(aborted.Code(handle), 0u);
    // A kept interrupt with a code other than success still ends the wait with that code.
    sim::RaiseInterrupt(0);
    EXPECT_FALSE(Wait(handle, kept));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(kept.Code(handle), static_cast<DWORD>(ERROR_NO_MORE_FILES));
}

TEST_F(SimInterrupt, ClosingAHandleEndsItsWaitsAndLeavesTheOthers) {
    Pending closed, open;
    ASSERT_FALSE(Wait(second, closed));
    ASSERT_FALSE(Wait(handle, open));
    ASSERT_TRUE(port::Close(second));
    Closed(second);
    EXPECT_EQ(closed.Code(second), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(open.Done());
    sim::RaiseInterrupt(0);
    EXPECT_EQ(open.Code(handle), 0u);
}

TEST_F(SimInterrupt, ASynchronousWaitCannotBeHeld) {
    EXPECT_EQ(Simple(handle, sim::kIoctlWaitForIrq), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    sim::RaiseInterrupt(0);
    EXPECT_EQ(Simple(handle, sim::kIoctlWaitForIrq), 0u);
}

TEST_F(SimInterrupt, TheTimerRaisesUntilStopped) {
    sim::StartInterruptTimer(0, 1);
    for (int i = 0; i < 3; ++i) {
        Pending wait;
        if (!Wait(handle, wait)) {
            ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        }
        ASSERT_EQ(WaitForSingleObject(wait.overlapped.hEvent, kGuardMs), static_cast<DWORD>(WAIT_OBJECT_0));
    }
    sim::StopInterruptTimer(0);
    sim::StopInterruptTimer(0);  // twice is harmless
}

// ---- Ping-pong requests ----------------------------------------------------------------------

TEST_F(SimInterrupt, AControlRequestIsAnsweredWithItsOwnBytesUpToTheCapacity) {
    std::vector<uint8_t> output;
    DWORD bytes = 0, lastError = 0;
    output.assign(2, 0);
    ASSERT_TRUE(Send(handle, sim::kIoctlDmaPiongControl, {7, 8, 9}, output, bytes, lastError));
    EXPECT_EQ(bytes, 2u);
    EXPECT_EQ(output, (std::vector<uint8_t>{7, 8}));
    output.clear();
    ASSERT_TRUE(Send(handle, sim::kIoctlDmaPiongControl, {0x11}, output, bytes, lastError));
    EXPECT_EQ(bytes, 0u);
}

TEST_F(SimInterrupt, DataRequestsAreFilledOldestFirst) {
    uint8_t first[2] = {}, later[4] = {};
    Pending a, b;
    ASSERT_FALSE(port::Control(handle, sim::kIoctlDmaPiongIn, nullptr, 0, first, 2, nullptr, &a.overlapped));
    ASSERT_FALSE(port::Control(second, sim::kIoctlDmaPiongIn, nullptr, 0, later, 4, nullptr, &b.overlapped));
    EXPECT_EQ(sim::PendingDmaRequests(0), 2u);
    ASSERT_TRUE(sim::CompleteDmaRequest(0, {1, 2, 3}));
    EXPECT_EQ(a.Code(handle), 0u);
    EXPECT_EQ(a.overlapped.InternalHigh, 2u);
    EXPECT_FALSE(b.Done());
    ASSERT_TRUE(sim::CompleteDmaRequest(0, {4}));
    EXPECT_EQ(b.Code(second), 0u);
    EXPECT_EQ(b.overlapped.InternalHigh, 1u);
    EXPECT_EQ(later[0], 4);
    EXPECT_FALSE(sim::CompleteDmaRequest(0, {5}));
}

TEST_F(SimInterrupt, ARequestWhoseHandleClosedIsPassedOver) {
    uint8_t gone[2] = {}, kept[2] = {};
    Pending a, b;
    ASSERT_FALSE(port::Control(second, sim::kIoctlDmaPiongIn, nullptr, 0, gone, 2, nullptr, &a.overlapped));
    ASSERT_FALSE(port::Control(handle, sim::kIoctlDmaPiongIn, nullptr, 0, kept, 2, nullptr, &b.overlapped));
    ASSERT_TRUE(port::Close(second));
    Closed(second);
    ASSERT_TRUE(sim::CompleteDmaRequest(0, {6, 6}));
    EXPECT_EQ(b.Code(handle), 0u);
    EXPECT_EQ(gone[0], 0);
    EXPECT_EQ(kept[0], 6);
}

// ---- DAC command register --------------------------------------------------------------------

TEST_F(SimInterrupt, TheDacFollowsItsCommandWordsAndIgnoresTheRest) {
    for (unsigned ch = 0; ch < 4; ++ch) {
        EXPECT_EQ(sim::AnalogOutputRange(0, ch), 3u);
        EXPECT_EQ(sim::AnalogOutputVolts(0, ch), 0.0);
    }
    ASSERT_TRUE(WriteRegister(handle, 4, 4, 14u << 20 | 1));  // all on 0..10 V
    ASSERT_TRUE(WriteRegister(handle, 4, 4, 3u << 20 | 2u << 16 | 0x4000));
    EXPECT_DOUBLE_EQ(sim::AnalogOutputVolts(0, 2), 2.5);
    // The counts stay when the range changes: the level moves with it.
    ASSERT_TRUE(WriteRegister(handle, 4, 4, 6u << 20 | 2u << 16 | 3));
    EXPECT_DOUBLE_EQ(sim::AnalogOutputVolts(0, 2), -5.0);
    // Range 5, channel 4, command 7 and a 16-bit access change nothing.
    ASSERT_TRUE(WriteRegister(handle, 4, 4, 6u << 20 | 1u << 16 | 5));
    ASSERT_TRUE(WriteRegister(handle, 4, 4, 3u << 20 | 4u << 16 | 1));
    ASSERT_TRUE(WriteRegister(handle, 4, 4, 7u << 20 | 1u << 16 | 1));
    ASSERT_TRUE(WriteRegister(handle, 4, 2, 0x1234));
    EXPECT_EQ(sim::AnalogOutputRange(0, 1), 1u);
    EXPECT_EQ(sim::AnalogOutputCounts(0, 1), 0x8000u);
    ASSERT_TRUE(WriteRegister(handle, 4, 4, 10u << 20 | 0xFFFF));
    for (unsigned ch = 0; ch < 4; ++ch) EXPECT_EQ(sim::AnalogOutputCounts(0, ch), 0xFFFFu);
    EXPECT_THROW(sim::AnalogOutputVolts(0, 4), std::out_of_range);
}
