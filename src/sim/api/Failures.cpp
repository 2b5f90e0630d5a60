// The sim API of injected failures: of control requests and of opens.
#include <halvex/sim.h>

#include <mutex>

#include "sim/Bus.h"

namespace halvex::sim {

void FailRequests(std::size_t board, DWORD code, const Failure& failure) {
    auto target = Bus::Instance().BoardAt(board);
    std::lock_guard lock(target->mutex);
    if (failure.count == 0) {
        target->failures.erase(code);
    } else {
        target->failures[code] = failure;
    }
}

void ClearFailures(std::size_t board) {
    auto target = Bus::Instance().BoardAt(board);
    std::lock_guard lock(target->mutex);
    target->failures.clear();
}

void FailOpen(std::size_t board, DWORD lastError) {
    auto target = Bus::Instance().BoardAt(board);
    std::lock_guard lock(target->mutex);
    target->openFailure = lastError;
}

}  // namespace halvex::sim
