// The sim API of injected failures: of control requests and of opens.
#include <halvex/sim_c.h>

#include <cstring>
#include <mutex>
#include <string>

#include "sim/Bus.h"
#include "sim/api/SimCall.h"

using namespace halvex::sim;

static_assert(HXSIM_FAIL_NOW == static_cast<int>(FailKind::Now) &&
              HXSIM_FAIL_SHORT == static_cast<int>(FailKind::Short) &&
              HXSIM_FAIL_PEND_FOREVER == static_cast<int>(FailKind::PendForever));

extern "C" HALVEX_SIM_C_API DWORD HXSIM_FailRequests(UINT64 iBoard, DWORD ControlCode, DWORD Kind, DWORD LastError,
                                                     DWORD Bytes, LONG Count) {
    return SimCall([&]() -> DWORD {
        if (Kind > HXSIM_FAIL_PEND_FOREVER || Count < -1) return ERROR_INVALID_PARAMETER;
        Failure failure;
        failure.kind = static_cast<FailKind>(Kind);
        failure.lastError = LastError;
        failure.bytes = Bytes;
        failure.count = static_cast<int>(Count);
        auto target = Bus::Instance().BoardAt(Position(iBoard));
        std::lock_guard lock(target->mutex);
        if (failure.count == 0) {
            target->failures.erase(ControlCode);
        } else {
            target->failures[ControlCode] = failure;
        }
        return ERROR_SUCCESS;
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_ClearFailures(UINT64 iBoard) {
    return SimCall([&] {
        auto target = Bus::Instance().BoardAt(Position(iBoard));
        std::lock_guard lock(target->mutex);
        target->failures.clear();
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_FailOpen(UINT64 iBoard, DWORD LastError) {
    return SimCall([&] {
        auto target = Bus::Instance().BoardAt(Position(iBoard));
        std::lock_guard lock(target->mutex);
        target->openFailure = LastError;
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_GetControlCode(const char* Name, DWORD* pCode) {
    return SimCall([&]() -> DWORD {
        struct Named {
            const char* name;
            DWORD code;
        };
        static constexpr Named kCodes[] = {
            {"IOCTL_GET_DEVICE_ID", halvex::IOCTL_GET_DEVICE_ID},
            {"IOCTL_QUERY_BAR_BASE", halvex::IOCTL_QUERY_BAR_BASE},
            {"IOCTL_WAIT_FOR_IRQ", halvex::IOCTL_WAIT_FOR_IRQ},
            {"IOCTL_POLL_FOR_IRQ", halvex::IOCTL_POLL_FOR_IRQ},
            {"IOCTL_ABORT_IRQ_WAIT", halvex::IOCTL_ABORT_IRQ_WAIT},
            {"IOCTL_REG_READ", halvex::IOCTL_REG_READ},
            {"IOCTL_REG_READ_BLOCK", halvex::IOCTL_REG_READ_BLOCK},
            {"IOCTL_REG_WRITE", halvex::IOCTL_REG_WRITE},
            {"IOCTL_DMA_PIONG_CONTROL", halvex::IOCTL_DMA_PIONG_CONTROL},
            {"IOCTL_DMA_PIONG_IN", halvex::IOCTL_DMA_PIONG_IN},
        };
        std::string name;
        if (!LoadText(Name, name)) return ERROR_INVALID_ADDRESS;
        for (const Named& entry : kCodes) {
            if (name == entry.name) return Stored(halvex::platform::GuardedStoreValue(pCode, entry.code));
        }
        return ERROR_INVALID_PARAMETER;
    });
}
