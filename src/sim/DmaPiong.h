// The driver's DMA ping-pong requests: the control request and the queue of data requests.
//
// The model only holds the requests. The board's DMA engine (the acquisition's sample source)
// attaches itself as the Engine: it hears every control request and every new data request and
// fills the oldest data request with CompleteOldest. Without an engine, data requests pend until
// a test supplies data through the sim API or the stop byte ends them.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "sim/Bus.h"
#include "sim/Device.h"

namespace halvex::sim {

class DmaPiongModel final : public Device {
public:
    // Everything an engine is called with runs under the board mutex; it must not block.
    class Engine {
    public:
        virtual ~Engine() = default;
        // A control request's bytes, after the model has handled a stop byte.
        virtual void OnControlBytes(Board& board, const std::vector<uint8_t>& bytes) = 0;
        // A data request was queued; it is the newest of PendingData().
        virtual void OnDataRequest(Board& board) = 0;
    };

    struct DataRequest {
        uint64_t id = 0;                 // the bus's pending request
        DWORD size = 0;                  // the caller's buffer
        DWORD bytes = 0;                 // what arrives: the buffer, or less for a short transfer
        std::optional<uint32_t> channel; // the 4-byte channel input, when given
    };

    // IOCTL_DMA_PIONG_CONTROL: answers with the input bytes again, as many as the caller's
    // capacity takes, and reports that count. A first byte 0x10 (stop) first ends every pending
    // data request with ERROR_OPERATION_ABORTED.
    // IOCTL_DMA_PIONG_IN: queued until filled or stopped. Without an OVERLAPPED the request
    // blocks its caller (with the board mutex released) until then, as the driver would.
    bool OnControl(Board& board, const ControlCall& call, ControlAnswer& answer) override;

    // The rest with the board mutex held.
    void SetEngine(Engine* engine) { engine_ = engine; }
    // The data requests still pending, oldest first; requests the caller cancelled are gone.
    const std::deque<DataRequest>& PendingData();
    // Fills and completes the oldest data request whose caller is still there. False when none is.
    bool CompleteOldest(const CompletionFill& fill);
    // Ends every pending data request with `error`.
    void FailAll(DWORD error);
    // Notified, under the board mutex, whenever a data request is queued or ends.
    std::condition_variable pendingChanged;

private:
    ControlAnswer Control(Board& board, const ControlCall& call);
    ControlAnswer Data(Board& board, const ControlCall& call);
    ControlAnswer DataBlocking(Board& board, const ControlCall& call);

    Engine* engine_ = nullptr;
    std::deque<DataRequest> pending_;
    uint64_t cancellationsSeen_ = 0;  // the bus's count when pending_ was last pruned
};

}  // namespace halvex::sim
