#include "../ChildProcess.h"

#include <windows.h>

#include <cstdlib>

#include "ChildProcess.h"

int RunChildCase(const std::string& test, const std::string& caseName, unsigned deadlineMs) {
    // The child inherits the environment with the case added.
    const std::wstring name(caseName.begin(), caseName.end());
    if (!SetEnvironmentVariableW(L"HALVEX_CHILD_CASE", name.c_str())) return kChildTimedOut;
    const ChildOutcome outcome = RunThisProgramOn(test + " --gtest_brief=1", deadlineMs);
    SetEnvironmentVariableW(L"HALVEX_CHILD_CASE", nullptr);
    if (!outcome.started || !outcome.finished) return kChildTimedOut;
    return static_cast<int>(outcome.exitCode);
}

std::string ChildCaseName() {
    const char* name = std::getenv("HALVEX_CHILD_CASE");
    return name != nullptr ? name : "";
}

std::size_t OpenHandleCount() {
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
}
