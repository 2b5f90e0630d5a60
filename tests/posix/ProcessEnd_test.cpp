// How a process ends while the library works: a child that fork() made from a process with an
// acquisition running, and the process's own end by exit, by the library's detach and by
// dlclose, with each kind of acquisition on each default board. Every case runs in a process of
// its own under a deadline, so a hang fails the case instead of stalling the test run.
#include <dlfcn.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <halvex/halvex.h>
#include <halvex/sim.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "Await.h"
#include "ChildProcess.h"
#include "Isolated.h"
#include "LibraryFixture.h"
#include "lifecycle/Lifecycle.h"
#include "posix/SharedLibrary.h"
#include "sim/Board.h"
#include "sim/Bus.h"

// The VB entry points are not in the header: Visual Basic declares them itself.
extern "C" {
INT64 WINAPI VBBRD_GetHighestBoardIndex(void);
DWORD WINAPI VBPIO_In32(UINT64 iBoard, DWORD Offset);
DWORD WINAPI VBADC_AcquireEnd(UINT64 iBoard, DWORD iSequencer);
}

// In a forked child, memory that only the parent's other threads referenced is unreachable by
// construction; the leak check at the child's exit would report it. The sanitizer runtime asks
// the program through this hook, so it must be visible to it.
static std::atomic<bool> gInForkedTestChild{false};
extern "C" __attribute__((visibility("default"))) int __lsan_is_turned_off() {
    return gInForkedTestChild.load() ? 1 : 0;
}

