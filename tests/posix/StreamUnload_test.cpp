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
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        path_ = SharedLibraryPath();
        if (access(path_.c_str(), R_OK) != 0) GTEST_SKIP() << "the shared library is not built: " << path_;
    }
    std::string path_;
};

TEST_P(StreamUnload, UnloadingWhileAStreamRunsEndsTheProcessCleanly) {
    EXPECT_EXIT(StreamThenUnload(path_, GetParam().simBoards), ::testing::ExitedWithCode(0), "");
}

TEST_P(StreamUnload, ExitingFromInsideTheCallbackEndsTheProcessCleanly) {
    EXPECT_EXIT(
        {
            exitInCallback = true;
            StreamThenUnload(path_, GetParam().simBoards);
        },
        ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(EachLayout, StreamUnload, StreamLayouts(), StreamLayoutName);

}  // namespace
