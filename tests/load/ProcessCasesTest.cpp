// Cases that end or endanger the whole process, against Halvex.dll loaded as an application
// loads it: releasing the DLL once too often; a user callback that faults, raises another
// runtime's exception or calls exit(). Each runs in a child process with a deadline.
// (The Linux library's counterparts are in tests/posix.)
#ifdef _WIN32
#include <windows.h>

#include <gtest/gtest.h>
#include <halvex/halvex.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "../windows/ChildProcess.h"

namespace {

std::wstring LibraryName() {
    const std::string name = HALVEX_LIBRARY_PATH;
    return std::wstring(name.begin(), name.end());
}

void ExpectChildEndsWith(const char* test, DWORD exitCode) {
    const ChildOutcome child = RunThisProgramOn(test);
    EXPECT_TRUE(child.finished && child.exitCode == exitCode)
        << test << ": " << Describe(child) << ", expected exit code " << exitCode;
}

}  // namespace

TEST(ProcessCases, ReleasingTheLibraryOnceTooOftenLeavesItInPlaceAndTheProcessEndsCleanly) {
    ExpectChildEndsWith("DISABLED_ProcessCaseChild.ReleasedOnceTooOften", 0);
}

TEST(DISABLED_ProcessCaseChild, ReleasedOnceTooOften) {
    HMODULE library = LoadLibraryW(LibraryName().c_str());
    ASSERT_NE(library, nullptr) << GetLastError();
    const auto highest =
        reinterpret_cast<INT64(WINAPI*)(void)>(reinterpret_cast<void*>(GetProcAddress(library, "BRD_GetHighestBoardIndex")));
    ASSERT_NE(highest, nullptr);
    const INT64 before = highest();
    EXPECT_TRUE(FreeLibrary(library));
    FreeLibrary(library);  // the application's mistake
    EXPECT_NE(GetModuleHandleW(LibraryName().c_str()), nullptr);
    EXPECT_EQ(highest(), before);
    // The process then ends with the library detaching at exit.
}

#if defined(HALVEX_SIM_BACKEND)
namespace {

// Board 1 of the default simulated set streams (a layout-2 board).
constexpr UINT64 kStreamBoard = 1;
constexpr DWORD kExitFromCallback = 7;
// The code the .NET runtime raises its exceptions with.
constexpr DWORD kForeignException = 0xE0434F4D;

std::atomic<int> calls{0};
int* volatile nowhere = nullptr;

void WINAPI FaultingCallback(UINT64, DWORD, DWORD, double*, WORD*, WORD*) {
    calls.fetch_add(1);
    *nowhere = 1;
}

void WINAPI RaisingCallback(UINT64, DWORD, DWORD, double*, WORD*, WORD*) {
    calls.fetch_add(1);
    RaiseException(kForeignException, 0, 0, nullptr);
}

void WINAPI ExitingCallback(UINT64, DWORD, DWORD, double*, WORD*, WORD*) {
    calls.fetch_add(1);
    std::exit(kExitFromCallback);
}

// The library, loaded by name and streaming volts to one callback.
class Stream {
public:
    explicit Stream(TPCallbackProcSV callback) {
        library_ = LoadLibraryW(LibraryName().c_str());
        if (library_ == nullptr) return;
        setRate_ = Resolve<decltype(&ADC_SetRate)>("ADC_SetRate");
        setCallback_ = Resolve<decltype(&ADC_SetCallback)>("ADC_SetCallback");
        stream_ = Resolve<decltype(&ADC_AcquireStream)>("ADC_AcquireStream");
        end_ = Resolve<decltype(&ADC_AcquireEnd)>("ADC_AcquireEnd");
        if (!setRate_ || !setCallback_ || !stream_ || !end_) return;
        started_ = setRate_(kStreamBoard, 0, 1e6) == 0 &&
                   setCallback_(kStreamBoard, 0, ADC_CALLBACK_VOLTS, reinterpret_cast<void*>(callback)) == 0 &&
                   stream_(kStreamBoard, 0) == 0;
    }
    bool Started() const { return started_; }
    DWORD End() { return end_(kStreamBoard, 0); }

    // Waits for `count` callback calls in all; false after a guard time.
    static bool WaitForCalls(int count) {
        for (int i = 0; i < 1500 && calls.load() < count; ++i) Sleep(10);
        return calls.load() >= count;
    }

private:
    template <typename Fn>
    Fn Resolve(const char* name) {
        return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(library_, name)));
    }

    HMODULE library_ = nullptr;
    decltype(&ADC_SetRate) setRate_ = nullptr;
    decltype(&ADC_SetCallback) setCallback_ = nullptr;
    decltype(&ADC_AcquireStream) stream_ = nullptr;
    decltype(&ADC_AcquireEnd) end_ = nullptr;
    bool started_ = false;
};

}  // namespace

TEST(ProcessCases, ACallbackThatFaultsOnEveryChunkStillReceivesTheNextChunks) {
    ExpectChildEndsWith("DISABLED_ProcessCaseChild.CallbackFaults", 0);
}

TEST(ProcessCases, ACallbackThatRaisesAnotherRuntimesExceptionStillReceivesTheNextChunks) {
    ExpectChildEndsWith("DISABLED_ProcessCaseChild.CallbackRaisesForeignException", 0);
}

TEST(ProcessCases, ExitFromInsideTheCallbackEndsTheProcess) {
    ExpectChildEndsWith("DISABLED_ProcessCaseChild.CallbackCallsExit", kExitFromCallback);
}

TEST(DISABLED_ProcessCaseChild, CallbackFaults) {
    Stream stream(&FaultingCallback);
    ASSERT_TRUE(stream.Started());
    EXPECT_TRUE(Stream::WaitForCalls(5));
    EXPECT_EQ(stream.End(), 0u);
}

TEST(DISABLED_ProcessCaseChild, CallbackRaisesForeignException) {
    Stream stream(&RaisingCallback);
    ASSERT_TRUE(stream.Started());
    EXPECT_TRUE(Stream::WaitForCalls(5));
    EXPECT_EQ(stream.End(), 0u);
}

TEST(DISABLED_ProcessCaseChild, CallbackCallsExit) {
    Stream stream(&ExitingCallback);
    ASSERT_TRUE(stream.Started());
    Stream::WaitForCalls(2);
    FAIL() << "exit() in the callback did not end the process";
}
#endif  // HALVEX_SIM_BACKEND

#endif  // _WIN32
