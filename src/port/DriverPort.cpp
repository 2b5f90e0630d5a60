// The driver port over its backend, and the recorder that writes down what passes through it.
//
// While no recording runs, each operation goes straight to the backend. While one runs, each is
// written to the recording file as it passes: a request when it is sent (so a completion it
// caused can never come before it in the file), its answer when the backend returns. An
// overlapped request is sent with an OVERLAPPED of the recorder's; a watcher thread sees it
// complete, writes the completion with the transfer's data, and only then completes the
// caller's OVERLAPPED, so the file holds completions in the order the library saw them.
#include "port/DriverPort.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/ForcedUnwind.h"
#include "platform/Guard.h"
#include "platform/Overlapped.h"
#include "port/Backend.h"
#include "port/RecordingFormat.h"

namespace halvex::port {
namespace {

namespace rec = recording;

constexpr DWORD kOpenFailed = 110;  // ERROR_OPEN_FAILED
constexpr DWORD kWriteFault = 29;   // ERROR_WRITE_FAULT
// The watcher waits on its wake event and at most this many requests.
constexpr std::size_t kWatchedPerThread = MAXIMUM_WAIT_OBJECTS - 1;
// Buffered records go to the file when this much waits, or when the oldest waited this long:
// a crash loses at most that tail, and the file still ends on a whole record.
constexpr std::size_t kFlushBytes = 256 * 1024;
constexpr auto kFlushAge = std::chrono::milliseconds(50);

// Keeps the thread's last error across the recorder's own work.
class KeepLastError {
public:
    KeepLastError() : error_(GetLastError()) {}
    ~KeepLastError() { SetLastError(error_); }
    KeepLastError(const KeepLastError&) = delete;
    KeepLastError& operator=(const KeepLastError&) = delete;

private:
    DWORD error_;
};

uint64_t NowNs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

std::FILE* OpenForWriting(const char* path) {
#if defined(_WIN32)
    const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (units <= 0) return nullptr;
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide.data(), units);
    return _wfopen(wide.c_str(), L"wb");
#else
    return std::fopen(path, "wb");
#endif
}

std::vector<uint8_t> CopyOut(const void* from, std::size_t size) {
    std::vector<uint8_t> bytes(size);
    if (size != 0 && !platform::GuardedLoad(bytes.data(), from, size)) bytes.clear();
    return bytes;
}

// The file being written: records are framed whole into a buffer and leave it whole.
class Writer {
public:
    // A writer without a file keeps its records in memory: the start-up capture.
    Writer(std::FILE* file, uint32_t dataLimit) : file_(file), dataLimit_(dataLimit), startNs_(NowNs()) {
        if (file_ != nullptr) std::setvbuf(file_, nullptr, _IONBF, 0);
        rec::Header header;
        header.dataLimit = dataLimit;
        header.wallStartNs = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                       std::chrono::system_clock::now().time_since_epoch())
                                                       .count());
        rec::AppendHeader(buffer_, header);
        FlushLocked();
    }
    // A recording that begins with what `capture` holds: the library's last start-up, so a
    // recording started after it still replays from a start.
    Writer(std::FILE* file, uint32_t dataLimit, Writer& capture) : Writer(file, dataLimit) {
        std::lock_guard lock(capture.mutex_);
        std::lock_guard own(mutex_);
        buffer_.insert(buffer_.end(), capture.buffer_.begin() + rec::kHeaderBytes, capture.buffer_.end());
        lastRequest_ = capture.lastRequest_;
        lastHandle_ = capture.lastHandle_;
        handles_ = capture.handles_;
        startNs_ = capture.startNs_;
        FlushLocked();
    }
    ~Writer() {
        FlushLocked();  // the last holder: nobody else writes
        if (file_ != nullptr) std::fclose(file_);
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    uint32_t DataLimit() const { return dataLimit_; }

    // The next request number and its Call record, in one step: numbers rise in file order.
    uint32_t WriteCall(rec::Record& call) {
        std::lock_guard lock(mutex_);
        call.request = ++lastRequest_;
        AppendLocked(call);
        return call.request;
    }
    void Write(rec::Record& record) {
        std::lock_guard lock(mutex_);
        AppendLocked(record);
    }
    uint32_t HandleNumber(HANDLE handle) {
        std::lock_guard lock(mutex_);
        const auto found = handles_.find(handle);
        return found == handles_.end() ? 0 : found->second;
    }
    void WriteOpen(rec::Record& open, HANDLE handle) {
        std::lock_guard lock(mutex_);
        if (handle != INVALID_HANDLE_VALUE) {
            open.handle = ++lastHandle_;
            handles_[handle] = open.handle;
        }
        AppendLocked(open);
    }
    // At the end of the process, whose other threads are gone: what is buffered goes to the
    // file with the End record, unless a thread died writing (the file then ends on the last
    // record written whole).
    void FinishAtProcessEnd() {
        if (!mutex_.try_lock()) return;
        std::lock_guard lock(mutex_, std::adopt_lock);
        rec::Record end;
        end.kind = rec::Kind::End;
        AppendLocked(end);
        finished_ = true;
        FlushLocked();
    }
    // Closes the recording with its End record; the error of any failed write.
    DWORD Finish() {
        std::lock_guard lock(mutex_);
        rec::Record end;
        end.kind = rec::Kind::End;
        AppendLocked(end);
        finished_ = true;
        FlushLocked();
        if (std::fflush(file_) != 0) failed_ = true;
        return failed_ ? kWriteFault : ERROR_SUCCESS;
    }

private:
    void AppendLocked(rec::Record& record) {
        if (finished_) return;  // a completion that came after the End record
        record.timeNs = NowNs() - startNs_;
        rec::AppendRecord(buffer_, record, &platform::GuardedLoad);
        const auto now = std::chrono::steady_clock::now();
        if (buffer_.size() >= kFlushBytes || now - lastFlush_ >= kFlushAge) FlushLocked();
    }
    void FlushLocked() {
        lastFlush_ = std::chrono::steady_clock::now();
        if (buffer_.empty() || file_ == nullptr) return;
        if (!failed_ && std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) failed_ = true;
        buffer_.clear();
    }

    std::mutex mutex_;
    std::FILE* file_;
    const uint32_t dataLimit_;
    uint64_t startNs_;
    std::vector<uint8_t> buffer_;
    std::chrono::steady_clock::time_point lastFlush_{};
    uint32_t lastRequest_ = 0;
    uint32_t lastHandle_ = 0;
    std::map<HANDLE, uint32_t> handles_;
    bool failed_ = false;
    bool finished_ = false;
};

