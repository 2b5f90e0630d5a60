#include "sim/Board.h"

#include <cstring>

#include "board/DriverAbi.h"
#include "board/Registers.h"
#include "sim/BoardList.h"
#include "sim/Bus.h"
#include "sim/DeviceModels.h"
#include "sim/Text.h"

namespace halvex::sim {
namespace {

constexpr DWORD kRegisterRequestSize = sizeof(halvex::board::RegisterRequest);

uint32_t LoadU32(const uint8_t* bytes) {
    return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
}

void StoreLittleEndian(uint8_t* bytes, uint32_t value, unsigned width) {
    for (unsigned i = 0; i < width; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t WidthMask(unsigned width) {
    return width == 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1;
}

// The device-interface class as a path names it: {e77894a2-697f-11d0-958e-af1fdadb2f1b}.
std::u16string InterfaceClassText() {
    const GUID& guid = InterfaceClassGuid;
    std::string text = "{" + Hex(guid.Data1, 8, false) + "-" + Hex(guid.Data2, 4, false) + "-" +
                       Hex(guid.Data3, 4, false) + "-";
    for (std::size_t i = 0; i < 8; ++i) {
        if (i == 2) text += "-";
        text += Hex(guid.Data4[i], 2, false);
    }
    return Widen(text + "}");
}

std::u16string MadeUpPath(std::size_t position, uint32_t deviceId) {
    return u"\\\\?\\pci#ven_1a2b&dev_" + Widen(Hex(deviceId, 4, false)) + u"#4&1&" +
           Widen(Hex(static_cast<uint32_t>(position), 1, false)) + u"&00e8#" + InterfaceClassText();
}

}  // namespace

Board::Board(std::size_t position, const BoardSetup& setup) : setup_(setup) {
    if (setup_.path.empty()) setup_.path = MadeUpPath(position, setup_.deviceId);
    if (setup_.name.empty()) setup_.name = DefaultBoardName(setup_.deviceId);
    registers.Write(halvex::board::kBaseClockRegister, 4, setup_.baseClock);
    registers.Write(halvex::board::kFirmwareRegister, 4, setup_.firmware);
    registers.Write(halvex::board::ChunkSizeRegister(0), 4, setup_.transferBytes);
    // Memory BARs of 64 KiB, one 1 MiB window per board position, as a BIOS might assign them.
    for (unsigned i = 0; i < kBarCount; ++i) {
        barBases_[i] = 0xF0000000u + ((static_cast<uint32_t>(position) & 0xFF) << 20) + (i << 16);
    }
    AttachDeviceModels(*this);
}

ControlAnswer Board::Answer(const ControlCall& call) {
    std::lock_guard lock(mutex);
    Request logged;
    logged.code = call.code;
    logged.input = call.input;
    logged.outSize = call.outSize;
    logged.overlapped = call.overlapped != nullptr;
    log.push_back(std::move(logged));
    if (log.size() > kRequestsKept) log.pop_front();

    auto injected = failures.find(call.code);
    if (injected == failures.end()) return Dispatch(call);
    const Failure failure = injected->second;
    if (failure.count > 0 && --injected->second.count == 0) failures.erase(injected);
    switch (failure.kind) {
        case FailKind::Now:
            return ControlAnswer::Failure(failure.lastError);
        case FailKind::Short: {
            // A data request is a short transfer: the stream's next `bytes` bytes arrive and
            // it completes with that count, as a driver ends a transfer early.
            if (call.code == kIoctlDmaPiongIn) {
                ControlCall cut = call;
                cut.shortBytes = failure.bytes;
                return Dispatch(cut);
            }
            // Any other request still does its work (a register write lands), but may not pend:
            // only the reported size is wrong. One that would wait (for an interrupt) answers
            // at once, with nothing done.
            if (call.overlapped != nullptr) return ControlAnswer::Success(failure.bytes);
            ControlCall atOnce = call;
            atOnce.overlapped = nullptr;
            Dispatch(atOnce);
            return ControlAnswer::Success(failure.bytes);
        }
        case FailKind::PendForever:
            if (call.overlapped == nullptr) return ControlAnswer::Failure(ERROR_GEN_FAILURE);
            if (Bus::Instance().PendRequest(call) == 0) return ControlAnswer::Failure(ERROR_INVALID_HANDLE);
            return ControlAnswer::Pending();
    }
    return ControlAnswer::Failure(ERROR_GEN_FAILURE);
}

uint32_t Board::ReadRegister(uint32_t offset, unsigned width) {
    uint32_t value = 0;
    for (const auto& model : models_) {
        if (model->OnRead(*this, offset, width, value)) return value & WidthMask(width);
    }
    return registers.Read(offset, width);
}

void Board::WriteRegister(uint32_t offset, unsigned width, uint32_t value) {
    value &= WidthMask(width);
    bool taken = false;
    for (const auto& model : models_) taken = model->OnWrite(*this, offset, width, value) || taken;
    if (!taken) registers.Write(offset, width, value);
}

ControlAnswer Board::Dispatch(const ControlCall& call) {
    ControlAnswer answer;
    for (const auto& model : models_) {
        if (model->OnControl(*this, call, answer)) return answer;
    }
    switch (call.code) {
        case kIoctlGetDeviceId:
            return AnswerDeviceId(call);
        case kIoctlQueryBarBase:
            return AnswerBarBase(call);
        case kIoctlRegRead:
        case kIoctlRegWrite:
            return AnswerRegister(call);
        case kIoctlRegReadBlock:
            return AnswerRegisterBlock(call);
        default:
            return ControlAnswer::Failure(ERROR_INVALID_FUNCTION);
    }
}

ControlAnswer Board::AnswerDeviceId(const ControlCall& call) {
    if (call.outSize < 8 || call.out == nullptr) return ControlAnswer::Failure(ERROR_INSUFFICIENT_BUFFER);
    StoreLittleEndian(call.out, setup_.deviceId, 4);
    StoreLittleEndian(call.out + 4, 0, 4);
    return ControlAnswer::Success(8);
}

ControlAnswer Board::AnswerBarBase(const ControlCall& call) {
    if (call.input.size() < 4) return ControlAnswer::Failure(ERROR_INVALID_PARAMETER);
    if (call.outSize < 4 || call.out == nullptr) return ControlAnswer::Failure(ERROR_INSUFFICIENT_BUFFER);
    const uint32_t index = LoadU32(call.input.data());
    if (index >= kBarCount) return ControlAnswer::Failure(ERROR_INVALID_PARAMETER);
    StoreLittleEndian(call.out, barBases_[index], 4);
    return ControlAnswer::Success(4);
}

ControlAnswer Board::AnswerRegister(const ControlCall& call) {
    if (call.input.size() < kRegisterRequestSize) return ControlAnswer::Failure(ERROR_INVALID_PARAMETER);
    const halvex::board::RegisterRequest request = halvex::board::LoadRegisterRequest(call.input.data());
    const uint32_t offset = request.Offset;
    const unsigned width = request.Width;
    if (!RegisterFile::Contains(offset, width)) return ControlAnswer::Failure(ERROR_INVALID_PARAMETER);
    const bool hasOutput = call.out != nullptr && call.outSize >= kRegisterRequestSize;
    if (call.code == kIoctlRegRead) {
        if (!hasOutput) return ControlAnswer::Failure(ERROR_INVALID_PARAMETER);
        const uint32_t value = ReadRegister(offset, width);
        std::memcpy(call.out, call.input.data(), kRegisterRequestSize);
        StoreLittleEndian(call.out + 4, value, 4);
        return ControlAnswer::Success(kRegisterRequestSize);
    }
    // The echo of a write carries nothing, so a write may come without an output buffer.
    if (!hasOutput && call.outSize != 0) return ControlAnswer::Failure(ERROR_INVALID_PARAMETER);
    WriteRegister(offset, width, request.Value);
    if (!hasOutput) return ControlAnswer::Success(0);
    std::memcpy(call.out, call.input.data(), kRegisterRequestSize);
    return ControlAnswer::Success(kRegisterRequestSize);
}

ControlAnswer Board::AnswerRegisterBlock(const ControlCall& call) {
    if (call.input.size() < kRegisterRequestSize) return ControlAnswer::Failure(ERROR_INVALID_PARAMETER);
    const halvex::board::RegisterRequest request = halvex::board::LoadRegisterRequest(call.input.data());
    const uint32_t offset = request.Offset;
    const unsigned width = request.Width;
    if (!RegisterFile::Contains(offset, width)) return ControlAnswer::Failure(ERROR_INVALID_PARAMETER);
    if (call.outSize % width != 0 || (call.outSize != 0 && call.out == nullptr)) {
        return ControlAnswer::Failure(ERROR_INVALID_PARAMETER);
    }
    // Every element reads the same register again, as draining a FIFO does.
    for (DWORD at = 0; at < call.outSize; at += width) StoreLittleEndian(call.out + at, ReadRegister(offset, width), width);
    return ControlAnswer::Success(call.outSize);
}

}  // namespace halvex::sim
