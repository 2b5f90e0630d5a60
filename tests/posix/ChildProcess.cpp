#include "../ChildProcess.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "../Await.h"
#include "win32/Kernel.h"

int RunInChild(const std::function<int()>& body, std::chrono::milliseconds deadline,
               const std::function<void(int pid)>& onTimeout) {
    std::fflush(nullptr);  // nothing buffered is written twice
    const pid_t child = fork();
    if (child < 0) return kChildTimedOut;
    if (child == 0) {
        int result = 126;
        try {
            result = body();
        } catch (...) {
        }
        _exit(result);
    }
    int status = 0;
    pid_t done = 0;
    if (!AwaitTrue([&] { return (done = waitpid(child, &status, WNOHANG)) != 0; }, deadline)) {
        if (onTimeout) onTimeout(child);
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        return kChildTimedOut;
    }
    if (done != child) return kChildTimedOut;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

int RunChildCase(const std::string& test, const std::string& caseName, unsigned deadlineMs) {
    const std::string filter = "--gtest_filter=" + test;
    return RunInChild(
        [&] {
            setenv("HALVEX_CHILD_CASE", caseName.c_str(), 1);
            execl("/proc/self/exe", "halvex_tests", filter.c_str(), "--gtest_also_run_disabled_tests",
                  "--gtest_brief=1", static_cast<char*>(nullptr));
            return 127;
        },
        std::chrono::milliseconds(deadlineMs));
}

std::string ChildCaseName() {
    const char* name = std::getenv("HALVEX_CHILD_CASE");
    return name != nullptr ? name : "";
}

std::size_t OpenHandleCount() { return halvex::win32::HandleCount(); }
