// The driver-recording extensions: start and stop writing down the driver traffic from code.
#include <halvex/halvex.h>

#include <string>

#include "core/CallFrame.h"
#include "platform/Guard.h"
#include "port/DriverPort.h"

using namespace halvex;

namespace {

constexpr std::size_t kMaxPathBytes = 32768;

}  // namespace

extern "C" {

HALVEX_API DWORD WINAPI HX_StartDriverRecording(const char* Path, DWORD DataBytes) {
    return ExportBoundary([&]() -> DWORD {
        if (Path == nullptr) return ERROR_INVALID_ADDRESS;
        std::string path;
        for (const char* p = Path;; ++p) {
            char c = 0;
            if (!platform::GuardedLoad(&c, p, 1)) return ERROR_INVALID_ADDRESS;
            if (c == '\0') break;
            if (path.size() == kMaxPathBytes) return ERROR_INVALID_PARAMETER;
            path.push_back(c);
        }
        if (path.empty()) return ERROR_INVALID_PARAMETER;
        const DWORD result = port::StartRecording(path.c_str(), DataBytes);
        SetLastError(result);
        return result;
    });
}

HALVEX_API DWORD WINAPI HX_StopDriverRecording(void) {
    return ExportBoundary([]() -> DWORD {
        const DWORD result = port::StopRecording();
        SetLastError(result);
        return result;
    });
}

}  // extern "C"
