// The sim API of the registers and of the log of what the library sent.
#include <halvex/sim_c.h>

#include <mutex>
#include <vector>

#include "board/DriverAbi.h"
#include "sim/Bus.h"
#include "sim/api/SimCall.h"

using namespace halvex::sim;

namespace {

DWORD CheckAccess(DWORD offset, DWORD width) {
    return RegisterFile::Contains(offset, width) ? DWORD{ERROR_SUCCESS} : DWORD{ERROR_INVALID_PARAMETER};
}

bool IsRegisterRequest(const Request& request) {
    return (request.code == halvex::IOCTL_REG_READ || request.code == halvex::IOCTL_REG_WRITE ||
            request.code == halvex::IOCTL_REG_READ_BLOCK) &&
           request.input.size() >= sizeof(halvex::board::RegisterRequest);
}

}  // namespace

extern "C" HALVEX_SIM_C_API DWORD HXSIM_SetRegister(UINT64 iBoard, DWORD Offset, DWORD Value, DWORD Width) {
    return SimCall([&]() -> DWORD {
        if (const DWORD check = CheckAccess(Offset, Width)) return check;
        auto target = Bus::Instance().BoardAt(Position(iBoard));
        std::lock_guard lock(target->mutex);
        target->registers.Write(Offset, Width, Value);
        return ERROR_SUCCESS;
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_GetRegister(UINT64 iBoard, DWORD Offset, DWORD Width, DWORD* pValue) {
    return SimCall([&]() -> DWORD {
        if (const DWORD check = CheckAccess(Offset, Width)) return check;
        auto target = Bus::Instance().BoardAt(Position(iBoard));
        DWORD value = 0;
        {
            std::lock_guard lock(target->mutex);
            value = target->registers.Read(Offset, Width);
        }
        return Stored(halvex::platform::GuardedStoreValue(pValue, value));
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_GetRequests(UINT64 iBoard, HXSIM_REQUEST* pRequests, UINT64 MaxRequests,
                                                    BYTE* pInput, UINT64 MaxInputBytes, UINT64* pRequestCount,
                                                    UINT64* pInputBytes) {
    return SimCall([&]() -> DWORD {
        std::vector<Request> log;
        {
            auto target = Bus::Instance().BoardAt(Position(iBoard));
            std::lock_guard lock(target->mutex);
            log.assign(target->log.begin(), target->log.end());
        }
        std::vector<HXSIM_REQUEST> records;
        std::vector<BYTE> input;
        records.reserve(log.size());
        for (const Request& request : log) {
            HXSIM_REQUEST record{};
            record.ControlCode = request.code;
            record.OutputBytes = request.outSize;
            record.InputBytes = static_cast<DWORD>(request.input.size());
            record.Overlapped = request.overlapped ? TRUE : FALSE;
            record.InputOffset = input.size();
            if (IsRegisterRequest(request)) {
                const auto decoded = halvex::board::LoadRegisterRequest(request.input.data());
                record.IsRegister = TRUE;
                record.Offset = decoded.Offset;
                record.Width = decoded.Width;
                record.Value = decoded.Value;
            }
            input.insert(input.end(), request.input.begin(), request.input.end());
            records.push_back(record);
        }
        if (!halvex::platform::GuardedStoreValue<UINT64>(pInputBytes, input.size())) return ERROR_INVALID_ADDRESS;
        if (input.size() > MaxInputBytes) {
            if (!halvex::platform::GuardedStoreValue<UINT64>(pRequestCount, records.size())) return ERROR_INVALID_ADDRESS;
            return ERROR_MORE_DATA;
        }
        if (const DWORD listed = StoreList<HXSIM_REQUEST>(records, pRequests, MaxRequests, pRequestCount)) return listed;
        if (input.empty()) return ERROR_SUCCESS;
        return Stored(halvex::platform::GuardedStore(pInput, input.data(), input.size()));
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_ClearRequests(UINT64 iBoard) {
    return SimCall([&] {
        auto target = Bus::Instance().BoardAt(Position(iBoard));
        std::lock_guard lock(target->mutex);
        target->log.clear();
    });
}