// One overlapped request in flight under the recorder's OVERLAPPED.
struct InFlight {
    enum : int { Unclaimed, ClaimedBySender, ClaimedByWatcher, Refused };
    OVERLAPPED own{};
    OVERLAPPED* caller = nullptr;
    HANDLE device = nullptr;
    uint8_t* out = nullptr;
    DWORD outSize = 0;
    uint32_t request = 0;
    std::shared_ptr<Writer> writer;  // the recording the request belongs to
    std::atomic<int> claim{Unclaimed};
};

// Hands the recorder's completion on to the caller's OVERLAPPED, as the kernel completes it.
void HandOn(InFlight& entry) {
    OVERLAPPED* caller = entry.caller;
    const HANDLE event = caller->hEvent;
    caller->InternalHigh = entry.own.InternalHigh;
    __atomic_store_n(&caller->Internal, __atomic_load_n(&entry.own.Internal, __ATOMIC_ACQUIRE), __ATOMIC_SEQ_CST);
    if (event != nullptr) SetEvent(event);
}

class Watcher;

// Every request in flight under the recorder, by the caller's OVERLAPPED, and the watchers.
class Relay {
public:
    void Add(InFlight* entry);
    // Cancels the request the caller's OVERLAPPED names, under the relay's lock so the entry
    // stays while the backend marks it. False when the recorder holds no such request.
    bool Cancel(HANDLE device, OVERLAPPED* caller, BOOL& result, uint32_t& request);
    void Forget(InFlight* entry);
    bool Holding() const { return held_.load() != 0; }
    // Ends every watcher that has nothing left, waiting for each at most `waitMs`.
    void EndIdleWatchers(DWORD waitMs);

private:
    std::mutex mutex_;
    std::unordered_map<OVERLAPPED*, InFlight*> byCaller_;
    std::vector<std::unique_ptr<Watcher>> watchers_;
    std::atomic<std::size_t> held_{0};
};

