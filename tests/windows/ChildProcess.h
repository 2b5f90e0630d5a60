// Runs one test of this program in a child process of its own, with a deadline: for cases that
// crash or hang when the library is at fault, and for cases that end the process themselves.
// The child's tests are named DISABLED_... so the normal run skips them.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

struct ChildOutcome {
    bool started = false;
    DWORD startError = 0;
    bool finished = false;  // false: still running at the deadline, then killed
    DWORD exitCode = 0;
};

// Wine takes a while to start a process; a case itself needs a few seconds at most.
inline constexpr DWORD kChildDeadlineMs = 20000;

inline ChildOutcome RunThisProgramOn(const std::string& test, DWORD deadlineMs = kChildDeadlineMs) {
    ChildOutcome outcome;
    wchar_t self[MAX_PATH] = {};
    if (GetModuleFileNameW(nullptr, self, MAX_PATH) == 0) return outcome;
    std::wstring command = L"\"" + std::wstring(self) + L"\" --gtest_also_run_disabled_tests --gtest_filter=" +
                           std::wstring(test.begin(), test.end());

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    // Inherited by the child: a crash ends it at once instead of starting a debugger.
    SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(self, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        outcome.startError = GetLastError();
        return outcome;
    }
    outcome.started = true;
    CloseHandle(process.hThread);
    if (WaitForSingleObject(process.hProcess, deadlineMs) == WAIT_OBJECT_0) {
        outcome.finished = true;
        GetExitCodeProcess(process.hProcess, &outcome.exitCode);
    } else {
        TerminateProcess(process.hProcess, 99);
        WaitForSingleObject(process.hProcess, 5000);
    }
    CloseHandle(process.hProcess);
    return outcome;
}

// How the child ended, for a failure message.
inline std::string Describe(const ChildOutcome& outcome) {
    char text[96];
    if (!outcome.started)
        std::snprintf(text, sizeof text, "the child could not be started (error %lu)",
                      static_cast<unsigned long>(outcome.startError));
    else if (!outcome.finished)
        std::snprintf(text, sizeof text, "the child was still running at its deadline and was killed");
    else
        std::snprintf(text, sizeof text, "the child ended with exit code 0x%lX", static_cast<unsigned long>(outcome.exitCode));
    return text;
}