namespace {

constexpr int kDeadlineSeconds = 5;
constexpr std::chrono::milliseconds kCaseGuard{kDeadlineSeconds * 1000};
// A forked child does a few calls and exits. Its deadline only has to tell a hang from a
// machine that stalls for a while; it costs nothing while the child behaves.
constexpr int kChildDeadlineSeconds = 20;
constexpr DWORD kRefused = ERROR_INVALID_HANDLE;
constexpr double kRateHz = 1e6;
constexpr DWORD kTransferBytes = 4096;        // register 32: chunks about a millisecond apart
constexpr DWORD kBlockSamples = 100'000'000;  // still running when any case ends it

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
// Neither sanitizer can start a thread in a child of a process that had several: the thread
// sanitizer refuses, and the address sanitizer's allocator may be left locked by a thread that
// stayed in the parent (a plain malloc loop in the parent shows it, without this library).
constexpr bool kThreadsInForkedChild = false;
#else
constexpr bool kThreadsInForkedChild = true;
#endif

enum class Acquisition { CallbackStream, PollingStream, Block };
enum class End { Exit, Detach, Dlclose };

// The exports these tests drive, from the statically linked library or from libhalvex.so.
#define HX_TEST_FUNCTIONS(X)                                                                             \
    X(ADC_SetRate) X(PIO_Out32) X(PIO_In32) X(ADC_SetCallback) X(ADC_AcquireStream) X(ADC_AcquireBlock) \
    X(ADC_AcquireEnd) X(ADC_PollData) X(BRD_GetHighestBoardIndex) X(GetLastError) X(SetLastError)      \
    X(CreateEventW) X(WaitForSingleObject) X(CloseHandle)

struct Api {
#define HX_MEMBER(name) decltype(&::name) name = nullptr;
    HX_TEST_FUNCTIONS(HX_MEMBER)
#undef HX_MEMBER
};

Api LinkedApi() {
    Api api;
#define HX_LINKED(name) api.name = &::name;
    HX_TEST_FUNCTIONS(HX_LINKED)
#undef HX_LINKED
    return api;
}

std::optional<Api> LoadedApi(void* library) {
    Api api;
#define HX_LOADED(name)                                                         \
    api.name = reinterpret_cast<decltype(&::name)>(dlsym(library, #name)); \
    if (api.name == nullptr) return std::nullopt;
    HX_TEST_FUNCTIONS(HX_LOADED)
#undef HX_LOADED
    return api;
}

// Loads libhalvex.so on the default boards; exits the process when it cannot.
std::pair<void*, Api> LoadSharedLibrary() {
    unsetenv("HALVEX_SIM_BOARDS");
    void* library = dlopen(SharedLibraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) std::_Exit(90);
    auto api = LoadedApi(library);
    if (!api) std::_Exit(91);
    return {library, *api};
}

std::atomic<int> gChunks{0};
void WINAPI CountChunk(UINT64, DWORD, DWORD, DWORD*) { gChunks.fetch_add(1); }

// Waits, up to a guard inside the case's deadline, until something happens; false if the guard
// passed first.
bool AwaitCondition(const std::function<bool()>& happened) { return AwaitTrue(happened, kCaseGuard); }

// Starts the acquisition on sequencer 0 with chunks a millisecond apart and waits until data
// arrives. 0 when it runs (or, on a board that cannot stream, was refused with 66); otherwise
// the step that failed.
int StartAcquisition(const Api& api, UINT64 board, Acquisition kind) {
    if (api.ADC_SetRate(board, 0, kRateHz) != 0) return 10;
    if (api.PIO_Out32(board, 32, kTransferBytes) != 0) return 11;
    const bool callback = kind != Acquisition::PollingStream;
    if (api.ADC_SetCallback(board, 0, callback ? ADC_CALLBACK_RAW : ADC_CALLBACK_NONE,
                            callback ? reinterpret_cast<void*>(&CountChunk) : nullptr) != 0)
        return 12;
    const int chunksBefore = gChunks.load();
    const DWORD started = kind == Acquisition::Block ? api.ADC_AcquireBlock(board, 0, kBlockSamples)
                                                     : api.ADC_AcquireStream(board, 0);
    if (board == 0) return started == ERROR_BAD_DEV_TYPE ? 0 : 13;
    if (started != 0) return 14;
    const bool arrived = callback ? AwaitCondition([&] { return gChunks.load() >= chunksBefore + 2; })
                                  : AwaitCondition([&] { return api.ADC_PollData(board, 0) == 0; });
    return arrived ? 0 : 15;
}

// What a process that outlived its deadline is doing: its threads' stacks when a debugger is
// at hand, else the system call each thread is in.
void DescribeStuckProcess(pid_t pid) {
    const std::string id = std::to_string(pid);
    if (access("/usr/bin/gdb", X_OK) == 0) {
        const std::string command = "timeout 30 /usr/bin/gdb -p " + id +
                                    " -batch -nx -ex 'thread apply all bt' 1>&2 2>/dev/null </dev/null";
        if (std::system(command.c_str()) == 0) return;
    }
    const std::string command = "for t in /proc/" + id + "/task/*; do echo \"$t: $(cat $t/wchan) $(cat $t/syscall)\"; done 1>&2";
    [[maybe_unused]] const int ignored = std::system(command.c_str());
}

// Runs `body` in a child made by fork(), which ends with exit(body's result). Returns the
// child's exit code, 128 + the signal that ended it, or -1 when it outlived the deadline and
// was killed.
int ForkAndAwait(const std::function<int()>& body) {
    // Where the child got to, in memory both processes share: told when it outlives its deadline.
    static auto* const step = static_cast<std::atomic<int>*>(
        mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (step == MAP_FAILED) return -2;
    step->store(0);
    return RunInChild(
        [&]() -> int {
            gInForkedTestChild = true;
            step->store(1);
            const int result = body();
            step->store(2);
            std::exit(result);
        },
        std::chrono::seconds(kChildDeadlineSeconds),
        [](int child) {
            static const char* const kSteps[] = {"before its body", "in its body", "in exit()"};
            std::fprintf(stderr, "forked child %d outlived the deadline %s\n", child, kSteps[step->load()]);
            DescribeStuckProcess(child);
        });
}

// Counts failed checks in a child; each failure is named on stderr.
class ChildChecks {
public:
    void Expect(bool passed, const char* what) {
        if (passed) return;
        std::fprintf(stderr, "forked child: %s\n", what);
        ++failures_;
    }
    int Result() const { return failures_ < 80 ? failures_ : 80; }

private:
    int failures_ = 0;
};

// Exports of the statically linked library in a forked child, with arguments that would work in
// the parent, one of each kind of body: each refuses at once, leaves its outputs alone and sets
// the code as the last error. The ones that would wait for the parent's threads or pend in the
// driver would otherwise keep the child past its deadline.
void CheckExportsRefuse(ChildChecks& c) {
    constexpr UINT64 b = 1;
    const auto refused = [](DWORD result) { return result == kRefused && GetLastError() == kRefused; };
    const auto failedRead = [](auto read, INT64 expected) {
        SetLastError(0);
        return read() == expected && GetLastError() == kRefused;
    };

    c.Expect(failedRead(BRD_GetHighestBoardIndex, -1), "BRD_GetHighestBoardIndex");
    DWORD dwords[2] = {7, 7};
    c.Expect(refused(BRD_GetDeviceID(b, dwords)) && dwords[0] == 7, "BRD_GetDeviceID");
    c.Expect(failedRead([] { return PIO_In8(b, 12); }, 0x55), "PIO_In8");
    c.Expect(failedRead([] { return PIO_In16(b, 12); }, 0xAA55), "PIO_In16");
    c.Expect(failedRead([] { return PIO_In32(b, 12); }, 0xAA55AA55), "PIO_In32");
    c.Expect(refused(PIO_Out32(b, 100, 1)), "PIO_Out32");
    c.Expect(refused(PIO_INS32(b, 12, 2, dwords)) && dwords[0] == 7, "PIO_INS32");
    c.Expect(refused(PIO_WaitForIRQ(b)), "PIO_WaitForIRQ");
    OVERLAPPED overlapped{};
    c.Expect(refused(PIO_DMAPiongIn(b, reinterpret_cast<BYTE*>(dwords), 8, &overlapped)), "PIO_DMAPiongIn");
    c.Expect(refused(ADC_SetRate(b, 0, kRateHz)), "ADC_SetRate");
    double scan[16] = {7.0};
    c.Expect(refused(ADC_GetImmediateScanV(b, scan, 0)) && scan[0] == 7.0, "ADC_GetImmediateScanV");
    c.Expect(refused(ADC_SetCallback(b, 0, ADC_CALLBACK_NONE, nullptr)), "ADC_SetCallback");
    c.Expect(refused(ADC_AcquireStream(b, 0)), "ADC_AcquireStream");
    c.Expect(refused(ADC_AcquireEnd(b, 0)), "ADC_AcquireEnd");
    c.Expect(refused(ADC_PollData(b, 0)), "ADC_PollData");
    c.Expect(refused(DAC_OutputV(b, 0, 1.0)), "DAC_OutputV");
    // The extensions refuse as well, except those that only name things.
    HX_ACQUIRE_STATUS status{};
    status.Size = sizeof status;
    c.Expect(refused(HX_AcquireStatus(b, 0, &status)) && status.Exists == 0, "HX_AcquireStatus");
    c.Expect(refused(HX_AcquireWait(b, 0, INFINITE)), "HX_AcquireWait");
    c.Expect(refused(HX_SetCallbackContext(b, 0, ADC_CALLBACK_NONE, nullptr, nullptr)), "HX_SetCallbackContext");
    c.Expect(refused(HX_SetChunkSize(b, 0, 4096)), "HX_SetChunkSize");
    HX_BOARD_INFO info{};
    info.Size = sizeof info;
    c.Expect(refused(HX_GetBoardInfo(b, &info)) && info.DeviceID == 0, "HX_GetBoardInfo");
    c.Expect(HX_GetVersion() != 0 && std::string(HX_ErrorName(6)) == "ERROR_INVALID_HANDLE", "HX_GetVersion, HX_ErrorName");
    // Fixed answers that touch nothing anywhere.
    c.Expect(ADC_ConfigureAcquire(b, 0, 0, 0) == ERROR_NOT_SUPPORTED, "ADC_ConfigureAcquire keeps 50");
    c.Expect(ADC_AcquireBlock(b, 0, 0) == ERROR_SUCCESS, "ADC_AcquireBlock of 0 samples keeps 0");
    // The VB names forward to the same refusal.
    c.Expect(failedRead(VBBRD_GetHighestBoardIndex, -1), "VBBRD_GetHighestBoardIndex");
    c.Expect(failedRead([] { return VBPIO_In32(b, 12); }, 0xAA55AA55), "VBPIO_In32");
    c.Expect(refused(VBADC_AcquireEnd(b, 0)), "VBADC_AcquireEnd");
}

// The Win32 layer in a forked child: new events and threads work.
void CheckWin32LayerWorks(ChildChecks& c) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    c.Expect(event != nullptr, "CreateEventW");
    c.Expect(WaitForSingleObject(event, 0) == WAIT_TIMEOUT, "a new event is not signalled");
    c.Expect(SetEvent(event) != FALSE, "SetEvent");
    c.Expect(WaitForSingleObject(event, 0) == WAIT_OBJECT_0, "a set event satisfies a wait");
    c.Expect(WaitForSingleObject(event, 0) == WAIT_TIMEOUT, "an auto-reset event clears");

    if (kThreadsInForkedChild) {
        HANDLE thread = CreateThread(
            nullptr, 0, [](LPVOID e) -> DWORD { return SetEvent(static_cast<HANDLE>(e)) ? 5 : 6; }, event, 0,
            nullptr);
        c.Expect(thread != nullptr, "CreateThread");
        c.Expect(WaitForSingleObject(event, 2000) == WAIT_OBJECT_0, "a new thread sets an event");
        c.Expect(WaitForSingleObject(thread, 2000) == WAIT_OBJECT_0, "a new thread's end is seen");
        DWORD exitCode = 0;
        c.Expect(GetExitCodeThread(thread, &exitCode) && exitCode == 5, "GetExitCodeThread");
        c.Expect(CloseHandle(thread), "CloseHandle of the thread");
    }
    c.Expect(CloseHandle(event), "CloseHandle of the event");
}

std::string KindName(const ::testing::TestParamInfo<Acquisition>& param) {
    static const char* const names[] = {"CallbackStream", "PollingStream", "Block"};
    return names[static_cast<int>(param.param)];
}

// ---- A child that fork() made, with the statically linked library --------------------------

class ForkedChild : public LibraryTest, public ::testing::WithParamInterface<Acquisition> {
protected:
    void SetUp() override {
        StartDefault();
        ASSERT_EQ(StartAcquisition(LinkedApi(), 1, GetParam()), 0);
    }

    // The parent goes on after the fork: its acquisition still delivers and ends normally.
    void ExpectParentStillAcquires() {
        if (GetParam() == Acquisition::PollingStream) {
            EXPECT_EQ(ADC_ClearData(1, 0), 0u);
            EXPECT_TRUE(AwaitCondition([] { return ADC_PollData(1, 0) == 0; }));
        } else {
            const int chunks = gChunks.load();
            EXPECT_TRUE(AwaitCondition([&] { return gChunks.load() > chunks; }));
        }
        EXPECT_EQ(ADC_AcquireEnd(1, 0), 0u);
    }
};

TEST_P(ForkedChild, ExportsRefuseAtOnceAndTheChildExits) {
    const int result = ForkAndAwait([] {
        ChildChecks c;
        CheckExportsRefuse(c);
        HxTestLibraryDetach();  // nothing to detach here: must not wait for the parent's threads
        return c.Result();
    });
    EXPECT_EQ(result, 0) << "failed checks (named above); -1: the child outlived the deadline";
    ExpectParentStillAcquires();
}

TEST_P(ForkedChild, TheWin32LayerWorksInTheChild) {
    const int result = ForkAndAwait([] {
        ChildChecks c;
        CheckWin32LayerWorks(c);
        return c.Result();
    });
    EXPECT_EQ(result, 0) << "failed checks (named above); -1: the child outlived the deadline";
    ExpectParentStillAcquires();
}

INSTANTIATE_TEST_SUITE_P(WhileTheParentAcquires, ForkedChild,
                         ::testing::Values(Acquisition::CallbackStream, Acquisition::PollingStream,
                                           Acquisition::Block),
                         KindName);

// The Win32 layer's state the parent's other threads left behind: a mutex one of them owned and
// a wait one of them was blocked in when the child was made.
TEST(ForkedChildWin32, AMutexOwnedByAnotherThreadIsAbandonedAndItsWaitersAreGone) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<pid_t> holderTid{0};
    std::thread holder([&] {
        WaitForSingleObject(mutex, INFINITE);
        holderTid = gettid();
        WaitForSingleObject(release, INFINITE);
        ReleaseMutex(mutex);
    });
    // Sleeping in its wait on `release`, not merely about to start it.
    const bool holderWaits = AwaitCondition([&] {
        if (holderTid.load() == 0) return false;
        std::ifstream stat("/proc/self/task/" + std::to_string(holderTid.load()) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const auto close = text.rfind(')');
        return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'S';
    });
    if (!holderWaits) {
        SetEvent(release);
        holder.join();
        FAIL() << "the holding thread never went to sleep in its wait";
    }

    const int result = ForkAndAwait([&] {
        ChildChecks c;
        c.Expect(SetEvent(release) && SetEvent(release) && ResetEvent(release) && SetEvent(release),
                 "signalling an event a vanished thread waited on");
        c.Expect(WaitForSingleObject(mutex, 2000) == WAIT_ABANDONED, "the vanished owner's mutex is abandoned");
        c.Expect(ReleaseMutex(mutex) != FALSE, "the abandoned mutex is this thread's now");
        c.Expect(WaitForSingleObject(mutex, 0) == WAIT_OBJECT_0 && ReleaseMutex(mutex), "and free again");
        return c.Result();
    });
    EXPECT_EQ(result, 0) << "failed checks (named above); -1: the child outlived the deadline";

    SetEvent(release);
    holder.join();
    EXPECT_EQ(WaitForSingleObject(mutex, 0), static_cast<DWORD>(WAIT_OBJECT_0)) << "the parent's mutex is untouched";
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    CloseHandle(release);
}

TEST(ForkedChildWin32, ChildrenForkedWhileAnotherThreadUsesTheLayerFindItUsable) {
#if defined(__SANITIZE_ADDRESS__)
    // A child forked while the other thread is anywhere in the address sanitizer's allocator (its
    // start, its frees) finds the allocator's lock taken for good: the sanitizer's, not the layer's.
    GTEST_SKIP() << "the address sanitizer's allocator is not fork-safe under a running thread";
#endif
    // A wait on many objects takes the lock of each for most of each turn.
    std::vector<HANDLE> events(MAXIMUM_WAIT_OBJECTS);
    for (auto& event : events) event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        while (!stop.load()) WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, events.data(), FALSE, 0);
    });
    int failed = 0;
    for (int i = 0; i < 6; ++i) {
        const int result = ForkAndAwait([] {
            ChildChecks c;
            CheckWin32LayerWorks(c);
            return c.Result();
        });
        if (result != 0) ++failed;
    }
    stop = true;
    churn.join();
    for (HANDLE event : events) CloseHandle(event);
    EXPECT_EQ(failed, 0);
}