Relay& TheRelay() {
    static Relay* const relay = new Relay;  // never destroyed: watchers may outlive statics
    return *relay;
}

class Watcher {
public:
    Watcher() : wake_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
        if (wake_ == nullptr) throw std::bad_alloc();
        thread_ = std::thread([this] { Body(); });
    }
    ~Watcher() {
        if (thread_.joinable()) thread_.join();
        CloseHandle(wake_);
    }
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

    // Under the relay's lock.
    bool Take(InFlight* entry) {
        std::lock_guard lock(mutex_);
        if (ending_ || entries_.size() >= kWatchedPerThread) return false;
        entries_.push_back(entry);
        SetEvent(wake_);
        return true;
    }
    // Asks the thread to end once it watches nothing; true when it has ended.
    bool EndWhenIdle(DWORD waitMs) {
        {
            std::lock_guard lock(mutex_);
            if (!entries_.empty()) return false;
            ending_ = true;
        }
        SetEvent(wake_);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        while (!ended_.load()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }
    bool Ended() const { return ended_.load(); }

private:
    void Body() {
        HANDLE events[MAXIMUM_WAIT_OBJECTS];
        InFlight* watched[MAXIMUM_WAIT_OBJECTS];
        for (;;) {
            DWORD count = 1;
            events[0] = wake_;
            {
                std::lock_guard lock(mutex_);
                if (ending_ && entries_.empty()) break;
                for (InFlight* entry : entries_) {
                    watched[count] = entry;
                    events[count++] = entry->own.hEvent;
                }
            }
            const DWORD woke = WaitForMultipleObjects(count, events, FALSE, INFINITE);
            if (woke == WAIT_OBJECT_0) continue;
            if (woke <= WAIT_OBJECT_0 || woke >= WAIT_OBJECT_0 + count) {
                Sleep(1);  // a wait that failed: try again rather than spin
                continue;
            }
            InFlight* entry = watched[woke - WAIT_OBJECT_0];
            int unclaimed = InFlight::Unclaimed;
            if (entry->claim.compare_exchange_strong(unclaimed, InFlight::ClaimedByWatcher)) Complete(*entry);
            {
                std::lock_guard lock(mutex_);
                std::erase(entries_, entry);
            }
            CloseHandle(entry->own.hEvent);
            delete entry;
        }
        ended_.store(true);
    }

    void Complete(InFlight& entry) {
        TheRelay().Forget(&entry);
        try {
            DWORD bytes = 0;
            DWORD error = ERROR_SUCCESS;
            if (!GetOverlappedResult(entry.device, &entry.own, &bytes, FALSE)) {
                error = GetLastError();
                if (error == ERROR_SUCCESS) error = ERROR_GEN_FAILURE;
            }
            rec::Record done;
            done.kind = rec::Kind::Complete;
            done.request = entry.request;
            done.error = error;
            done.bytes = bytes;
            std::size_t kept = std::min<std::size_t>(bytes, entry.outSize);
            if (kept > entry.writer->DataLimit()) kept = entry.writer->DataLimit();
            done.dataFrom = entry.out;
            done.dataFromSize = static_cast<uint32_t>(kept);
            entry.writer->Write(done);
        } catch (...) {
            if (platform::ForcedUnwinding()) throw;
            // The caller's completion matters more than the record of it.
        }
        HandOn(entry);
    }

    std::mutex mutex_;
    std::vector<InFlight*> entries_;
    bool ending_ = false;
    HANDLE wake_;
    std::atomic<bool> ended_{false};
    std::thread thread_;
};

