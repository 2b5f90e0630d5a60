#include "sim/Replay.h"

#include <halvex/driver_abi.h>

#include "board/DriverAbi.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "platform/ForcedUnwind.h"
#include "platform/Guard.h"
#include "platform/Overlapped.h"
#include "port/DriverPort.h"
#include "port/RecordingFormat.h"
#include "sim/BoardList.h"
#include "sim/Bus.h"
#include "sim/Text.h"
#include "sim/TransferMemory.h"

namespace halvex::sim {
namespace {

namespace rec = port::recording;
using Clock = std::chrono::steady_clock;

// How far past the oldest request not yet made a request may be found: requests of several
// threads interleave differently from one run to the next.
constexpr std::size_t kMatchWindow = 512;

const char* CodeName(uint32_t code) {
    switch (code) {
        case IOCTL_GET_DEVICE_ID: return "GET_DEVICE_ID";
        case IOCTL_QUERY_BAR_BASE: return "QUERY_BAR_BASE";
        case IOCTL_WAIT_FOR_IRQ: return "WAIT_FOR_IRQ";
        case IOCTL_POLL_FOR_IRQ: return "POLL_FOR_IRQ";
        case IOCTL_ABORT_IRQ_WAIT: return "ABORT_IRQ_WAIT";
        case IOCTL_REG_READ: return "REG_READ";
        case IOCTL_REG_READ_BLOCK: return "REG_READ_BLOCK";
        case IOCTL_REG_WRITE: return "REG_WRITE";
        case IOCTL_DMA_PIONG_CONTROL: return "DMA_PIONG_CONTROL";
        case IOCTL_DMA_PIONG_IN: return "DMA_PIONG_IN";
        default: return "unknown code";
    }
}

// A request in one line: its code, board, input (decoded for register requests) and output.
std::string Describe(uint32_t handle, uint32_t code, const std::vector<uint8_t>& input, bool unreadable,
                     uint32_t outSize, bool overlapped) {
    std::string text = std::string(CodeName(code)) + " (0x" + Hex(code, 8, true) + ") on handle " +
                       std::to_string(handle);
    if ((code == IOCTL_REG_READ || code == IOCTL_REG_WRITE || code == IOCTL_REG_READ_BLOCK) &&
        input.size() == sizeof(board::RegisterRequest)) {
        board::RegisterRequest r{};
        std::memcpy(&r, input.data(), sizeof r);
        text += ", register 0x" + Hex(r.Offset, 1, true) + " width " + std::to_string(r.Width);
        if (code == IOCTL_REG_WRITE) text += " value 0x" + Hex(r.Value, 1, true);
    } else if (unreadable) {
        text += ", input unreadable";
    } else {
        text += ", input";
        if (input.empty()) text += " none";
        for (std::size_t i = 0; i < input.size() && i < 16; ++i) text += " " + Hex(input[i], 2, true);
        if (input.size() > 16) text += " ... (" + std::to_string(input.size()) + " bytes)";
    }
    text += ", output " + std::to_string(outSize) + " bytes";
    if (overlapped) text += ", overlapped";
    return text;
}

std::string Narrow(const std::u16string& text) {
    std::string narrow;
    for (char16_t c : text) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return narrow;
}

struct PendingRequest {
    uint32_t request = 0;
    HANDLE handle = nullptr;
    OVERLAPPED* overlapped = nullptr;
    uint8_t* out = nullptr;
    DWORD outSize = 0;
    Clock::time_point sent;
};

// What completes a request: from its Complete record, or made up (a cancel, a close).
struct Completion {
    PendingRequest pending;
    DWORD error = 0;
    DWORD bytes = 0;
    const std::vector<uint8_t>* data = nullptr;
};

// Writes a request's output: the recorded bytes, then zeros for the bytes the recording did not
// keep, into the library's transfer memory directly and into anything else through the guard.
bool StoreOutput(uint8_t* out, DWORD outSize, DWORD bytes, const std::vector<uint8_t>* data) {
    const DWORD count = std::min(bytes, outSize);
    if (count == 0) return true;
    std::vector<uint8_t> staged(count, 0);
    if (data != nullptr) std::memcpy(staged.data(), data->data(), std::min<std::size_t>(data->size(), count));
    if (IsTransferMemory(out, count)) {
        std::memcpy(out, staged.data(), count);
        return true;
    }
    return platform::GuardedStore(out, staged.data(), count);
}

void Finish(const Completion& c) {
    DWORD error = c.error;
    DWORD bytes = c.bytes;
    if (error == ERROR_SUCCESS && !StoreOutput(c.pending.out, c.pending.outSize, bytes, c.data)) {
        error = ERROR_NOACCESS;
        bytes = 0;
    }
    platform::CompleteOverlapped(c.pending.overlapped, error, bytes);
}

class Replayer {
public:
    Replayer(rec::Recording recording, const ReplayOptions& options, std::string name)
        : recording_(std::move(recording)), options_(options), name_(std::move(name)) {
        std::size_t callsSoFar = 0;
        for (std::size_t i = 0; i < recording_.records.size(); ++i) {
            const rec::Record& r = recording_.records[i];
            switch (r.kind) {
                case rec::Kind::Call:
                    calls_.push_back(i);
                    ++callsSoFar;
                    break;
                case rec::Kind::Answer:
                    answers_[r.request] = i;
                    break;
                case rec::Kind::Complete:
                    completes_[r.request] = i;
                    completionOrder_.push_back({i, callsSoFar});
                    break;
                case rec::Kind::Open:
                    opens_.push_back(i);
                    break;
                case rec::Kind::Enumerate:
                    enumerations_.push_back(i);
                    break;
                default:
                    break;
            }
        }
        consumed_.assign(calls_.size(), false);
        openUsed_.assign(opens_.size(), false);
        callTime_.assign(calls_.size(), Clock::time_point{});
        report_.state = ReplayState::Replaying;
        report_.left = calls_.size();
        lastProgress_ = Clock::now();
        thread_ = std::thread([this] { CompleterBody(); });
    }

