// Device models: how a board gets behaviour beyond plain storage.
//
// A board is a register file plus an ordered list of device models (analog-input FIFOs, the
// start/stop registers, the DAC command register, reset, the DMA engine, interrupts, ...). Each
// model is attached to a board when the board is built (see DeviceModels.cpp: one line per
// model) and sees every access to that board:
//
//   OnRead     a register read of `width` bytes at `offset`. The first model that returns true
//              supplies the value; when none does, the register file answers.
//   OnWrite    a register write. Every model sees it, in order; if any returns true the write is
//              taken by the models and the register file keeps its old bytes.
//   OnControl  a control request, offered before the bus's own answers; the first model that
//              returns true has answered it through `answer`. A model that cannot answer at
//              once calls PendRequest (Bus.h) and sets answer.outcome to Pending; it completes
//              the request later with CompletePending, from any thread.
//
// All three run under the board's mutex (Board::mutex), so a model's own state needs no lock
// of its own unless a thread of the model touches it; such a thread takes the board's mutex.
// Models never call into the library.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

namespace halvex::sim {

class Board;

// One control request as it reached the board. `input` is a copy of the caller's input buffer
// (the caller may pass one buffer as input and output).
struct ControlCall {
    HANDLE handle = nullptr;
    DWORD code = 0;
    std::vector<uint8_t> input;
    // Where a model writes an answer it gives at once: for a buffered control code the port's
    // own copy of the output, which the port stores into the caller's buffer afterwards; null
    // for a direct-I/O code, whose data only a completion delivers.
    uint8_t* out = nullptr;
    DWORD outSize = 0;
    // The caller's output buffer. Only the completion of a pending request writes it, through
    // the caller-pointer guard (Bus::CompletePending).
    uint8_t* target = nullptr;
    OVERLAPPED* overlapped = nullptr;  // null: the request must complete at once
    // A data request the driver is to complete short: at most this many bytes arrive.
    DWORD shortBytes = 0xFFFFFFFFu;
};

struct ControlAnswer {
    enum class Outcome { Done, Failed, Pending };
    Outcome outcome = Outcome::Done;
    DWORD error = 0;  // Failed: the last error (0 allowed)
    DWORD bytes = 0;  // Done: bytes returned

    static ControlAnswer Success(DWORD bytesReturned) { return {Outcome::Done, 0, bytesReturned}; }
    static ControlAnswer Failure(DWORD lastError) { return {Outcome::Failed, lastError, 0}; }
    static ControlAnswer Pending() { return {Outcome::Pending, 0, 0}; }
};

class Device {
public:
    virtual ~Device() = default;
    virtual bool OnRead(Board& /*board*/, uint32_t /*offset*/, unsigned /*width*/, uint32_t& /*value*/) {
        return false;
    }
    virtual bool OnWrite(Board& /*board*/, uint32_t /*offset*/, unsigned /*width*/, uint32_t /*value*/) {
        return false;
    }
    virtual bool OnControl(Board& /*board*/, const ControlCall& /*call*/, ControlAnswer& /*answer*/) {
        return false;
    }
};

}  // namespace halvex::sim