void Relay::Add(InFlight* entry) {
    std::lock_guard lock(mutex_);
    byCaller_[entry->caller] = entry;
    held_.fetch_add(1);
    for (auto& watcher : watchers_) {
        if (watcher->Take(entry)) return;
    }
    watchers_.push_back(std::make_unique<Watcher>());
    watchers_.back()->Take(entry);
}

void Relay::Forget(InFlight* entry) {
    std::lock_guard lock(mutex_);
    const auto found = byCaller_.find(entry->caller);
    if (found != byCaller_.end() && found->second == entry) {
        byCaller_.erase(found);
        held_.fetch_sub(1);
    }
}

bool Relay::Cancel(HANDLE device, OVERLAPPED* caller, BOOL& result, uint32_t& request) {
    std::lock_guard lock(mutex_);
    const auto found = byCaller_.find(caller);
    if (found == byCaller_.end()) return false;
    request = found->second->request;
    result = backend::Cancel(device, &found->second->own);
    return true;
}

void Relay::EndIdleWatchers(DWORD waitMs) {
    std::vector<std::unique_ptr<Watcher>> ended;
    {
        std::lock_guard lock(mutex_);
        for (auto it = watchers_.begin(); it != watchers_.end();) {
            if ((*it)->EndWhenIdle(waitMs)) {
                ended.push_back(std::move(*it));
                it = watchers_.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Joined outside the lock (they have already left their loop).
}

// The recording now running, if any. Requests take their own reference, so stopping never
// pulls the file from under a request in flight.
// Never destroyed: the library's detach at process exit may run after static destructors.
struct RecordingState {
    std::mutex mutex;
    std::shared_ptr<Writer> writer;
    std::shared_ptr<Writer> capture;  // the last start-up's traffic, while it lasts
};
RecordingState& State() {
    static RecordingState* const state = new RecordingState;
    return *state;
}
std::atomic<bool> gRecording{false};
std::atomic<bool> gCapturing{false};
std::atomic<bool> gProcessEnding{false};

// The start-up capture while the library starts, else null.
std::shared_ptr<Writer> CurrentCapture() {
    if (!gCapturing.load(std::memory_order_acquire) || gProcessEnding.load()) return nullptr;
    std::lock_guard lock(State().mutex);
    return State().capture;
}

std::shared_ptr<Writer> CurrentWriter() {
    if (!gRecording.load(std::memory_order_acquire) || gProcessEnding.load()) return nullptr;
    std::lock_guard lock(State().mutex);
    return State().writer;
}

// Writes down a control request as it is sent; the record comes back with its request number.
rec::Record WriteCallRecord(Writer& writer, HANDLE device, DWORD code, LPVOID in, DWORD inSize, DWORD outSize,
                            bool overlapped) {
    KeepLastError keep;
    rec::Record call;
    call.kind = rec::Kind::Call;
    call.handle = writer.HandleNumber(device);
    call.code = code;
    call.outSize = outSize;
    call.overlapped = overlapped;
    call.inSize = inSize;
    call.input = CopyOut(in, inSize);
    call.inputUnreadable = call.input.size() != inSize;
    writer.WriteCall(call);
    return call;
}

BOOL RecordedControl(Writer& writer, const std::shared_ptr<Writer>& writerRef, HANDLE device, DWORD code, LPVOID in,
                     DWORD inSize, LPVOID out, DWORD outSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
    const rec::Record call = WriteCallRecord(writer, device, code, in, inSize, outSize, overlapped != nullptr);
    rec::Record answer;
    answer.kind = rec::Kind::Answer;
    answer.request = call.request;
    const auto writeAnswer = [&](BOOL ok, DWORD error, DWORD bytes) {
        KeepLastError keep;
        answer.outcome = ok ? rec::Outcome::Done : error == ERROR_IO_PENDING ? rec::Outcome::Pending : rec::Outcome::Failed;
        answer.error = ok ? ERROR_SUCCESS : error;
        answer.bytes = ok ? bytes : 0;
        if (ok) {
            answer.dataFrom = out;
            answer.dataFromSize = std::min(bytes, outSize);
        }
        writer.Write(answer);
    };

    if (overlapped == nullptr) {
        const BOOL ok = backend::Control(device, code, in, inSize, out, outSize, bytesReturned, nullptr);
        const DWORD error = GetLastError();
        writeAnswer(ok, error, ok && bytesReturned != nullptr ? *bytesReturned : 0);
        SetLastError(error);
        return ok;
    }

    auto entry = std::make_unique<InFlight>();
    entry->own.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (entry->own.hEvent == nullptr) {
        // No event for the recorder's OVERLAPPED: the request goes unwatched, its answer only.
        const BOOL ok = backend::Control(device, code, in, inSize, out, outSize, bytesReturned, overlapped);
        const DWORD error = GetLastError();
        writeAnswer(ok, error, ok && bytesReturned != nullptr ? *bytesReturned : 0);
        SetLastError(error);
        return ok;
    }
    entry->caller = overlapped;
    entry->device = device;
    entry->out = static_cast<uint8_t*>(out);
    entry->outSize = outSize;
    entry->request = call.request;
    entry->writer = writerRef;
    // In flight from here on, as the I/O manager marks it before the driver sees it; a request
    // refused at once gets the caller's record back as it was.
    const ULONG_PTR savedStatus = overlapped->Internal;
    const ULONG_PTR savedBytes = overlapped->InternalHigh;
    platform::MarkPending(overlapped);
    InFlight* const sent = entry.release();
    TheRelay().Add(sent);

    DWORD bytes = 0;
    const BOOL ok = backend::Control(device, code, in, inSize, out, outSize, &bytes, &sent->own);
    const DWORD error = GetLastError();
    if (!ok && error == ERROR_IO_PENDING) {
        writeAnswer(FALSE, error, 0);  // the watcher hands the completion on
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    if (ok) {
        // Completed at once: the caller's record is completed before the call returns.
        const ULONG_PTR status = __atomic_load_n(&sent->own.Internal, __ATOMIC_ACQUIRE);
        const ULONG_PTR doneBytes = sent->own.InternalHigh;
        int unclaimed = InFlight::Unclaimed;
        if (sent->claim.compare_exchange_strong(unclaimed, InFlight::ClaimedBySender)) {
            TheRelay().Forget(sent);  // still watched: the watcher frees it once it sees the event
            OVERLAPPED* caller = overlapped;
            caller->InternalHigh = doneBytes;
            __atomic_store_n(&caller->Internal, status, __ATOMIC_SEQ_CST);
            if (caller->hEvent != nullptr) SetEvent(caller->hEvent);
        } else {
            // The watcher took it: wait for it to hand the completion on (it only copies).
            while (__atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE) == STATUS_PENDING) Sleep(0);
        }
        if (bytesReturned != nullptr) *bytesReturned = bytes;
        writeAnswer(TRUE, ERROR_SUCCESS, bytes);
        SetLastError(error);
        return TRUE;
    }
    // Refused at once: nothing completes the recorder's OVERLAPPED; its event lets the watcher
    // drop it.
    TheRelay().Forget(sent);
    overlapped->InternalHigh = savedBytes;
    overlapped->Internal = savedStatus;
    const HANDLE ownEvent = sent->own.hEvent;
    sent->claim.store(InFlight::Refused);
    SetEvent(ownEvent);
    writeAnswer(FALSE, error, 0);
    SetLastError(error);
    return FALSE;
}

// Writes a start-up request the recording already took into the capture as well.
void CaptureAlso(Writer& capture, HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                 BOOL ok, DWORD error, DWORD bytes) {
    KeepLastError keep;
    const rec::Record call = WriteCallRecord(capture, device, code, in, inSize, outSize, false);
    rec::Record answer;
    answer.kind = rec::Kind::Answer;
    answer.request = call.request;
    answer.outcome = ok ? rec::Outcome::Done : rec::Outcome::Failed;
    answer.error = ok ? ERROR_SUCCESS : error;
    answer.bytes = ok ? bytes : 0;
    if (ok) {
        answer.dataFrom = out;
        answer.dataFromSize = std::min(bytes, outSize);
    }
    capture.Write(answer);
}

}  // namespace

// ---- The port -------------------------------------------------------------------------------

std::vector<std::u16string> EnumerateInterfaces(const GUID& classGuid) {
    std::vector<std::u16string> paths = backend::EnumerateInterfaces(classGuid);
    KeepLastError keep;
    rec::Record record;
    record.kind = rec::Kind::Enumerate;
    std::memcpy(record.guid.data(), &classGuid, sizeof classGuid);
    record.paths = paths;
    if (!gProcessEnding.load()) {
        // A start-up begins: its traffic is kept until StartupDone for a recording started later.
        try {
            auto capture = std::make_shared<Writer>(nullptr, rec::kAllData);
            capture->Write(record);
            std::lock_guard lock(State().mutex);
            State().capture = std::move(capture);
            gCapturing.store(true, std::memory_order_release);
        } catch (const std::bad_alloc&) {
        }
    }
    if (const auto writer = CurrentWriter()) writer->Write(record);
    return paths;
}

HANDLE Open(LPCWSTR path) {
    const auto writer = CurrentWriter();
    const auto capture = CurrentCapture();
    const HANDLE handle = backend::Open(path);
    if (writer || capture) {
        KeepLastError keep;
        rec::Record record;
        record.kind = rec::Kind::Open;
        record.error = handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
        if (path != nullptr) record.path = reinterpret_cast<const char16_t*>(path);
        if (capture) capture->WriteOpen(record, handle);
        if (writer) writer->WriteOpen(record, handle);
    }
    return handle;
}

BOOL Control(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD bytesReturned,
             LPOVERLAPPED overlapped) {
    const auto writer = CurrentWriter();
    const auto capture = overlapped == nullptr ? CurrentCapture() : nullptr;
    if (capture) {
        // Start-up requests are kept in the capture; they take no OVERLAPPED.
        DWORD bytes = 0;
        if (bytesReturned == nullptr) bytesReturned = &bytes;
        const BOOL ok = writer ? RecordedControl(*writer, writer, device, code, in, inSize, out, outSize, bytesReturned,
                                                 nullptr)
                               : RecordedControl(*capture, capture, device, code, in, inSize, out, outSize,
                                                 bytesReturned, nullptr);
        if (writer) {
            const DWORD error = GetLastError();
            CaptureAlso(*capture, device, code, in, inSize, out, outSize, ok, error, *bytesReturned);
            SetLastError(error);
        }
        return ok;
    }
    if (!writer) return backend::Control(device, code, in, inSize, out, outSize, bytesReturned, overlapped);
    return RecordedControl(*writer, writer, device, code, in, inSize, out, outSize, bytesReturned, overlapped);
}

BOOL Cancel(HANDLE device, LPOVERLAPPED overlapped) {
    BOOL result = FALSE;
    uint32_t request = 0;
    const bool relayed = overlapped != nullptr && !gProcessEnding.load() && TheRelay().Holding() &&
                         TheRelay().Cancel(device, overlapped, result, request);
    if (!relayed) result = backend::Cancel(device, overlapped);
    if (const auto writer = CurrentWriter(); writer && writer->HandleNumber(device) != 0) {
        KeepLastError keep;
        rec::Record record;
        record.kind = rec::Kind::Cancel;
        record.handle = writer->HandleNumber(device);
        record.request = request;
        record.ok = result != FALSE;
        record.error = result ? ERROR_SUCCESS : GetLastError();
        writer->Write(record);
    }
    return result;
}

BOOL Close(HANDLE device) {
    const auto writer = CurrentWriter();
    const auto capture = CurrentCapture();
    const uint32_t number = writer ? writer->HandleNumber(device) : 0;
    const uint32_t captured = capture ? capture->HandleNumber(device) : 0;
    const BOOL result = backend::Close(device);
    KeepLastError keep;
    rec::Record record;
    record.kind = rec::Kind::Close;
    record.ok = result != FALSE;
    record.error = result ? ERROR_SUCCESS : GetLastError();
    // A handle opened before the recording began is none of the recording's.
    if (writer && number != 0) {
        record.handle = number;
        writer->Write(record);
    }
    if (capture && captured != 0) {
        record.handle = captured;
        capture->Write(record);
    }
    return result;
}

namespace {
std::atomic<DiagnosticSink> gDiagnosticSink{nullptr};
}  // namespace

void SetDiagnosticSink(DiagnosticSink sink) noexcept { gDiagnosticSink.store(sink, std::memory_order_release); }

void PostDiagnostic(std::u16string line) {
    if (const DiagnosticSink sink = gDiagnosticSink.load(std::memory_order_acquire)) sink(std::move(line));
}

void* AllocTransferMemory(std::size_t size) { return backend::AllocTransferMemory(size); }

void FreeTransferMemory(void* block) { backend::FreeTransferMemory(block); }

void ProcessEnding() noexcept {
    // The recorder takes locks; from here on requests go straight to the backend.
    gProcessEnding.store(true);
    if (State().mutex.try_lock()) {
        std::shared_ptr<Writer> writer = State().writer;
        State().mutex.unlock();
        if (writer) writer->FinishAtProcessEnd();
    }
    backend::ProcessEnding();
}

// ---- Starting and stopping ------------------------------------------------------------------

DWORD StartRecording(const char* path, DWORD dataLimit) {
    KeepLastError keep;
    try {
        if (path == nullptr || *path == '\0') return ERROR_INVALID_PARAMETER;
        std::FILE* file = OpenForWriting(path);
        if (file == nullptr) return errno == ENOENT ? ERROR_PATH_NOT_FOUND : errno == EACCES ? ERROR_ACCESS_DENIED : kOpenFailed;
        std::shared_ptr<Writer> capture;
        {
            std::lock_guard lock(State().mutex);
            capture = State().capture;
        }
        auto writer = capture ? std::make_shared<Writer>(file, dataLimit, *capture) : std::make_shared<Writer>(file, dataLimit);
        std::shared_ptr<Writer> previous;
        {
            std::lock_guard lock(State().mutex);
            previous = std::move(State().writer);
            State().writer = std::move(writer);
            gRecording.store(true, std::memory_order_release);
        }
        if (previous) previous->Finish();
        TheRelay().EndIdleWatchers(0);
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        if (platform::ForcedUnwinding()) throw;
        return ERROR_INTERNAL_ERROR;
    }
}

DWORD StopRecording() {
    KeepLastError keep;
    try {
        std::shared_ptr<Writer> writer;
        {
            std::lock_guard lock(State().mutex);
            writer = std::move(State().writer);
            gRecording.store(false, std::memory_order_release);
        }
        // Requests still in flight keep the file open until they complete; their completions
        // are still written. The End record goes in now.
        return writer ? writer->Finish() : ERROR_SUCCESS;
    } catch (...) {
        if (platform::ForcedUnwinding()) throw;
        return ERROR_INTERNAL_ERROR;
    }
}

void StartRecordingFromEnvironment() {
    const char* path = std::getenv("HALVEX_RECORD");
    if (path == nullptr || *path == '\0') return;
    DWORD limit = rec::kAllData;
    if (const char* bytes = std::getenv("HALVEX_RECORD_DATA_BYTES"); bytes != nullptr && *bytes != '\0') {
        char* end = nullptr;
        const unsigned long long value = std::strtoull(bytes, &end, 10);
        if (end != bytes && *end == '\0' && value < rec::kAllData) limit = static_cast<DWORD>(value);
    }
    StartRecording(path, limit);
}

void StartupDone() { gCapturing.store(false, std::memory_order_release); }

void EndRecorder() {
    {
        std::lock_guard lock(State().mutex);
        State().capture.reset();  // its handles are closed now
    }
    gCapturing.store(false);
    StopRecording();
    try {
        // Every handle is closed by now, so every request has completed or is completing.
        TheRelay().EndIdleWatchers(2000);
    } catch (...) {
        if (platform::ForcedUnwinding()) throw;
    }
}

}  // namespace halvex::port