    ~Replayer() {
        {
            std::lock_guard lock(mutex_);
            ending_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) thread_.join();
        // What is still pending ends now, as a closing handle ends it.
        std::vector<Completion> left;
        {
            std::lock_guard lock(mutex_);
            for (auto& [request, p] : pending_) left.push_back(Completion{p, ERROR_OPERATION_ABORTED, 0, nullptr});
            pending_.clear();
            for (auto& [handle, number] : handles_) CloseHandle(handle);
        }
        for (const auto& c : left) Finish(c);
    }
    Replayer(const Replayer&) = delete;
    Replayer& operator=(const Replayer&) = delete;

    ReplayReport Report() {
        std::lock_guard lock(mutex_);
        return report_;
    }

    // Board names for the board-finder list, from the identifiers the recording answered.
    std::vector<std::pair<uint32_t, std::string>> BoardNames() const {
        std::vector<std::pair<uint32_t, std::string>> names;
        std::set<uint32_t> seen;
        for (std::size_t index : calls_) {
            const rec::Record& call = recording_.records[index];
            if (call.code != IOCTL_GET_DEVICE_ID) continue;
            const auto answer = answers_.find(call.request);
            if (answer == answers_.end()) continue;
            const rec::Record& a = recording_.records[answer->second];
            if (a.outcome != rec::Outcome::Done || a.data.size() < 4) continue;
            uint32_t id = 0;
            std::memcpy(&id, a.data.data(), 4);
            if (seen.insert(id).second) names.emplace_back(id, DefaultBoardName(id));
        }
        return names;
    }

    bool Owns(HANDLE handle) {
        std::lock_guard lock(mutex_);
        return handles_.count(handle) != 0;
    }