// ---- A child that fork() made from a process that loaded libhalvex.so ------------------------

// Each case runs in a process of its own: this program again, running the child test below.
void ExpectChildEndsCleanly(const std::string& caseName) {
    ASSERT_EQ(access(SharedLibraryPath().c_str(), R_OK), 0) << "the shared library is not built";
    const int exitCode = RunChildCase("ProcessEndChild.DISABLED_Run", caseName,
                                      (kChildDeadlineSeconds + 3 * kDeadlineSeconds) * 1000);
    EXPECT_EQ(exitCode, 0) << caseName << (exitCode == kChildTimedOut ? ": hung" : ": see the output above");
}

class ForkedChildOfSharedLibrary : public ::testing::TestWithParam<Acquisition> {};

[[noreturn]] void ForkWhileAcquiringThenEndParent(Acquisition kind) {
    alarm(kChildDeadlineSeconds + 2 * kDeadlineSeconds);
    auto [library, api] = LoadSharedLibrary();
    if (const int failed = StartAcquisition(api, 1, kind)) std::_Exit(failed);
    const int child = ForkAndAwait([&, &api = api] {
        ChildChecks c;
        api.SetLastError(0);
        c.Expect(api.PIO_In32(1, 12) == 0xAA55AA55 && api.GetLastError() == kRefused, "PIO_In32");
        c.Expect(api.ADC_AcquireEnd(1, 0) == kRefused, "ADC_AcquireEnd");
        c.Expect(api.BRD_GetHighestBoardIndex() == -1, "BRD_GetHighestBoardIndex");
        HANDLE event = api.CreateEventW(nullptr, FALSE, TRUE, nullptr);
        c.Expect(event != nullptr && api.WaitForSingleObject(event, 0) == WAIT_OBJECT_0 && api.CloseHandle(event),
                 "events");
        return c.Result();  // then exit(), with the library's exit hook
    });
    if (child != 0) std::_Exit(child < 0 ? 40 : 41);
    if (api.ADC_AcquireEnd(1, 0) != 0) std::_Exit(42);
    (void)library;
    std::exit(0);
}

