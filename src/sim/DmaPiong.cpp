#include "sim/DmaPiong.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <cstring>

#include "board/DriverAbi.h"
#include "sim/Board.h"

namespace halvex::sim {

bool DmaPiongModel::OnControl(Board& board, const ControlCall& call, ControlAnswer& answer) {
    if (call.code == kIoctlDmaPiongControl) {
        answer = Control(board, call);
        return true;
    }
    if (call.code == kIoctlDmaPiongIn) {
        answer = call.overlapped != nullptr ? Data(board, call) : DataBlocking(board, call);
        return true;
    }
    return false;
}

ControlAnswer DmaPiongModel::Control(Board& board, const ControlCall& call) {
    if (!call.input.empty() && call.input[0] == halvex::board::kDmaControlStop) FailAll(ERROR_OPERATION_ABORTED);
    if (engine_ != nullptr) engine_->OnControlBytes(board, call.input);
    const DWORD back = std::min<DWORD>(static_cast<DWORD>(call.input.size()), call.outSize);
    if (back != 0) std::memcpy(call.out, call.input.data(), back);
    return ControlAnswer::Success(back);
}

ControlAnswer DmaPiongModel::Data(Board& board, const ControlCall& call) {
    const uint64_t id = Bus::Instance().PendRequest(call);
    if (id == 0) return ControlAnswer::Failure(ERROR_INVALID_HANDLE);
    DataRequest request;
    request.id = id;
    request.size = call.outSize;
    request.bytes = std::min(call.outSize, call.shortBytes);
    if (call.input.size() >= 4) {
        request.channel = uint32_t{call.input[0]} | uint32_t{call.input[1]} << 8 | uint32_t{call.input[2]} << 16 |
                          uint32_t{call.input[3]} << 24;
    }
    pending_.push_back(request);
    pendingChanged.notify_all();
    if (engine_ != nullptr) engine_->OnDataRequest(board);
    return ControlAnswer::Pending();
}

ControlAnswer DmaPiongModel::DataBlocking(Board& board, const ControlCall& call) {
    // Held on a record of our own like an overlapped one, so filling, stopping and closing the
    // handle end it the same way.
    OVERLAPPED own{};
    own.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (own.hEvent == nullptr) return ControlAnswer::Failure(ERROR_NOT_ENOUGH_MEMORY);
    ControlCall held = call;
    held.overlapped = &own;
    ControlAnswer answer = Data(board, held);
    if (answer.outcome == ControlAnswer::Outcome::Pending) {
        board.mutex.unlock();
        WaitForSingleObject(own.hEvent, INFINITE);
        board.mutex.lock();
        DWORD bytes = 0;
        answer = GetOverlappedResult(call.handle, &own, &bytes, FALSE) ? ControlAnswer::Success(bytes)
                                                                        : ControlAnswer::Failure(GetLastError());
    }
    CloseHandle(own.hEvent);
    return answer;
}

const std::deque<DmaPiongModel::DataRequest>& DmaPiongModel::PendingData() {
    // A cancelled request leaves the queue as it does a driver's: only looked for when the
    // bus has cancelled something since the last look.
    const uint64_t cancellations = Bus::Instance().Cancellations();
    if (cancellations != cancellationsSeen_) {
        cancellationsSeen_ = cancellations;
        const auto before = pending_.size();
        std::erase_if(pending_, [](const DataRequest& request) { return !Bus::Instance().IsPending(request.id); });
        if (pending_.size() != before) pendingChanged.notify_all();
    }
    return pending_;
}

bool DmaPiongModel::CompleteOldest(const CompletionFill& fill) {
    while (!pending_.empty()) {
        const uint64_t id = pending_.front().id;
        pending_.pop_front();
        const bool completed = Bus::Instance().CompletePending(id, fill);
        pendingChanged.notify_all();
        if (completed) return true;
    }
    return false;
}

void DmaPiongModel::FailAll(DWORD error) {
    while (!pending_.empty()) {
        const uint64_t id = pending_.front().id;
        pending_.pop_front();
        Bus::Instance().CompletePending(id, [error](uint8_t*, DWORD) { return CompletionResult{error, 0}; });
    }
    pendingChanged.notify_all();
}

}  // namespace halvex::sim
