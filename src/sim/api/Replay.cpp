// The C interface of replay: recordings answered by the simulated driver.
#include <halvex/sim_c.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/Contain.h"
#include "platform/ForcedUnwind.h"
#include "platform/Guard.h"
#include "sim/Replay.h"

namespace {

template <typename Body>
DWORD ReplayCall(Body&& body) noexcept {
    const DWORD lastError = GetLastError();
    DWORD result = ERROR_INTERNAL_ERROR;
    auto guarded = [&] {
        try {
            result = body();
        } catch (const std::bad_alloc&) {
            result = ERROR_NOT_ENOUGH_MEMORY;
        } catch (...) {
            if (halvex::platform::ForcedUnwinding()) throw;
            result = ERROR_INTERNAL_ERROR;
        }
    };
    if (!halvex::platform::RunContainedBody(guarded)) result = ERROR_INTERNAL_ERROR;
    SetLastError(lastError);
    return result;
}

void CopyText(char* to, std::size_t size, const std::string& text) {
    const std::size_t n = std::min(size - 1, text.size());
    std::memcpy(to, text.data(), n);
    to[n] = '\0';
}

}  // namespace

extern "C" {

HALVEX_SIM_C_API DWORD HXSIM_Replay(const char* Path, DWORD Flags, DWORD StallMs) {
    return ReplayCall([&]() -> DWORD {
        if (Path == nullptr || (Flags & ~DWORD{HXSIM_REPLAY_PACED | HXSIM_REPLAY_ACCEPT_TORN_TAIL}) != 0)
            return ERROR_INVALID_PARAMETER;
        // The path is read through the guard, one character at a time up to its end.
        std::string path;
        for (const char* p = Path;; ++p) {
            char c = 0;
            if (!halvex::platform::GuardedLoad(&c, p, 1)) return ERROR_INVALID_ADDRESS;
            if (c == '\0') break;
            path.push_back(c);
        }
        halvex::sim::ReplayOptions options;
        options.paced = (Flags & HXSIM_REPLAY_PACED) != 0;
        options.acceptTornTail = (Flags & HXSIM_REPLAY_ACCEPT_TORN_TAIL) != 0;
        if (StallMs != 0) options.stallMs = StallMs;
        return halvex::sim::BeginReplay(path, options);
    });
}

HALVEX_SIM_C_API DWORD HXSIM_ReplayEnd(void) {
    return ReplayCall([]() -> DWORD {
        halvex::sim::StopReplay();
        return ERROR_SUCCESS;
    });
}

HALVEX_SIM_C_API DWORD HXSIM_GetReplayStatus(HXSIM_REPLAY_STATUS* pStatus) {
    return ReplayCall([&]() -> DWORD {
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
