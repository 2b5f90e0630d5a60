#include "ChildProcess.h"

#include <windows.h>

#include <cstdlib>
#include <vector>

namespace {

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

}  // namespace

int RunChildCase(const std::string& test, const std::string& caseName, unsigned deadlineMs) {
    wchar_t exe[MAX_PATH] = {};
    if (GetModuleFileNameW(nullptr, exe, MAX_PATH) == 0) return kChildTimedOut;
    std::wstring command = L"\"" + std::wstring(exe) + L"\" --gtest_filter=" + Widen(test) +
                           L" --gtest_also_run_disabled_tests --gtest_brief=1";
    // The child inherits the environment with the case added.
    if (!SetEnvironmentVariableW(L"HALVEX_CHILD_CASE", Widen(caseName).c_str())) return kChildTimedOut;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::vector<wchar_t> line(command.begin(), command.end());
    line.push_back(L'\0');
    const BOOL created =
        CreateProcessW(exe, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
    SetEnvironmentVariableW(L"HALVEX_CHILD_CASE", nullptr);
    if (!created) return kChildTimedOut;
    CloseHandle(process.hThread);
    int result = kChildTimedOut;
    if (WaitForSingleObject(process.hProcess, deadlineMs) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        result = static_cast<int>(code);
    } else {
        TerminateProcess(process.hProcess, 99);
        WaitForSingleObject(process.hProcess, 5000);
    }
    CloseHandle(process.hProcess);
    return result;
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
