// The sim API of the registers and of the log of what the library sent.
#include <halvex/sim.h>

#include <mutex>
#include <stdexcept>

#include "board/DriverAbi.h"
#include "sim/Bus.h"

namespace halvex::sim {
namespace {

void CheckAccess(uint32_t offset, unsigned width) {
    if (!RegisterFile::Contains(offset, width)) throw std::invalid_argument("register access outside the register file");
}

}  // namespace

void SetRegister(std::size_t board, uint32_t offset, uint32_t value, unsigned width) {
    CheckAccess(offset, width);
    auto target = Bus::Instance().BoardAt(board);
    std::lock_guard lock(target->mutex);
    target->registers.Write(offset, width, value);
}

uint32_t GetRegister(std::size_t board, uint32_t offset, unsigned width) {
    CheckAccess(offset, width);
    auto target = Bus::Instance().BoardAt(board);
    std::lock_guard lock(target->mutex);
    return target->registers.Read(offset, width);
}

std::vector<Request> Requests(std::size_t board) {
    auto target = Bus::Instance().BoardAt(board);
    std::lock_guard lock(target->mutex);
    return {target->log.begin(), target->log.end()};
}

void ClearRequests(std::size_t board) {
    auto target = Bus::Instance().BoardAt(board);
    std::lock_guard lock(target->mutex);
    target->log.clear();
}

std::vector<RegisterWrite> RegisterWrites(std::size_t board) {
    std::vector<RegisterWrite> writes;
    for (const Request& request : Requests(board)) {
        if (request.code == kIoctlRegWrite && request.IsRegister()) {
            writes.push_back({request.Offset(), request.Width(), request.Value()});
        }
    }
    return writes;
}

// A logged register request carries a RegisterRequest.
bool Request::IsRegister() const {
    return (code == kIoctlRegRead || code == kIoctlRegWrite || code == kIoctlRegReadBlock) &&
           input.size() >= sizeof(halvex::board::RegisterRequest);
}

uint16_t Request::Offset() const {
    return IsRegister() ? halvex::board::LoadRegisterRequest(input.data()).Offset : 0;
}

uint8_t Request::Width() const { return IsRegister() ? halvex::board::LoadRegisterRequest(input.data()).Width : 0; }

uint32_t Request::Value() const {
    return IsRegister() ? halvex::board::LoadRegisterRequest(input.data()).Value : 0;
}

}  // namespace halvex::sim