    std::vector<std::u16string> Enumerate(const GUID& classGuid) {
        std::lock_guard lock(mutex_);
        if (report_.state == ReplayState::Diverged) return {};
        while (nextEnumeration_ < enumerations_.size()) {
            const rec::Record& r = recording_.records[enumerations_[nextEnumeration_++]];
            if (std::memcmp(r.guid.data(), &classGuid, sizeof classGuid) == 0) {
                Progress();
                return r.paths;
            }
        }
        DivergeLocked(0, "no further enumeration (the recording has no more)", "an enumeration of device interfaces");
        return {};
    }

    HANDLE Open(LPCWSTR path) {
        std::vector<Completion> failed;
        HANDLE result = INVALID_HANDLE_VALUE;
        DWORD error = kReplayDivergedError;
        {
            std::lock_guard lock(mutex_);
            const std::u16string wanted = path == nullptr ? u"" : reinterpret_cast<const char16_t*>(path);
            const rec::Record* found = nullptr;
            if (report_.state != ReplayState::Diverged) {
                std::size_t i = 0;
                while (i < opens_.size() && openUsed_[i]) ++i;
                for (std::size_t seen = 0; i < opens_.size() && seen < kMatchWindow; ++i, ++seen) {
                    if (!openUsed_[i] && recording_.records[opens_[i]].path == wanted) {
                        openUsed_[i] = true;
                        found = &recording_.records[opens_[i]];
                        break;
                    }
                }
            }
            if (found == nullptr) {
                failed = DivergeLocked(0, "none of the opens the recording has left", "an open of " + Narrow(wanted));
            } else if (found->handle == 0) {
                Progress();
                error = found->error;
            } else {
                Progress();
                result = CreateEventW(nullptr, TRUE, FALSE, nullptr);
                if (result == nullptr) {
                    result = INVALID_HANDLE_VALUE;
                    error = ERROR_NOT_ENOUGH_MEMORY;
                } else {
                    handles_[result] = found->handle;
                }
            }
        }
        for (const auto& c : failed) Finish(c);
        if (result == INVALID_HANDLE_VALUE) SetLastError(error);
        return result;
    }