TEST_P(ForkedChildOfSharedLibrary, ExitsPromptlyAndTheParentEndsNormally) {
    ExpectChildEndsCleanly("fork/" + std::to_string(static_cast<int>(GetParam())));
}

INSTANTIATE_TEST_SUITE_P(WhileTheParentAcquires, ForkedChildOfSharedLibrary,
                         ::testing::Values(Acquisition::CallbackStream, Acquisition::PollingStream,
                                           Acquisition::Block),
                         KindName);

// ---- The process ends while an acquisition runs ----------------------------------------------

using EndCase = std::tuple<End, Acquisition, UINT64>;

class ProcessEnd : public ::testing::TestWithParam<EndCase> {};

// In a process of its own: start the library, start the acquisition, end the process the
// case's way. Exit code 0 means it ended cleanly; SIGALRM means it hung.
[[noreturn]] void AcquireThenEnd(End end, Acquisition kind, UINT64 board) {
    alarm(kDeadlineSeconds);
    void* library = nullptr;
    Api api;
    if (end == End::Detach) {
        halvex::sim::UseDefaultBoards();
        HxTestLibraryStart();
        api = LinkedApi();
    } else {
        std::tie(library, api) = LoadSharedLibrary();
    }
    if (const int failed = StartAcquisition(api, board, kind)) std::_Exit(failed);
    if (end == End::Detach) HxTestLibraryDetach();
    if (end == End::Dlclose) dlclose(library);
    std::exit(0);
}

