// The process-wide simulated bus: the boards in enumeration order, the open handles, and the
// requests pending on them.
//
// Locks: Bus::mutex_ guards the board list, the handle table and the pending table. A board's
// own mutex may be held while taking the bus mutex (a model pends a request), never the other
// way round: the bus mutex is always released before a board is entered. No OVERLAPPED is
// completed under the bus mutex.
#pragma once

#include <windows.h>

#include <halvex/sim.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "sim/Board.h"
#include "sim/Device.h"

namespace halvex::sim {

struct CompletionResult {
    DWORD error = 0;  // 0: success
    DWORD bytes = 0;
};

// Fills the pending request's output and says how it ended. `out` is the bus's own buffer of
// `outSize` bytes; the bytes reported go on into the caller's buffer through the guard. It runs
// without the bus mutex; the request's handle is kept from closing until it returns.
using CompletionFill = std::function<CompletionResult(uint8_t* out, DWORD outSize)>;

class Bus {
public:
    // The one bus of the process. Never destroyed, so a library unloading at process exit can
    // still close its handles.
    static Bus& Instance();

    void RemoveBoards();
    std::size_t AddBoard(const BoardSetup& setup);
    std::vector<std::shared_ptr<Board>> Boards();
    // Throws std::out_of_range for a position past the end.
    std::shared_ptr<Board> BoardAt(std::size_t position);

    // Open/Close of the driver port. Open sets the thread's last error on failure.
    HANDLE Open(std::u16string_view path);
    BOOL Close(HANDLE handle);
    // The board behind an open handle, or null.
    std::shared_ptr<Board> BoardOf(HANDLE handle);
    bool IsOpen(const Board* board);

    // Marks the call's OVERLAPPED pending and keeps it on the call's handle until
    // CompletePending or Close ends it. 0 when the call has no OVERLAPPED or its handle is
    // already closed.
    uint64_t PendRequest(const ControlCall& call);
    // Ends a pending request: `fill` writes its output, then its OVERLAPPED is completed.
    // False (and `fill` not called) when the request already ended, e.g. its handle closed.
    bool CompletePending(uint64_t id, const CompletionFill& fill);
    // CancelIoEx: ends the requests pending on `handle` with `overlapped` (every one when it is
    // null) with ERROR_OPERATION_ABORTED. FALSE with ERROR_NOT_FOUND when none is pending, and
    // ERROR_INVALID_HANDLE for a handle that is not open.
    BOOL Cancel(HANDLE handle, OVERLAPPED* overlapped);
    // How many requests were cancelled so far, so models can tell when to look.
    uint64_t Cancellations() const { return cancellations_.load(std::memory_order_acquire); }
    // Whether a request is still pending.
    bool IsPending(uint64_t id);

    // Company of the board-finder list the bus keeps written.
    std::string Company();
    void SetCompany(const std::string& company);

private:
    struct Pending {
        HANDLE handle;  // signalled with the OVERLAPPED's event, as a file object is
        OVERLAPPED* overlapped;
        uint8_t* out;
        DWORD outSize;
    };
    struct OpenHandle {
        std::shared_ptr<Board> board;
        std::map<uint64_t, Pending> pending;
        int completing = 0;  // CompletePending calls running their fill for this handle
    };

    Bus() = default;

    std::mutex mutex_;
    std::condition_variable completed_;  // signalled when a handle's `completing` drops
    std::vector<std::shared_ptr<Board>> boards_;
    std::map<HANDLE, std::shared_ptr<OpenHandle>> handles_;
    std::map<uint64_t, std::shared_ptr<OpenHandle>> pendingOwners_;
    uint64_t nextPendingId_ = 1;
    std::atomic<uint64_t> cancellations_{0};
    std::string company_ = "Orvande";
};

// Signals an open handle as the end of an I/O on it does, keeping the thread's last error.
void SignalHandle(HANDLE handle);

// Builds the bus from the environment unless a test already set it up; the first enumeration
// calls it.
void EnsureBusConfigured();

// A board on the bus and its device model of type `Model`, for the sim API: throws
// std::out_of_range for a board not on the bus and std::logic_error (`missing`) when the board
// has no such model. The caller takes the board's mutex before touching the model.
template <typename Model>
struct ModelOf {
    ModelOf(std::size_t position, const char* missing)
        : board(Bus::Instance().BoardAt(position)), model(board->FindModel<Model>()) {
        if (model == nullptr) throw std::logic_error(missing);
    }
    std::shared_ptr<Board> board;
    Model* model;
};
// Marks the bus as set up by the sim API.
void MarkBusConfigured();

// What the sim API does to the bus as a whole. ResetBus removes every board, injection and log,
// and the board-finder list; UseDefaultBus resets it and adds one board of each register layout.
void ResetBus();
void UseDefaultBus();

}  // namespace halvex::sim