    BOOL Control(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD bytesReturned,
                 LPOVERLAPPED overlapped) {
        std::vector<uint8_t> input(inSize);
        const bool unreadable = inSize != 0 && !platform::GuardedLoad(input.data(), in, inSize);
        if (unreadable) input.clear();

        std::vector<Completion> failed;
        const rec::Record* answer = nullptr;
        Clock::duration delay{};
        {
            std::unique_lock lock(mutex_);
            const auto known = handles_.find(device);
            const uint32_t handle = known == handles_.end() ? 0 : known->second;
            const std::size_t slot = MatchLocked(handle, code, input, unreadable, outSize, overlapped != nullptr);
            if (slot == kNoMatch) {
                const std::string got = Describe(handle, code, input, unreadable, outSize, overlapped != nullptr);
                failed = DivergeLocked(ExpectedRequestLocked(), ExpectedTextLocked(), got);
            } else {
                const rec::Record& call = recording_.records[calls_[slot]];
                const auto found = answers_.find(call.request);
                if (found == answers_.end()) {
                    failed = DivergeLocked(call.request, Describe(call.handle, call.code, call.input,
                                                                   call.inputUnreadable, call.outSize, call.overlapped),
                                           "the recording ends before this request's answer");
                } else {
                    consumed_[slot] = true;
                    callTime_[slot] = Clock::now();
                    ++report_.answered;
                    --report_.left;
                    Progress();
                    answer = &recording_.records[found->second];
                    if (options_.paced && answer->timeNs > call.timeNs)
                        delay = std::chrono::nanoseconds(std::min<uint64_t>(answer->timeNs - call.timeNs, 1'000'000'000));
                    if (answer->outcome == rec::Outcome::Pending) {
                        platform::MarkPending(overlapped);
                        pending_[call.request] = PendingRequest{call.request, device, overlapped,
                                                                static_cast<uint8_t*>(out), outSize, callTime_[slot]};
                    }
                    if (report_.left == 0 && recording_.ended && pending_.empty()) report_.state = ReplayState::Finished;
                }
            }
        }
        wake_.notify_all();
        for (const auto& c : failed) Finish(c);
        if (answer == nullptr) {
            SetLastError(kReplayDivergedError);
            return FALSE;
        }
        if (delay > Clock::duration{}) std::this_thread::sleep_for(delay);
        switch (answer->outcome) {
            case rec::Outcome::Pending:
                SetLastError(ERROR_IO_PENDING);
                return FALSE;
            case rec::Outcome::Failed:
                SetLastError(answer->error);
                return FALSE;
            case rec::Outcome::Done:
                break;
        }
        if (!StoreOutput(static_cast<uint8_t*>(out), outSize, answer->bytes, &answer->data)) {
            SetLastError(ERROR_NOACCESS);
            return FALSE;
        }
        if (bytesReturned != nullptr) *bytesReturned = answer->bytes;
        if (overlapped != nullptr) platform::CompleteOverlapped(overlapped, 0, answer->bytes);
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }

    BOOL Cancel(HANDLE device, LPOVERLAPPED overlapped) {
        std::vector<Completion> ended;
        {
            std::lock_guard lock(mutex_);
            for (auto it = pending_.begin(); it != pending_.end();) {
                if (it->second.handle == device && (overlapped == nullptr || it->second.overlapped == overlapped)) {
                    ended.push_back(RecordedOrAborted(it->second));
                    it = pending_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        wake_.notify_all();
        for (const auto& c : ended) Finish(c);
        if (ended.empty()) {
            SetLastError(ERROR_NOT_FOUND);
            return FALSE;
        }
        return TRUE;
    }

    BOOL Close(HANDLE device) {
        std::vector<Completion> ended;
        {
            std::lock_guard lock(mutex_);
            for (auto it = pending_.begin(); it != pending_.end();) {
                if (it->second.handle == device) {
                    ended.push_back(RecordedOrAborted(it->second));
                    it = pending_.erase(it);
                } else {
                    ++it;
                }
            }
            handles_.erase(device);
        }
        wake_.notify_all();
        for (const auto& c : ended) Finish(c);
        CloseHandle(device);
        return TRUE;
    }

private:
    static constexpr std::size_t kNoMatch = static_cast<std::size_t>(-1);

    void Progress() { lastProgress_ = Clock::now(); }

    std::size_t FirstUnconsumedLocked() {
        while (firstUnconsumed_ < calls_.size() && consumed_[firstUnconsumed_]) ++firstUnconsumed_;
        return firstUnconsumed_;
    }

    std::size_t MatchLocked(uint32_t handle, uint32_t code, const std::vector<uint8_t>& input, bool unreadable,
                            DWORD outSize, bool overlapped) {
        if (report_.state == ReplayState::Diverged) return kNoMatch;
        const std::size_t first = FirstUnconsumedLocked();
        const std::size_t end = std::min(calls_.size(), first + kMatchWindow);
        for (std::size_t slot = first; slot < end; ++slot) {
            if (consumed_[slot]) continue;
            const rec::Record& r = recording_.records[calls_[slot]];
            if (r.handle == handle && r.code == code && r.outSize == outSize && r.overlapped == overlapped &&
                r.inputUnreadable == unreadable && r.input == input)
                return slot;
        }
        return kNoMatch;
    }

    // The recording's number of the request expected next; past its end, the number the next
    // request would have had.
    uint32_t ExpectedRequestLocked() {
        const std::size_t first = FirstUnconsumedLocked();
        if (first < calls_.size()) return recording_.records[calls_[first]].request;
        return calls_.empty() ? 1 : recording_.records[calls_.back()].request + 1;
    }

    std::string ExpectedTextLocked() {
        const std::size_t first = FirstUnconsumedLocked();
        if (first >= calls_.size()) return "no further request (the recording ends here)";
        const rec::Record& r = recording_.records[calls_[first]];
        return Describe(r.handle, r.code, r.input, r.inputUnreadable, r.outSize, r.overlapped);
    }

    // Records the first divergence; every request pending fails with the divergence code.
    std::vector<Completion> DivergeLocked(uint32_t request, const std::string& expected, const std::string& got) {
        std::vector<Completion> failed;
        if (report_.state != ReplayState::Diverged) {
            report_.state = ReplayState::Diverged;
            report_.request = request;
            report_.expected = expected;
            report_.got = got;
            report_.message = "replay of " + name_ + " diverged at request #" + std::to_string(request) +
                              ": expected " + expected + "; got " + got;
            port::PostDiagnostic(Widen(report_.message));
        }
        for (auto& [number, p] : pending_) failed.push_back(Completion{p, kReplayDivergedError, 0, nullptr});
        pending_.clear();
        return failed;
    }

    Completion RecordedOrAborted(const PendingRequest& p) {
        const auto found = completes_.find(p.request);
        if (found == completes_.end()) return Completion{p, ERROR_OPERATION_ABORTED, 0, nullptr};
        const rec::Record& r = recording_.records[found->second];
        return Completion{p, r.error, r.bytes, &r.data};
    }

    // Completes overlapped requests in the recorded order: the next completion goes once its
    // request is pending here, every request recorded before it has been made, and (paced) its
    // time has come.
    void CompleterBody() {
        std::unique_lock lock(mutex_);
        while (!ending_) {
            if (report_.state == ReplayState::Diverged) {
                wake_.wait(lock);
                continue;
            }
            // Completions of requests that already ended (cancelled, closed, answered at once).
            while (nextCompletion_ < completionOrder_.size()) {
                const rec::Record& r = recording_.records[completionOrder_[nextCompletion_].first];
                const bool made = IsCallConsumedLocked(r.request);
                if (made && pending_.count(r.request) == 0) {
                    ++nextCompletion_;
                    continue;
                }
                break;
            }
            auto deadline = Clock::now() + std::chrono::milliseconds(options_.stallMs);
            if (nextCompletion_ >= completionOrder_.size()) {
                const std::vector<Completion> failed = StallCheckAtEndLocked();
                if (!failed.empty()) {
                    lock.unlock();
                    for (const auto& c : failed) Finish(c);
                    lock.lock();
                    continue;
                }
                wake_.wait_for(lock, std::chrono::milliseconds(100));
                continue;
            }
            const auto [index, callsBefore] = completionOrder_[nextCompletion_];
            const rec::Record& r = recording_.records[index];
            const bool ready = FirstUnconsumedLocked() >= callsBefore && pending_.count(r.request) != 0;
            if (ready) {
                const PendingRequest p = pending_[r.request];
                if (options_.paced) {
                    const rec::Record& call = CallRecordLocked(r.request);
                    const auto due = p.sent + std::chrono::nanoseconds(r.timeNs - std::min(r.timeNs, call.timeNs));
                    if (Clock::now() < due) {
                        wake_.wait_until(lock, due);
                        continue;
                    }
                }
                pending_.erase(r.request);
                ++nextCompletion_;
                Progress();
                const Completion c{p, r.error, r.bytes, &r.data};
                lock.unlock();
                Finish(c);
                lock.lock();
                continue;
            }
            // Waiting for a request the recording made before this completion. Only a request
            // pending here can be held up by that; past the stall time the replay has diverged.
            if (!pending_.empty() && Clock::now() - lastProgress_ > std::chrono::milliseconds(options_.stallMs)) {
                const uint32_t expected = ExpectedRequestLocked();
                auto failed = DivergeLocked(expected, ExpectedTextLocked(),
                                            "nothing within " + std::to_string(options_.stallMs) + " ms");
                lock.unlock();
                for (const auto& c : failed) Finish(c);
                lock.lock();
                continue;
            }
            deadline = std::min(deadline, lastProgress_ + std::chrono::milliseconds(options_.stallMs) +
                                              std::chrono::milliseconds(1));
            wake_.wait_until(lock, deadline);
        }
    }

    // A recording cut short ends with requests pending that it never completed: once every
    // request it has was made, those fail rather than wait for ever.
    std::vector<Completion> StallCheckAtEndLocked() {
        if (pending_.empty() || Clock::now() - lastProgress_ <= std::chrono::milliseconds(options_.stallMs)) return {};
        // Requests the recording still has, which never came: the first of them diverged.
        if (FirstUnconsumedLocked() < calls_.size()) {
            return DivergeLocked(ExpectedRequestLocked(), ExpectedTextLocked(),
                                 "nothing within " + std::to_string(options_.stallMs) + " ms");
        }
        if (recording_.ended) return {};  // the driver kept these pending too
        for (auto& [number, p] : pending_) {
            if (completes_.count(number) == 0) {
                return DivergeLocked(number, "the completion of request #" + std::to_string(number),
                                     "the recording ends before it");
            }
        }
        return {};
    }

    bool IsCallConsumedLocked(uint32_t request) {
        const auto it = std::lower_bound(calls_.begin(), calls_.end(), request, [&](std::size_t index, uint32_t value) {
            return recording_.records[index].request < value;
        });
        return it != calls_.end() && recording_.records[*it].request == request && consumed_[it - calls_.begin()];
    }

    const rec::Record& CallRecordLocked(uint32_t request) {
        const auto it = std::lower_bound(calls_.begin(), calls_.end(), request, [&](std::size_t index, uint32_t value) {
            return recording_.records[index].request < value;
        });
        return recording_.records[*it];
    }

    const rec::Recording recording_;
    const ReplayOptions options_;
    const std::string name_;

    std::vector<std::size_t> calls_;         // Call records, in file (= request number) order
    std::map<uint32_t, std::size_t> answers_;    // request -> its Answer record
    std::map<uint32_t, std::size_t> completes_;  // request -> its Complete record
    std::vector<std::pair<std::size_t, std::size_t>> completionOrder_;  // Complete record, calls before it
    std::vector<std::size_t> opens_;
    std::vector<std::size_t> enumerations_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<bool> consumed_;
    std::vector<bool> openUsed_;
    std::vector<Clock::time_point> callTime_;
    std::size_t firstUnconsumed_ = 0;
    std::size_t nextCompletion_ = 0;
    std::size_t nextEnumeration_ = 0;
    std::map<HANDLE, uint32_t> handles_;
    std::map<uint32_t, PendingRequest> pending_;
    Clock::time_point lastProgress_;
    ReplayReport report_;
    bool ending_ = false;
    std::thread thread_;
};

// The replay now running. Operations hold a reference, so ending it never frees it under them.
// Never destroyed: the library's detach at process exit may close replayed handles after
// static destructors ran.
struct ReplayHolder {
    std::mutex mutex;
    std::shared_ptr<Replayer> replayer;
    ReplayReport lastReport;  // of the last replay ended or refused
};
ReplayHolder& Holder() {
    static ReplayHolder* const holder = new ReplayHolder;
    return *holder;
}
std::atomic<bool> gReplaying{false};

std::shared_ptr<Replayer> Active() {
    if (!gReplaying.load(std::memory_order_acquire)) return nullptr;
    std::lock_guard lock(Holder().mutex);
    return Holder().replayer;
}

void WriteNames(const std::vector<std::pair<uint32_t, std::string>>& names) {
    const std::string company = Bus::Instance().Company();
    RemoveBoardListOf(company);
    WriteBoardListOf(company, names);
}

}  // namespace

DWORD BeginReplayFromBytes(std::vector<uint8_t> bytes, const ReplayOptions& options, const std::string& name) {
    rec::Recording recording;
    rec::ReadError error;
    if (!rec::Parse(bytes.data(), bytes.size(), options.acceptTornTail, recording, error)) {
        ReplayReport refused;
        refused.state = ReplayState::Refused;
        refused.message = "recording " + name + " refused: " + error.Text();
        port::PostDiagnostic(Widen(refused.message));
        StopReplay();
        std::lock_guard lock(Holder().mutex);
        Holder().lastReport = refused;
        return ERROR_INVALID_DATA;
    }
    bytes = {};
    auto replayer = std::make_shared<Replayer>(std::move(recording), options, name);
    WriteNames(replayer->BoardNames());
    std::shared_ptr<Replayer> previous;
    {
        std::lock_guard lock(Holder().mutex);
        previous = std::move(Holder().replayer);
        Holder().replayer = std::move(replayer);
        gReplaying.store(true, std::memory_order_release);
    }
    return ERROR_SUCCESS;
}

DWORD BeginReplay(const std::string& path, const ReplayOptions& options) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        ReplayReport refused;
        refused.state = ReplayState::Refused;
        refused.message = "recording " + path + " cannot be opened";
        std::lock_guard lock(Holder().mutex);
        Holder().lastReport = refused;
        return errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
    }
    std::vector<uint8_t> bytes;
    uint8_t block[65536];
    for (;;) {
        const std::size_t got = std::fread(block, 1, sizeof block, file);
        bytes.insert(bytes.end(), block, block + got);
        if (got < sizeof block) break;
    }
    std::fclose(file);
    return BeginReplayFromBytes(std::move(bytes), options, path);
}

void StopReplay() {
    std::shared_ptr<Replayer> ended;
    {
        std::lock_guard lock(Holder().mutex);
        ended = std::move(Holder().replayer);
        gReplaying.store(false, std::memory_order_release);
        if (ended) Holder().lastReport = ended->Report();
    }
    if (ended) RefreshBoardList();
}

ReplayReport CurrentReplayReport() {
    if (const auto replayer = Active()) return replayer->Report();
    std::lock_guard lock(Holder().mutex);
    return Holder().lastReport;
}

void ReplayFromEnvironmentOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        const char* path = std::getenv("HALVEX_SIM_REPLAY");
        if (path == nullptr || *path == '\0') return;
        ReplayOptions options;
        const char* paced = std::getenv("HALVEX_SIM_REPLAY_PACED");
        options.paced = paced != nullptr && *paced != '\0' && std::strcmp(paced, "0") != 0;
        BeginReplay(path, options);
    });
}

bool ReplayEnumerate(const GUID& classGuid, std::vector<std::u16string>& paths) {
    const auto replayer = Active();
    if (!replayer) return false;
    paths = replayer->Enumerate(classGuid);
    return true;
}

bool ReplayOpen(LPCWSTR path, HANDLE& handle) {
    const auto replayer = Active();
    if (!replayer) return false;
    handle = replayer->Open(path);
    return true;
}

bool ReplayControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                   LPDWORD bytesReturned, LPOVERLAPPED overlapped, BOOL& result) {
    const auto replayer = Active();
    if (!replayer || !replayer->Owns(device)) return false;
    result = replayer->Control(device, code, in, inSize, out, outSize, bytesReturned, overlapped);
    return true;
}

bool ReplayCancel(HANDLE device, LPOVERLAPPED overlapped, BOOL& result) {
    const auto replayer = Active();
    if (!replayer || !replayer->Owns(device)) return false;
    result = replayer->Cancel(device, overlapped);
    return true;
}

bool ReplayClose(HANDLE device, BOOL& result) {
    const auto replayer = Active();
    if (!replayer || !replayer->Owns(device)) return false;
    result = replayer->Close(device);
    return true;
}

}  // namespace halvex::sim