std::string EndCaseName(const ::testing::TestParamInfo<EndCase>& param) {
    static const char* const ends[] = {"Exit", "Detach", "Dlclose"};
    const auto [end, kind, board] = param.param;
    return ends[static_cast<int>(end)] + KindName({kind, 0}) + "OnBoard" + std::to_string(board);
}

TEST_P(ProcessEnd, EndsCleanly) {
    const auto [end, kind, board] = GetParam();
    ExpectChildEndsCleanly("end/" + std::to_string(static_cast<int>(end)) + "/" +
                           std::to_string(static_cast<int>(kind)) + "/" + std::to_string(board));
}

// The child of both suites above: "fork/<kind>" or "end/<end>/<kind>/<board>".
TEST(ProcessEndChild, DISABLED_Run) {
    std::vector<int> numbers;
    const std::string name = ChildCaseName();
    for (std::size_t at = name.find('/'); at != std::string::npos; at = name.find('/', at + 1))
        numbers.push_back(std::atoi(name.c_str() + at + 1));
    if (name.starts_with("fork/") && numbers.size() == 1)
        ForkWhileAcquiringThenEndParent(static_cast<Acquisition>(numbers[0]));
    if (name.starts_with("end/") && numbers.size() == 3)
        AcquireThenEnd(static_cast<End>(numbers[0]), static_cast<Acquisition>(numbers[1]),
                       static_cast<UINT64>(numbers[2]));
    FAIL() << "run by ProcessEnd and ForkedChildOfSharedLibrary only, not as " << name;
}

