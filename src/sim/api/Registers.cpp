// The sim API of the registers and of the log of what the library sent.
#include <halvex/sim.h>

#include <mutex>
#include <stdexcept>

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

// A logged register request carries the 8-byte RegisterRequest.
bool Request::IsRegister() const {
    return (code == kIoctlRegRead || code == kIoctlRegWrite || code == kIoctlRegReadBlock) && input.size() >= 8;
}

uint16_t Request::Offset() const {
    return IsRegister() ? static_cast<uint16_t>(input[0] | input[1] << 8) : 0;
}

uint8_t Request::Width() const { return IsRegister() ? input[3] : 0; }

uint32_t Request::Value() const {
    if (!IsRegister()) return 0;
    return uint32_t{input[4]} | uint32_t{input[5]} << 8 | uint32_t{input[6]} << 16 | uint32_t{input[7]} << 24;
}

}  // namespace halvex::sim
