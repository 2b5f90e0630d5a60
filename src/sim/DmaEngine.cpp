#include "sim/DmaEngine.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "board/DriverAbi.h"
#include "board/Ranges.h"
#include "board/Registers.h"
#include "sim/AnalogInputModel.h"
#include "sim/AnalogInputSources.h"
#include "sim/Board.h"
#include "sim/Bus.h"

namespace halvex::sim {
namespace {

using namespace halvex::board;

constexpr uint32_t kStartStopRegister = StartStopRegister(0);
constexpr uint32_t kDivisorRegister = DivisorRegister(0);
constexpr uint32_t kRangeRegister = RangeRegister(0);

constexpr std::size_t kCompletionTimesKept = 65536;

int64_t Nanoseconds(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

}  // namespace

DmaEngineModel::DmaEngineModel(Board& board)
    : board_(board),
      inputs_(board.FindModel<AnalogInputModel>()),
      piong_(board.FindModel<DmaPiongModel>()),
      epoch_(Clock::now()) {
    if (piong_ == nullptr) throw std::logic_error("the DMA engine needs the ping-pong requests attached first");
    piong_->SetEngine(this);
}

DmaEngineModel::~DmaEngineModel() {
    {
        std::lock_guard lock(board_.mutex);
        quit_ = true;
        piong_->SetEngine(nullptr);
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

bool DmaEngineModel::OnWrite(Board& board, uint32_t offset, unsigned, uint32_t value) {
    if (offset == kStartStopRegister) {
        // An immediate command (bit 5 clear) is no acquisition, whatever its run bit says.
        runBit_ = (value & kAcquireBit) != 0 && (value & kRunBit) != 0;
        startStop_ = value;
        Update(board);
    } else if (offset == kDmaEnableRegister) {
        dmaEnabled_ = (value & kDmaEnableBit) != 0;
        Update(board);
    }
    return false;
}

void DmaEngineModel::OnControlBytes(Board& board, const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return;
    if (bytes[0] == kDmaControlStart) armed_ = true;
    if (bytes[0] == kDmaControlStop) armed_ = false;
    status_.armed = armed_;
    Update(board);
}

void DmaEngineModel::OnDataRequest(Board& board) {
    if (!piong_->PendingData().empty()) lastRequestBytes_ = piong_->PendingData().back().bytes;
    if (!running_) return;
    if (pacing_ == DmaPacing::FreeRunning) {
        Serve(board, UINT64_MAX);
        return;
    }
    // Samples converted before this request came were waiting with no request to take them.
    const Clock::time_point now = Clock::now();
    Advance(now, piong_->PendingData().size() > 1);
    const bool more = Serve(board, PieceSamples());
    // The thread already sleeps until a request as large as the last could be filled: only a
    // request due sooner, or a large one to fill in pieces, needs it awake.
    if (more || NextWake(now) < plannedWake_) wake_.notify_all();
}

void DmaEngineModel::CatchUp() {
    if (running_ && pacing_ == DmaPacing::RealTime) {
        const Clock::time_point now = Clock::now();
        Advance(now, !piong_->PendingData().empty());
        if (Serve(board_, PieceSamples()) || NextWake(now) < plannedWake_) wake_.notify_all();
    }
}

void DmaEngineModel::SetPacing(DmaPacing pacing) {
    pacing_ = pacing;
    if (running_) {
        start_ = Clock::now();
        produced_ = 0;
        Discard();
        if (pacing_ == DmaPacing::RealTime && !thread_.joinable()) thread_ = std::thread([this] { ThreadBody(); });
        Serve(board_, pacing_ == DmaPacing::RealTime ? PieceSamples() : UINT64_MAX);
    }
    wake_.notify_all();
}

StreamStatus DmaEngineModel::Status() const {
    StreamStatus status = status_;
    status.armed = armed_;
    status.running = running_;
    status.fifo = FifoCount();
    return status;
}

void DmaEngineModel::Update(Board& board) {
    if (ShouldRun() && !running_) Start(board);
    if (!ShouldRun() && running_) Stop();
}

void DmaEngineModel::Start(Board& board) {
    running_ = true;
    ++status_.runs;
    const uint32_t clock = board.registers.Read(kBaseClockRegister, 4);
    const uint32_t divisor = board.registers.Read(kDivisorRegister, 4);
    rate_ = divisor == 0 ? 0.0 : static_cast<double>(clock) / divisor;
    ranges_ = board.registers.Read(kRangeRegister, 4);
    scan_.clear();
    differential_ = (startStop_ & kSingleEndedBit) == 0;
    const unsigned stop = (startStop_ & kChannelField) >> kChannelShift;
    for (unsigned channel = 0; channel <= stop; channel += differential_ ? 2 : 1) scan_.push_back(channel);
    scanBits_.clear();
    for (unsigned channel : scan_) scanBits_.push_back(IndexSampleWord(0, channel, (ranges_ >> (4 * channel)) & 7));
    start_ = Clock::now();
    produced_ = 0;
    Discard();
    frontId_ = 0;
    if (pacing_ == DmaPacing::RealTime && !thread_.joinable()) thread_ = std::thread([this] { ThreadBody(); });
    Serve(board, pacing_ == DmaPacing::RealTime ? PieceSamples() : UINT64_MAX);
    wake_.notify_all();
}

void DmaEngineModel::Stop() {
    running_ = false;
    ++status_.stops;
    wake_.notify_all();
}

uint64_t DmaEngineModel::DueAt(Clock::time_point t) const {
    if (rate_ <= 0.0 || t <= start_) return 0;
    return static_cast<uint64_t>(std::chrono::duration<double>(t - start_).count() * rate_);
}

DmaEngineModel::Clock::time_point DmaEngineModel::WhenDue(uint64_t samples) const {
    return start_ + std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double>(static_cast<double>(samples) / rate_));
}

void DmaEngineModel::Advance(Clock::time_point now, bool requestPending) {
    if (!running_ || rate_ <= 0.0) return;
    const uint64_t due = DueAt(now);
    if (due <= produced_) return;
    const uint64_t fresh = due - produced_;
    uint64_t kept = fresh;
    if (!requestPending) {
        const uint64_t waiting = FifoCount();
        const uint64_t depth = fifoDepth_ + exempt_;
        const uint64_t room = waiting >= depth ? 0 : depth - waiting;
        kept = std::min(fresh, room);
        status_.overruns += fresh - kept;
    }
    if (kept != 0) {
        if (!fifo_.empty() && fifo_.back().first + fifo_.back().count == produced_)
            fifo_.back().count += kept;
        else
            fifo_.push_back(Run{produced_, kept});
        queued_ += kept;
    }
    produced_ = due;
}

void DmaEngineModel::Fill(uint32_t* out, uint64_t firstIndex, uint64_t count) {
    if (count == 0) return;
    if (conversionCost_.count() > 0) std::this_thread::sleep_for(conversionCost_ * static_cast<int64_t>(count));
    const std::size_t positions = scan_.size();
    if (indexSource_) {
        // The benchmarks' source: only the counts change from sample to sample.
        if (positions == 1) {
            // One channel: a loop the compiler can vectorize.
            const uint32_t bits = scanBits_[0];
            for (uint64_t i = 0; i < count; ++i) out[i] = static_cast<uint32_t>((firstIndex + i) & 0xFFFF) | bits;
            return;
        }
        std::size_t position = static_cast<std::size_t>(firstIndex % positions);
        for (uint64_t i = 0; i < count; ++i) {
            out[i] = static_cast<uint32_t>((firstIndex + i) & 0xFFFF) | scanBits_[position];
            if (++position == positions) position = 0;
        }
        return;
    }
    // Each scan position is a run of its own: one input (or pair) every `positions` samples.
    const double rate = rate_ > 0.0 ? rate_ : 1e6;
    const double startSeconds = std::chrono::duration<double>(start_ - epoch_).count();
    // Boards without an input block see the power-up sources.
    InputSource fallback[2];
    const auto input = [&](unsigned channel, InputSource& own) {
        if (inputs_ == nullptr) own = DefaultInputSourceFor(0, channel);
        return RunInput{inputs_ != nullptr ? &inputs_->Source(0, channel) : &own, channel, ordinals_[channel]};
    };
    const uint64_t phase = firstIndex % positions;
    for (std::size_t p = 0; p < positions; ++p) {
        const uint64_t offset = (p + positions - phase) % positions;
        if (offset >= count) continue;
        const uint64_t n = (count - offset + positions - 1) / positions;
        const unsigned channel = scan_[p];
        ConversionRun run;
        run.plus = input(channel, fallback[0]);
        run.differential = differential_;
        if (differential_) run.minus = input(channel + 1, fallback[1]);
        run.startSeconds = startSeconds;
        run.rate = rate;
        run.first = firstIndex + offset;
        run.stride = positions;
        run.rangeCode = (ranges_ >> (4 * channel)) & 7;
        run.channel = channel;
        ConvertRun(run, board_.analogOutputVolts, out + offset, static_cast<std::size_t>(n));
        ordinals_[channel] += n;
        if (differential_) ordinals_[channel + 1] += n;
    }
}

void DmaEngineModel::Convert(uint64_t limit) {
    if (readyHead_ == ready_.size()) {
        ready_.clear();
        readyHead_ = 0;
    } else if (readyHead_ > ready_.size() / 2) {
        ready_.erase(ready_.begin(), ready_.begin() + static_cast<std::ptrdiff_t>(readyHead_));
        readyHead_ = 0;
    }
    const std::array<uint64_t, 16> before = ordinals_;
    while (limit != 0 && !fifo_.empty()) {
        Run& run = fifo_.front();
        const uint64_t take = std::min(run.count, limit);
        const std::size_t at = ready_.size();
        ready_.resize(at + static_cast<std::size_t>(take));
        Fill(ready_.data() + at, run.first, take);
        lastReadyIndex_ = run.first + take - 1;
        run.first += take;
        run.count -= take;
        queued_ -= take;
        limit -= take;
        if (run.count == 0) fifo_.pop_front();
    }
    for (std::size_t i = 0; i < ordinals_.size(); ++i) readySteps_[i] += ordinals_[i] - before[i];
}

void DmaEngineModel::Consume(uint64_t n) {
    exempt_ -= std::min(exempt_, n);
    if (n >= ReadyCount()) {
        ready_.clear();
        readyHead_ = 0;
        readySteps_.fill(0);
        return;
    }
    // Only after a request was cancelled while its words were converted and a smaller one took
    // its place: the words that stay keep their steps, the delivered ones give theirs up.
    for (std::size_t i = readyHead_; i < readyHead_ + n; ++i) {
        const unsigned channel = (ready_[i] >> kSampleChannelShift) & 0xF;
        if (readySteps_[channel] != 0) --readySteps_[channel];
        if (differential_ && channel + 1 < readySteps_.size() && readySteps_[channel + 1] != 0) --readySteps_[channel + 1];
    }
    readyHead_ += static_cast<std::size_t>(n);
}

void DmaEngineModel::Discard() {
    for (std::size_t i = 0; i < ordinals_.size(); ++i) ordinals_[i] -= std::min(ordinals_[i], readySteps_[i]);
    readySteps_.fill(0);
    ready_.clear();
    readyHead_ = 0;
    // A large transfer's words go back to the heap with the run that needed them.
    if (ready_.capacity() > (1u << 20)) ready_.shrink_to_fit();
    fifo_.clear();
    queued_ = 0;
    exempt_ = 0;
}

bool DmaEngineModel::CompleteFromFifo(Board& board, DWORD bytes) {
    (void)board;
    const uint64_t wanted = bytes / 4;
    const uint64_t readyBefore = ReadyCount();
    int64_t completedAt = 0;
    const bool completed = piong_->CompleteOldest([&](uint8_t* out, DWORD outSize) {
        const uint64_t whole = std::min<uint64_t>(wanted, outSize / 4);
        uint64_t n = whole;
        if (pacing_ == DmaPacing::FreeRunning) {
            std::vector<uint32_t> words;
            uint32_t* target = reinterpret_cast<uintptr_t>(out) % alignof(uint32_t) == 0
                                   ? reinterpret_cast<uint32_t*>(out)
                                   : (words.resize(n), words.data());
            Fill(target, produced_, n);
            produced_ += n;
            if (!words.empty()) std::memcpy(out, words.data(), n * 4);
        } else {
            // Only what was converted for it: a request other than the one the words were
            // meant for (its predecessor gone meanwhile) gets no more than that, as a short one.
            n = std::min(n, ReadyCount());
            if (n != 0) std::memcpy(out, ready_.data() + readyHead_, n * 4);
            Consume(n);
        }
        // A short transfer writes only what arrived, as a board's DMA does; the odd bytes of a
        // whole transfer that is not a multiple of a sample are zeroed.
        const bool cut = bytes < outSize || n < whole;
        if (!cut && outSize > n * 4) std::memset(out + n * 4, 0, outSize - n * 4);
        status_.delivered += n;
        // Stamped before the bus signals the request: a reader of the stamp never sees the
        // completion before its time.
        completedAt = Nanoseconds(Clock::now());
        return CompletionResult{ERROR_SUCCESS, cut ? static_cast<DWORD>(n * 4) : outSize};
    });
    if (!completed) return false;
    ++status_.completed;
    completions_.push_back(completedAt);
    if (completions_.size() > kCompletionTimesKept) completions_.pop_front();
    frontId_ = 0;
    if (pacing_ == DmaPacing::RealTime) {
        // Samples that came while the transfer was written had it to go to.
        Advance(Clock::now(), true);
        if (piong_->PendingData().empty()) {
            // What came between the request's last sample and its completion is the engine's
            // lateness, not the library's: a board would have handed it back then.
            uint64_t from = DueAt(frontSince_);
            if (readyBefore == wanted) from = std::max(from, lastReadyIndex_ + 1);
            if (produced_ > from) exempt_ += produced_ - from;
            exempt_ = std::min(exempt_, FifoCount());
        }
    }
    return true;
}

void DmaEngineModel::NoteFront(uint64_t id, Clock::time_point now) {
    if (id == frontId_) return;
    frontId_ = id;
    frontSince_ = now;
}

bool DmaEngineModel::Serve(Board& board, uint64_t budget) {
    while (running_) {
        const auto& pending = piong_->PendingData();
        if (pending.empty()) return false;
        const DWORD bytes = pending.front().bytes;
        if (pacing_ == DmaPacing::RealTime) {
            NoteFront(pending.front().id, Clock::now());
            const uint64_t need = bytes / 4;
            if (ReadyCount() < need) {
                const uint64_t step = std::min({need - ReadyCount(), queued_, budget});
                Convert(step);
                budget -= step;
                if (ReadyCount() < need) return queued_ != 0 && budget == 0;
            }
        }
        CompleteFromFifo(board, bytes);
    }
    return false;
}

uint64_t DmaEngineModel::PieceSamples() const {
    constexpr uint64_t kSmallest = 1024;
    constexpr uint64_t kLargest = 16384;
    const auto perMillisecond = static_cast<uint64_t>(rate_ / 1000.0);
    return std::clamp(perMillisecond, kSmallest, kLargest);
}

DmaEngineModel::Clock::time_point DmaEngineModel::NextWake(Clock::time_point now) {
    if (!running_ || pacing_ != DmaPacing::RealTime || rate_ <= 0.0) return Clock::time_point::max();
    const auto& pending = piong_->PendingData();
    if (pending.empty()) {
        // Until one as large as the last could be filled, so that the next request, usually
        // queued long before, need not wake the thread.
        if (lastRequestBytes_ == 0) return Clock::time_point::max();
        const Clock::time_point when = FillableAt(lastRequestBytes_);
        return when > now ? when : Clock::time_point::max();
    }
    // The oldest request's last sample, or the next piece of a large one, whichever comes first.
    const uint64_t piece = PieceSamples();
    const Clock::time_point pieceAt = WhenDue(produced_ + (piece > queued_ ? piece - queued_ : 0));
    return std::min(FillableAt(pending.front().bytes), pieceAt);
}

void DmaEngineModel::ThreadBody() {
    std::unique_lock lock(board_.mutex);
    while (!quit_) {
        if (!running_ || pacing_ != DmaPacing::RealTime) {
            plannedWake_ = Clock::time_point::max();
            wake_.wait(lock);
            continue;
        }
        const Clock::time_point now = Clock::now();
        Advance(now, !piong_->PendingData().empty());
        if (Serve(board_, PieceSamples())) {
            // More is due than one piece: the board is everyone's between pieces.
            plannedWake_ = Clock::time_point::min();
            lock.unlock();
            std::this_thread::yield();
            lock.lock();
            continue;
        }
        plannedWake_ = NextWake(now);
        if (plannedWake_ == Clock::time_point::max())
            wake_.wait(lock);
        else
            wake_.wait_until(lock, plannedWake_);
    }
}

DmaEngineModel::Clock::time_point DmaEngineModel::FillableAt(DWORD bytes) const {
    const uint64_t need = bytes / 4;
    const uint64_t waiting = FifoCount();
    return WhenDue(produced_ + (need > waiting ? need - waiting : 0));
}

}  // namespace halvex::sim