INSTANTIATE_TEST_SUITE_P(
    WhileAcquiring, ProcessEnd,
    ::testing::Combine(::testing::Values(End::Exit, End::Detach, End::Dlclose),
                       ::testing::Values(Acquisition::CallbackStream, Acquisition::PollingStream, Acquisition::Block),
                       ::testing::Values(UINT64{0}, UINT64{1}, UINT64{2})),
    EndCaseName);

}  // namespace

// The end of a process whose other threads the system ended wherever they were: on Windows
// detach then runs with one of them perhaps dead inside the simulated driver, holding a board's
// lock. Detach must still stop the stream and return, touching no such lock.
class ThreadsGoneDetach : public LibraryTest {
protected:
    void SetUp() override { StartDefault(); }
};

TEST_F(ThreadsGoneDetach, NeverWaitsForALockADeadThreadHeldInTheDriver) {
    const std::string failures = RunIsolated([]() -> std::string {
        if (ADC_AcquireStream(1, 0) != 0) return "the stream did not start";
        std::shared_ptr<halvex::sim::Board> board = halvex::sim::Bus::Instance().BoardOf(halvex::Devices[1].hDevice);
        if (!board) return "no simulated board behind board 1";
        std::atomic<bool> holding{false};
        // Stands for a thread that died inside the driver: it never lets go.
        std::thread([&board, &holding] {
            board->mutex.lock();
            holding = true;
            for (;;) pause();
        }).detach();
        if (!AwaitTrue([&] { return holding.load(); }, std::chrono::seconds(10))) return "the lock was never taken";
        halvex::RunProcessDetachHook(true);
        return {};
    });
    EXPECT_EQ(failures, "");
}
