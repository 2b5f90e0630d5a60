// Unloading the shared library while an acquisition streams to a callback: the process must end
// cleanly, neither hanging nor crashing, whether it unloads from its main thread or exits from
// inside the callback. Each case runs in a child process of its own, on each streaming layout.
#include <dlfcn.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <halvex/halvex.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "Await.h"
#include "ChildProcess.h"
#include "StreamLayouts.h"
#include "posix/SharedLibrary.h"

namespace {

std::atomic<int> calls{0};
std::atomic<bool> exitInCallback{false};

void WINAPI CountVolts(UINT64, DWORD, DWORD, double*, WORD*, WORD*) {
    calls.fetch_add(1);
    if (exitInCallback.load()) std::exit(0);
}

// In the child: load the library on `boards`, stream to CountVolts, wait for a few chunks,
// unload, exit.
[[noreturn]] void StreamThenUnload(const std::string& path, const char* boards) {
    setenv("HALVEX_SIM_BOARDS", boards, 1);
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) std::_Exit(3);
    auto setRate = reinterpret_cast<decltype(&ADC_SetRate)>(dlsym(library, "ADC_SetRate"));
    auto setCallback = reinterpret_cast<decltype(&ADC_SetCallback)>(dlsym(library, "ADC_SetCallback"));
    auto stream = reinterpret_cast<decltype(&ADC_AcquireStream)>(dlsym(library, "ADC_AcquireStream"));
    auto out32 = reinterpret_cast<decltype(&PIO_Out32)>(dlsym(library, "PIO_Out32"));
    if (!setRate || !setCallback || !stream || !out32) std::_Exit(4);
    if (setRate(0, 0, 4e6) != 0 || out32(0, 32, 65536) != 0) std::_Exit(5);
    if (setCallback(0, 0, ADC_CALLBACK_VOLTS, reinterpret_cast<void*>(&CountVolts)) != 0) std::_Exit(6);
    if (stream(0, 0) != 0) std::_Exit(7);
    if (!AwaitTrue([] { return calls.load() >= 3; })) std::_Exit(8);
    dlclose(library);
    std::exit(0);
}

class StreamUnload : public ::testing::TestWithParam<StreamLayout> {
protected:
    // Each case in a process of its own: this program again, running the child test below.
    void ExpectChildEndsCleanly(const std::string& how) {
        ASSERT_EQ(access(SharedLibraryPath().c_str(), R_OK), 0) << "the shared library is not built";
        const int exitCode = RunChildCase("StreamUnloadChild.DISABLED_Run", how + " " + GetParam().simBoards, 30000);
        EXPECT_EQ(exitCode, 0) << (exitCode == kChildTimedOut ? "hung" : "see the output above");
    }
};

TEST_P(StreamUnload, UnloadingWhileAStreamRunsEndsTheProcessCleanly) { ExpectChildEndsCleanly("unload"); }

TEST_P(StreamUnload, ExitingFromInsideTheCallbackEndsTheProcessCleanly) { ExpectChildEndsCleanly("exit"); }

// The child: "unload <boards>" or "exit <boards>".
TEST(StreamUnloadChild, DISABLED_Run) {
    const std::string name = ChildCaseName();
    const std::size_t space = name.find(' ');
    ASSERT_NE(space, std::string::npos) << "run by StreamUnload only";
    exitInCallback = name.starts_with("exit");
    StreamThenUnload(SharedLibraryPath(), name.substr(space + 1).c_str());
}

INSTANTIATE_TEST_SUITE_P(EachLayout, StreamUnload, StreamLayouts(), StreamLayoutName);

}  // namespace
