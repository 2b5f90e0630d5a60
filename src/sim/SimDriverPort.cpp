// The driver port over the simulated bus.
#include "port/Backend.h"

#include <halvex/driver_abi.h>
#include <halvex/sim.h>

#include <atomic>
#include <cstring>
#include <new>
#include <string_view>

#include "platform/ForcedUnwind.h"
#include "platform/Guard.h"
#include "platform/Overlapped.h"
#include "sim/Bus.h"
#include "sim/Replay.h"
#include "sim/TransferMemory.h"

namespace halvex::port::backend {
namespace {

// The transfer method in a control code's low two bits.
constexpr DWORD kTransferMethodMask = 3;
constexpr DWORD kMethodBuffered = 0;

// The simulated boards live in this process and vanish with it; once its other threads are
// gone, one of them may have died holding a board's or the bus's lock, or the heap's.
std::atomic<bool> gProcessEnding{false};

BOOL RefuseAtProcessEnd() {
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return FALSE;
}

}  // namespace

void ProcessEnding() noexcept {
    gProcessEnding.store(true);
    sim::EndTransferMemoryList();
}

std::vector<std::u16string> EnumerateInterfaces(const GUID& classGuid) {
    std::vector<std::u16string> paths;
    try {
        sim::ReplayFromEnvironmentOnce();
        if (sim::ReplayEnumerate(classGuid, paths)) return paths;
        if (std::memcmp(&classGuid, &InterfaceClassGuid, sizeof(GUID)) != 0) return paths;
        sim::EnsureBusConfigured();
        for (const auto& board : sim::Bus::Instance().Boards()) {
            const sim::BoardSetup& setup = board->Setup();
            std::u16string path = setup.path;
            if (!setup.pathTail.empty()) {
                path.push_back(u'\0');
                path += setup.pathTail;
            }
            paths.push_back(std::move(path));
        }
    } catch (...) {
        if (halvex::platform::ForcedUnwinding()) throw;
        paths.clear();
    }
    return paths;
}

HANDLE Open(LPCWSTR path) {
    if (path == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    try {
        HANDLE replayed = INVALID_HANDLE_VALUE;
        if (sim::ReplayOpen(path, replayed)) return replayed;
        // The whole string up to its terminator: a path still carrying its tail matches nothing.
        return sim::Bus::Instance().Open(std::u16string_view(reinterpret_cast<const char16_t*>(path)));
    } catch (...) {
        if (halvex::platform::ForcedUnwinding()) throw;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
}

BOOL Control(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
             LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
    if (gProcessEnding.load()) return RefuseAtProcessEnd();
    try {
        BOOL replayed = FALSE;
        if (sim::ReplayControl(device, code, in, inSize, out, outSize, bytesReturned, overlapped, replayed))
            return replayed;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    } catch (...) {
        if (halvex::platform::ForcedUnwinding()) throw;
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    sim::ControlAnswer answer;
    // A buffered request's answer is made in a buffer of ours and stored into the caller's once,
    // as the I/O manager copies its system buffer back; a direct-I/O request's data only ever
    // arrives through a completion.
    const bool buffered = (code & kTransferMethodMask) == kMethodBuffered;
    std::vector<uint8_t> answerBuffer;
    try {
        std::shared_ptr<sim::Board> board = sim::Bus::Instance().BoardOf(device);
        if (!board) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        // Caller memory the request cannot use, a null buffer of some size included, fails it
        // before the board sees it, as the I/O manager's probes do. The library's transfer
        // memory, which only its data requests (direct I/O) carry, needs no probe.
        sim::ControlCall call;
        call.input.resize(inSize);
        const auto usable = [buffered](void* p, std::size_t size) {
            return (!buffered && sim::IsTransferMemory(p, size)) || platform::CanStore(p, size);
        };
        if ((overlapped != nullptr && !usable(overlapped, sizeof *overlapped)) ||
            (outSize != 0 && !usable(out, outSize)) ||
            (inSize != 0 && !platform::GuardedLoad(call.input.data(), in, inSize))) {
            SetLastError(ERROR_NOACCESS);
            return FALSE;
        }
        call.handle = device;
        call.code = code;
        if (buffered && outSize != 0) {
            answerBuffer.resize(outSize);
            call.out = answerBuffer.data();
        }
        call.outSize = outSize;
        call.target = static_cast<uint8_t*>(out);
        call.overlapped = overlapped;
        answer = board->Answer(call);
    } catch (const std::bad_alloc&) {
        answer = sim::ControlAnswer::Failure(ERROR_NOT_ENOUGH_MEMORY);
    } catch (...) {
        if (halvex::platform::ForcedUnwinding()) throw;
        answer = sim::ControlAnswer::Failure(ERROR_GEN_FAILURE);
    }

    switch (answer.outcome) {
        case sim::ControlAnswer::Outcome::Pending:
            SetLastError(ERROR_IO_PENDING);
            return FALSE;
        case sim::ControlAnswer::Outcome::Failed:
            // A request refused at once leaves the OVERLAPPED alone, as the I/O manager does.
            SetLastError(answer.error);
            return FALSE;
        case sim::ControlAnswer::Outcome::Done:
            break;
    }
    const DWORD stored = answer.bytes < outSize ? answer.bytes : outSize;
    if (buffered && stored != 0 && !platform::GuardedStore(out, answerBuffer.data(), stored)) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    if (bytesReturned != nullptr) *bytesReturned = answer.bytes;
    if (overlapped != nullptr) {
        platform::CompleteOverlapped(overlapped, 0, answer.bytes);
        sim::SignalHandle(device);
    }
    SetLastError(0);
    return TRUE;
}

BOOL Cancel(HANDLE device, LPOVERLAPPED overlapped) {
    if (gProcessEnding.load()) return RefuseAtProcessEnd();
    try {
        BOOL replayed = FALSE;
        if (sim::ReplayCancel(device, overlapped, replayed)) return replayed;
        return sim::Bus::Instance().Cancel(device, overlapped);
    } catch (...) {
        if (halvex::platform::ForcedUnwinding()) throw;
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
}

BOOL Close(HANDLE device) {
    // Left to the end of the process, with the whole bus.
    if (gProcessEnding.load()) return TRUE;
    try {
        BOOL replayed = FALSE;
        if (sim::ReplayClose(device, replayed)) return replayed;
        return sim::Bus::Instance().Close(device);
    } catch (...) {
        if (halvex::platform::ForcedUnwinding()) throw;
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
}

}  // namespace halvex::port::backend
