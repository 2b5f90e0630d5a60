// Structured exceptions (access violations, other runtimes' exceptions) inside an export and
// under the library's locks. A failure here takes the whole process down, so each group runs
// in a child process of its own.
#include <windows.h>

#include <gtest/gtest.h>

#include <stdexcept>

#include "StreamFixture.h"
#include "platform/Contain.h"
#include "windows/ChildProcess.h"

using namespace halvex;

namespace {

int* volatile nowhere = nullptr;
// The code the .NET runtime raises its exceptions with; no frame of this program knows it.
constexpr DWORD kForeignException = 0xE0434F4D;

void Fault() { *nowhere = 1; }
void RaiseForeign() { RaiseException(kForeignException, 0, 0, nullptr); }


void ExpectChildPasses(const char* test) {
    const ChildOutcome child = RunThisProgramOn(test);
    EXPECT_TRUE(child.finished && child.exitCode == 0) << test << ": " << Describe(child);
}

}  // namespace

TEST(StructuredExceptions, TheExportBoundaryTurnsFaultsAndForeignExceptionsIntoItsFallback) {
    ExpectChildPasses("DISABLED_BoundaryInChild.*");
}

TEST(StructuredExceptions, AFaultUnderALibraryLockReleasesTheLockAndRestoresThePriority) {
    ExpectChildPasses("DISABLED_LocksInChild.*");
}

TEST(StructuredExceptions, AFaultInsideALibraryThreadEndsTheRunAndTheProcessLives) {
    ExpectChildPasses("DISABLED_ThreadsInChild.*");
}

// ---- The child cases -------------------------------------------------------------------------

TEST(DISABLED_BoundaryInChild, FaultsAndForeignExceptionsGiveTheFallbackAndTheThreadGoesOn) {
    EXPECT_EQ(ExportBoundary([]() -> DWORD {
                  Fault();
                  return 0;
              }),
              static_cast<DWORD>(ERROR_INTERNAL_ERROR));
    EXPECT_EQ(ExportBoundary([]() -> DWORD {
                  RaiseForeign();
                  return 0;
              }),
              static_cast<DWORD>(ERROR_INTERNAL_ERROR));
    EXPECT_EQ(ExportBoundary<BYTE>(0x55, []() -> BYTE {
                  Fault();
                  return 1;
              }),
              0x55);
    // C++ exceptions and plain results are as they always were.
    EXPECT_EQ(ExportBoundary([]() -> DWORD { throw std::runtime_error("body failed"); }),
              static_cast<DWORD>(ERROR_INTERNAL_ERROR));
    EXPECT_EQ(ExportBoundary([]() -> DWORD { return ERROR_BUSY; }), static_cast<DWORD>(ERROR_BUSY));

    // The same thread faults and recovers again and again.
    int contained = 0;
    for (int i = 0; i < 200; ++i) contained += ExportBoundary([]() -> DWORD {
                                                   Fault();
                                                   return 0;
                                               }) == ERROR_INTERNAL_ERROR;
    EXPECT_EQ(contained, 200);
}

TEST(DISABLED_BoundaryInChild, AnExportCalledFromAContainedCallbackAnswersAndTheCallbackGoesOn) {
    DWORD inner = 0;
    bool callbackWentOn = false;
    auto callback = [&] {
        inner = ExportBoundary([]() -> DWORD {
            RaiseForeign();
            return 0;
        });
        callbackWentOn = true;
    };
    EXPECT_TRUE(platform::RunContainedBody(callback));
    EXPECT_EQ(inner, static_cast<DWORD>(ERROR_INTERNAL_ERROR));
    EXPECT_TRUE(callbackWentOn);

    // A fault after the inner export is the outer frame's.
    auto faultingCallback = [&] {
        inner = ExportBoundary([]() -> DWORD { return 0; });
        Fault();
        callbackWentOn = false;
    };
    callbackWentOn = true;
    EXPECT_FALSE(platform::RunContainedBody(faultingCallback));
    EXPECT_EQ(inner, 0u);
    EXPECT_TRUE(callbackWentOn);
}

TEST(DISABLED_BoundaryInChild, CppExceptionsPassThroughAContainedCallToTheirCatch) {
    auto throwing = [] { throw std::out_of_range("past the end"); };
    EXPECT_THROW(platform::RunContainedBody(throwing), std::out_of_range);
}

class DISABLED_LocksInChild : public LibraryTest {
protected:
    void SetUp() override { StartDefault(); }
};

TEST_F(DISABLED_LocksInChild, AFaultingSequencerBodyLeavesTheSequencerFree) {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
    const DWORD result = ExportBoundary([] {
        return RunUnderSequencerLock(1, 0, []() -> DWORD {
            Fault();
            return 0;
        });
    });
    EXPECT_EQ(result, static_cast<DWORD>(ERROR_INTERNAL_ERROR));
    EXPECT_TRUE(FreeForOthers(Devices[1].hSequencerMutex[0]));
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_NORMAL);
}

TEST_F(DISABLED_LocksInChild, AForeignExceptionInABoardBodyLeavesTheBoardFree) {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
    const DWORD result = ExportBoundary([] {
        return RunUnderBoardLock(1, []() -> DWORD {
            RaiseForeign();
            return 0;
        });
    });
    EXPECT_EQ(result, static_cast<DWORD>(ERROR_INTERNAL_ERROR));
    EXPECT_TRUE(FreeForOthers(Devices[1].hThreadingMutex));
    EXPECT_TRUE(FreeForOthers(Devices[1].hSequencerMutex[0]));
    EXPECT_TRUE(FreeForOthers(Devices[1].hSequencerMutex[1]));
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_NORMAL);
}

// A fault the library's own code makes on one of its threads, as a bug would: the run ends with
// 574, its record settles, and the next run delivers.
class DISABLED_ThreadsInChild : public StreamTest {
protected:
    void FaultEndsTheRun(halvex::TThreadFaultForTest where) {
        ASSERT_EQ(SetCallback(ADC_CALLBACK_RAW), 0u);
        halvex::InjectThreadFaultForTest(where);
        ASSERT_EQ(ADC_AcquireStream(kStreamBoard, 0), 0u);
        ASSERT_EQ(HX_AcquireWait(kStreamBoard, 0, 20000), 0u);
        HX_ACQUIRE_STATUS status{};
        status.Size = sizeof status;
        ASSERT_EQ(HX_AcquireStatus(kStreamBoard, 0, &status), 0u);
        EXPECT_EQ(status.RunEnded, 1u);
        EXPECT_EQ(status.LastFailure, halvex::kErrorUnhandledException);
        EXPECT_EQ(ADC_AcquireEnd(kStreamBoard, 0), 0u);

        const std::size_t before = recorder_.Count();
        ASSERT_EQ(ADC_AcquireStream(kStreamBoard, 0), 0u);
        EXPECT_TRUE(recorder_.WaitFor(before + 3));
        EXPECT_EQ(EndAndDrain(), 0u);
    }
};

TEST_F(DISABLED_ThreadsInChild, InTheAcquisitionThread) { FaultEndsTheRun(halvex::TThreadFaultForTest::Acquisition); }

TEST_F(DISABLED_ThreadsInChild, InTheCallbackThread) { FaultEndsTheRun(halvex::TThreadFaultForTest::Callback); }
