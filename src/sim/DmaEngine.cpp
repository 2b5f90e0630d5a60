#include "sim/DmaEngine.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "sim/AnalogInputModel.h"
#include "sim/AnalogInputSources.h"
#include "sim/Board.h"
#include "sim/Bus.h"
#include "sim/InputRegisters.h"

namespace halvex::sim {
namespace {

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
    if (bytes[0] == DmaPiongModel::kStartByte) armed_ = true;
    if (bytes[0] == DmaPiongModel::kStopByte) armed_ = false;
    status_.armed = armed_;
    Update(board);
}

void DmaEngineModel::OnDataRequest(Board& board) {
    if (!piong_->PendingData().empty()) lastRequestBytes_ = piong_->PendingData().back().bytes;
    if (!running_) return;
    if (pacing_ == DmaPacing::FreeRunning) {
        Serve(board);
        return;
    }
    // Samples converted before this request came were waiting with no request to take them.
    Advance(Clock::now(), piong_->PendingData().size() > 1);
    Serve(board);
    // The thread already sleeps until a request as large as the last could be filled: only a
    // request due sooner needs it awake.
    const auto& pending = piong_->PendingData();
    if (!pending.empty() && rate_ > 0.0 && FillableAt(pending.front().bytes) < plannedWake_) wake_.notify_all();
}

void DmaEngineModel::CatchUp() {
    if (running_ && pacing_ == DmaPacing::RealTime) {
        Advance(Clock::now(), !piong_->PendingData().empty());
        Serve(board_);
    }
}

void DmaEngineModel::SetPacing(DmaPacing pacing) {
    pacing_ = pacing;
    if (running_) {
        start_ = Clock::now();
        produced_ = 0;
        if (pacing_ == DmaPacing::RealTime && !thread_.joinable()) thread_ = std::thread([this] { ThreadBody(); });
        Serve(board_);
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
    const unsigned stop = (startStop_ >> 12) & 7;
    for (unsigned channel = 0; channel <= stop; channel += differential_ ? 2 : 1) scan_.push_back(channel);
    scanBits_.clear();
    for (unsigned channel : scan_) scanBits_.push_back(IndexSampleWord(0, channel, (ranges_ >> (4 * channel)) & 7));
    start_ = Clock::now();
    produced_ = 0;
    fifo_.clear();
    if (pacing_ == DmaPacing::RealTime && !thread_.joinable()) thread_ = std::thread([this] { ThreadBody(); });
    Serve(board);
    wake_.notify_all();
}

void DmaEngineModel::Stop() {
    running_ = false;
    ++status_.stops;
    wake_.notify_all();
}

uint64_t DmaEngineModel::FifoCount() const {
    uint64_t count = 0;
    for (const Run& run : fifo_) count += run.count;
    return count;
}

void DmaEngineModel::Advance(Clock::time_point now, bool requestPending) {
    if (!running_ || rate_ <= 0.0 || now <= start_) return;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const auto due = static_cast<uint64_t>(seconds * rate_);
    if (due <= produced_) return;
    uint64_t fresh = due - produced_;
    uint64_t kept = fresh;
    if (!requestPending) {
        const uint64_t waiting = FifoCount();
        const uint64_t room = waiting >= fifoDepth_ ? 0 : fifoDepth_ - waiting;
        kept = std::min(fresh, room);
        status_.overruns += fresh - kept;
    }
    if (kept != 0) {
        if (!fifo_.empty() && fifo_.back().first + fifo_.back().count == produced_)
            fifo_.back().count += kept;
        else
            fifo_.push_back(Run{produced_, kept});
    }
    produced_ = due;
}

uint32_t DmaEngineModel::Sample(uint64_t index) {
    const unsigned channel = scan_[index % scan_.size()];
    const uint32_t range = (ranges_ >> (4 * channel)) & 7;
    if (indexSource_) return IndexSampleWord(index, channel, range);
    const double rate = rate_ > 0.0 ? rate_ : 1e6;
    const double seconds = std::chrono::duration<double>(start_ - epoch_).count() + static_cast<double>(index) / rate;
    auto level = [&](unsigned ch) {
        const InputSource source = inputs_ != nullptr ? inputs_->Source(0, ch) : DefaultInputSourceFor(0, ch);
        return SourceVolts(source, seconds, ordinals_[ch]++, ch, board_.analogOutputVolts);
    };
    const double volts = differential_ ? level(channel) - level(channel + 1) : level(channel);
    return PackConversion(volts, range, channel);
}

void DmaEngineModel::Fill(uint32_t* out, uint64_t firstIndex, uint64_t count) {
    if (!indexSource_) {
        for (uint64_t i = 0; i < count; ++i) out[i] = Sample(firstIndex + i);
        return;
    }
    // The benchmarks' source: only the counts change from sample to sample.
    if (scanBits_.size() == 1) {
        // One channel: a loop the compiler can vectorize.
        const uint32_t bits = scanBits_[0];
        for (uint64_t i = 0; i < count; ++i) out[i] = static_cast<uint32_t>((firstIndex + i) & 0xFFFF) | bits;
        return;
    }
    std::size_t position = static_cast<std::size_t>(firstIndex % scan_.size());
    for (uint64_t i = 0; i < count; ++i) {
        out[i] = static_cast<uint32_t>((firstIndex + i) & 0xFFFF) | scanBits_[position];
        if (++position == scanBits_.size()) position = 0;
    }
}

bool DmaEngineModel::CompleteFromFifo(Board& board, DWORD bytes) {
    (void)board;
    const uint64_t wanted = bytes / 4;
    int64_t completedAt = 0;
    const bool completed = piong_->CompleteOldest([&](uint8_t* out, DWORD outSize) {
        const uint64_t n = std::min<uint64_t>(wanted, outSize / 4);
        std::vector<uint32_t> words;
        uint32_t* target = reinterpret_cast<uintptr_t>(out) % alignof(uint32_t) == 0 ? reinterpret_cast<uint32_t*>(out)
                                                                                      : (words.resize(n), words.data());
        uint64_t written = 0;
        while (written < n) {
            if (pacing_ == DmaPacing::FreeRunning) {
                Fill(target + written, produced_, n - written);
                produced_ += n - written;
                written = n;
                break;
            }
            Run& run = fifo_.front();
            const uint64_t take = std::min(run.count, n - written);
            Fill(target + written, run.first, take);
            written += take;
            run.first += take;
            run.count -= take;
            if (run.count == 0) fifo_.pop_front();
        }
        if (!words.empty()) std::memcpy(out, words.data(), n * 4);
        // A short transfer writes only what arrived, as a board's DMA does; the odd bytes of a
        // whole transfer that is not a multiple of a sample are zeroed.
        const bool cut = bytes < outSize;
        if (!cut && outSize > n * 4) std::memset(out + n * 4, 0, outSize - n * 4);
        status_.delivered += n;
        // Stamped before the bus signals the request: a reader of the stamp never sees the
        // completion before its time.
        completedAt = Nanoseconds(Clock::now());
        return CompletionResult{ERROR_SUCCESS, cut ? static_cast<DWORD>(n * 4) : outSize};
    });
    if (completed) {
        ++status_.completed;
        completions_.push_back(completedAt);
        if (completions_.size() > kCompletionTimesKept) completions_.pop_front();
    }
    return completed;
}

void DmaEngineModel::Serve(Board& board) {
    while (running_ && !piong_->PendingData().empty()) {
        const DWORD bytes = piong_->PendingData().front().bytes;
        if (pacing_ == DmaPacing::RealTime && FifoCount() < bytes / 4) return;
        CompleteFromFifo(board, bytes);
    }
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
        Serve(board_);
        // Sleep until the oldest request can be filled; with none pending, until one as large
        // as the last could be, so that the next request, usually queued long before, need not
        // wake the thread. Without a rate, or when that time has passed, until woken.
        const auto& pending = piong_->PendingData();
        const DWORD bytes = pending.empty() ? lastRequestBytes_ : pending.front().bytes;
        plannedWake_ = Clock::time_point::max();
        if (rate_ > 0.0 && bytes != 0) {
            const Clock::time_point when = FillableAt(bytes);
            if (!pending.empty() || when > now) plannedWake_ = when;
        }
        if (plannedWake_ == Clock::time_point::max())
            wake_.wait(lock);
        else
            wake_.wait_until(lock, plannedWake_);
    }
}

DmaEngineModel::Clock::time_point DmaEngineModel::FillableAt(DWORD bytes) const {
    const uint64_t need = bytes / 4;
    const uint64_t waiting = FifoCount();
    const uint64_t target = produced_ + (need > waiting ? need - waiting : 0);
    return start_ + std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double>(static_cast<double>(target) / rate_));
}

}  // namespace halvex::sim
