#include "sim/Bus.h"

#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "platform/ForcedUnwind.h"
#include "platform/Guard.h"
#include "platform/Overlapped.h"
#include "sim/TransferMemory.h"

namespace halvex::sim {
namespace {

// The model fills a buffer of ours and the caller's gets it in one guarded store, so a buffer
// the application unmapped or made read-only fails the request (998) as the driver would. The
// library's transfer memory takes a plain copy, as a board's DMA writes it.
CompletionResult FillThroughGuard(const CompletionFill& fill, uint8_t* out, DWORD outSize) {
    if (outSize == 0) return fill(nullptr, 0);
    // Kept per thread and reused: completions come one chunk after another on the same few
    // threads, and a fresh block per chunk would cost an allocation and its page faults each
    // time. A fill writes every byte it reports, and only those are stored.
    thread_local std::vector<uint8_t> staged;
    if (staged.size() < outSize) staged.resize(outSize);
    CompletionResult result = fill(staged.data(), outSize);
    const DWORD bytes = result.bytes < outSize ? result.bytes : outSize;
    if (bytes == 0) return result;
    if (IsTransferMemory(out, bytes))
        std::memcpy(out, staged.data(), bytes);
    else if (!platform::GuardedStore(out, staged.data(), bytes))
        return CompletionResult{ERROR_NOACCESS, 0};
    return result;
}

}  // namespace

Bus& Bus::Instance() {
    static Bus* const bus = new Bus;
    return *bus;
}

void Bus::RemoveBoards() {
    std::vector<std::shared_ptr<Board>> removed;  // destroyed after the bus mutex is released
    std::lock_guard lock(mutex_);
    // Open handles keep their boards alive and working until they are closed.
    removed.swap(boards_);
}

std::size_t Bus::AddBoard(const BoardSetup& setup) {
    std::lock_guard lock(mutex_);
    const std::size_t position = boards_.size();
    boards_.push_back(std::make_shared<Board>(position, setup));
    return position;
}

std::vector<std::shared_ptr<Board>> Bus::Boards() {
    std::lock_guard lock(mutex_);
    return boards_;
}

std::shared_ptr<Board> Bus::BoardAt(std::size_t position) {
    std::lock_guard lock(mutex_);
    if (position >= boards_.size()) throw std::out_of_range("no simulated board at this position");
    return boards_[position];
}

HANDLE Bus::Open(std::u16string_view path) {
    std::shared_ptr<Board> board;
    {
        std::lock_guard lock(mutex_);
        for (const auto& candidate : boards_) {
            if (candidate->Setup().path == path) {
                board = candidate;
                break;
            }
        }
    }
    if (!board) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    DWORD openFailure;
    {
        std::lock_guard lock(board->mutex);
        openFailure = board->openFailure;
    }
    if (openFailure != 0) {
        SetLastError(openFailure);
        return INVALID_HANDLE_VALUE;
    }
    // A real Win32 object, so the handle is valid to the platform on both sides; its state is
    // never used.
    HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (handle == nullptr) return INVALID_HANDLE_VALUE;
    auto entry = std::make_shared<OpenHandle>();
    entry->board = std::move(board);
    {
        std::lock_guard lock(mutex_);
        handles_[handle] = std::move(entry);
    }
    SetLastError(0);
    return handle;
}

BOOL Bus::Close(HANDLE handle) {
    std::vector<Pending> aborted;
    // Released after the bus mutex: it may hold the last reference to the board, whose models
    // take the board's mutex as they go.
    std::shared_ptr<OpenHandle> entry;
    {
        std::unique_lock lock(mutex_);
        auto it = handles_.find(handle);
        if (it == handles_.end()) {
            lock.unlock();
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        entry = it->second;
        handles_.erase(it);
        // A completion already filling a caller's buffer finishes before the caller is told
        // the handle is gone and frees that buffer.
        completed_.wait(lock, [&] { return entry->completing == 0; });
        for (const auto& [id, pending] : entry->pending) {
            pendingOwners_.erase(id);
            aborted.push_back(pending);
        }
        entry->pending.clear();
    }
    for (const Pending& pending : aborted) {
        platform::CompleteOverlapped(pending.overlapped, ERROR_OPERATION_ABORTED, 0);
    }
    if (!CloseHandle(handle)) return FALSE;
    SetLastError(0);
    return TRUE;
}

std::shared_ptr<Board> Bus::BoardOf(HANDLE handle) {
    std::lock_guard lock(mutex_);
    auto it = handles_.find(handle);
    return it == handles_.end() ? nullptr : it->second->board;
}

bool Bus::IsOpen(const Board* board) {
    std::lock_guard lock(mutex_);
    for (const auto& [handle, entry] : handles_) {
        if (entry->board.get() == board) return true;
    }
    return false;
}

uint64_t Bus::PendRequest(const ControlCall& call) {
    if (call.overlapped == nullptr) return 0;
    std::lock_guard lock(mutex_);
    auto it = handles_.find(call.handle);
    if (it == handles_.end()) return 0;
    // Pending before anyone can complete it, so a completion racing this call is never
    // overwritten by the mark.
    platform::MarkPending(call.overlapped);
    // Windows resets a file object when I/O on it starts and signals it when the I/O
    // completes, so GetOverlappedResult works on an OVERLAPPED without an event.
    ResetEvent(call.handle);
    const uint64_t id = nextPendingId_++;
    it->second->pending.emplace(id, Pending{call.handle, call.overlapped, call.target, call.outSize});
    pendingOwners_.emplace(id, it->second);
    return id;
}

bool Bus::CompletePending(uint64_t id, const CompletionFill& fill) {
    std::shared_ptr<OpenHandle> entry;
    Pending pending{};
    {
        std::lock_guard lock(mutex_);
        auto owner = pendingOwners_.find(id);
        if (owner == pendingOwners_.end()) return false;
        entry = owner->second;
        pendingOwners_.erase(owner);
        auto it = entry->pending.find(id);
        pending = it->second;
        entry->pending.erase(it);
        ++entry->completing;
    }
    CompletionResult result{ERROR_GEN_FAILURE, 0};
    try {
        result = FillThroughGuard(fill, pending.out, pending.outSize);
    } catch (...) {
        if (halvex::platform::ForcedUnwinding()) throw;
        // A model that cannot fill the buffer fails the request rather than leave it pending.
    }
    platform::CompleteOverlapped(pending.overlapped, result.error, result.bytes);
    SignalHandle(pending.handle);
    {
        std::lock_guard lock(mutex_);
        --entry->completing;
    }
    completed_.notify_all();
    return true;
}

BOOL Bus::Cancel(HANDLE handle, OVERLAPPED* overlapped) {
    std::vector<Pending> cancelled;
    std::shared_ptr<OpenHandle> entry;
    {
        std::lock_guard lock(mutex_);
        auto it = handles_.find(handle);
        if (it == handles_.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        entry = it->second;
        for (auto request = entry->pending.begin(); request != entry->pending.end();) {
            if (overlapped == nullptr || request->second.overlapped == overlapped) {
                pendingOwners_.erase(request->first);
                cancelled.push_back(request->second);
                request = entry->pending.erase(request);
            } else {
                ++request;
            }
        }
        if (cancelled.empty()) {
            SetLastError(ERROR_NOT_FOUND);
            return FALSE;
        }
        // Keeps the handle from closing until the completions below are written.
        ++entry->completing;
        cancellations_.fetch_add(cancelled.size(), std::memory_order_release);
    }
    for (const Pending& request : cancelled) {
        platform::CompleteOverlapped(request.overlapped, ERROR_OPERATION_ABORTED, 0);
        SignalHandle(request.handle);
    }
    {
        std::lock_guard lock(mutex_);
        --entry->completing;
    }
    completed_.notify_all();
    SetLastError(0);
    return TRUE;
}

void SignalHandle(HANDLE handle) {
    const DWORD lastError = GetLastError();
    SetEvent(handle);
    SetLastError(lastError);
}

bool Bus::IsPending(uint64_t id) {
    std::lock_guard lock(mutex_);
    return pendingOwners_.count(id) != 0;
}

std::string Bus::Company() {
    std::lock_guard lock(mutex_);
    return company_;
}

void Bus::SetCompany(const std::string& company) {
    std::lock_guard lock(mutex_);
    company_ = company;
}

}  // namespace halvex::sim
