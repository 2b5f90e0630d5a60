// The C interface of replay: recordings answered by the simulated driver.
#include <halvex/sim_c.h>

#include <algorithm>
#include <cstring>

#include "platform/Guard.h"
#include "sim/Replay.h"
#include "sim/api/SimCall.h"

namespace {

void CopyText(char* to, std::size_t size, const std::string& text) {
    const std::size_t n = std::min(size - 1, text.size());
    std::memcpy(to, text.data(), n);
    to[n] = '\0';
}

}  // namespace

extern "C" {

HALVEX_SIM_C_API DWORD HXSIM_Replay(const char* Path, DWORD Flags, DWORD StallMs) {
    return halvex::sim::SimCall([&]() -> DWORD {
        if (Path == nullptr || (Flags & ~DWORD{HXSIM_REPLAY_PACED | HXSIM_REPLAY_ACCEPT_TORN_TAIL}) != 0)
            return ERROR_INVALID_PARAMETER;
        std::string path;
        if (!halvex::sim::LoadText(Path, path)) return ERROR_INVALID_ADDRESS;
        halvex::sim::ReplayOptions options;
        options.paced = (Flags & HXSIM_REPLAY_PACED) != 0;
        options.acceptTornTail = (Flags & HXSIM_REPLAY_ACCEPT_TORN_TAIL) != 0;
        if (StallMs != 0) options.stallMs = StallMs;
        return halvex::sim::BeginReplay(path, options);
    });
}

HALVEX_SIM_C_API DWORD HXSIM_ReplayEnd(void) {
    return halvex::sim::SimCall([]() -> DWORD {
        halvex::sim::StopReplay();
        return ERROR_SUCCESS;
    });
}

HALVEX_SIM_C_API DWORD HXSIM_GetReplayStatus(HXSIM_REPLAY_STATUS* pStatus) {
    return halvex::sim::SimCall([&]() -> DWORD {
        DWORD size = 0;
        if (pStatus == nullptr || !halvex::platform::GuardedLoad(&size, &pStatus->Size, sizeof size))
            return ERROR_INVALID_ADDRESS;
        if (size < sizeof(DWORD)) return ERROR_INVALID_PARAMETER;
        const halvex::sim::ReplayReport report = halvex::sim::CurrentReplayReport();
        HXSIM_REPLAY_STATUS full{};
        full.Size = size;
        full.State = static_cast<DWORD>(report.state);
        full.Request = report.request;
        full.Answered = report.answered;
        full.Left = report.left;
        CopyText(full.Message, sizeof full.Message, report.message);
        CopyText(full.Expected, sizeof full.Expected, report.expected);
        CopyText(full.Got, sizeof full.Got, report.got);
        const std::size_t stored = std::min<std::size_t>(size, sizeof full);
        if (!halvex::platform::GuardedStore(pStatus, &full, stored)) return ERROR_INVALID_ADDRESS;
        return ERROR_SUCCESS;
    });
}

}  // extern "C"
