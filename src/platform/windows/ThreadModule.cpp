#include "platform/ThreadModule.h"

namespace halvex::platform {

void* HoldModuleForThread() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCWSTR>(&HoldModuleForThread), &module);
    return module;
}

void ReleaseModuleToken(void* token) {
    if (token != nullptr) FreeLibrary(static_cast<HMODULE>(token));
}

DWORD ReleaseModuleAndExitThread(void* token, DWORD exitCode) {
    if (token != nullptr) FreeLibraryAndExitThread(static_cast<HMODULE>(token), exitCode);
    return exitCode;
}

}  // namespace halvex::platform
