#include "Recorder.h"

#include <algorithm>
#include <cmath>

#include "InputRanges.h"

namespace hxcli {

Recorder::Recorder(Metadata metadata, std::vector<std::unique_ptr<SampleFile>> files, std::size_t queueBytes)
    : metadata_(std::move(metadata)), files_(std::move(files)), queueBytes_(queueBytes),
      stats_(metadata_.channels) {
    scan_.reserve(metadata_.channels);
    writer_ = std::thread([this] { WriteChunks(); });
}

Recorder::~Recorder() {
    std::string ignored;
    if (writer_.joinable()) Finish(ignored);
}

void Recorder::Describe(std::string start, double conversionRateHz, double sampleRateHz, uint64_t firstSample) {
    // The writer reads these only after it takes a chunk pushed later, under the same lock.
    std::lock_guard lock(mutex_);
    metadata_.start = std::move(start);
    metadata_.conversionRateHz = conversionRateHz;
    metadata_.sampleRateHz = sampleRateHz;
    metadata_.firstSample = firstSample;
}

void Recorder::Push(std::vector<Sample> chunk) {
    const std::size_t bytes = chunk.size() * sizeof(Sample);
    std::unique_lock lock(mutex_);
    // A chunk larger than the whole allowance still goes in once the queue is empty.
    changed_.wait(lock, [&] { return queuedBytes_ == 0 || queuedBytes_ + bytes <= queueBytes_; });
    queuedBytes_ += bytes;
    queue_.push_back(std::move(chunk));
    changed_.notify_all();
}

bool Recorder::Finish(std::string& error) {
    {
        std::lock_guard lock(mutex_);
        finishing_ = true;
    }
    changed_.notify_all();
    if (writer_.joinable()) writer_.join();
    if (!begun_) BeginFiles(nullptr);
    bool ok = true;
    for (const auto& file : files_) {
        std::string problem;
        if (!file->Finish(rows_, problem)) {
            if (ok) error = problem;
            ok = false;
        }
    }
    files_.clear();
    return ok;
}

void Recorder::WriteChunks() {
    for (;;) {
        std::vector<Sample> chunk;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return !queue_.empty() || finishing_; });
            if (queue_.empty()) return;
            chunk = std::move(queue_.front());
            queue_.pop_front();
            queuedBytes_ -= chunk.size() * sizeof(Sample);
        }
        changed_.notify_all();
        for (const Sample& sample : chunk) Take(sample);
        for (const auto& file : files_)
            if (file->Failed()) writeFailed_.store(true);
    }
}

void Recorder::BeginFiles(const Sample* firstScan) {
    if (metadata_.ranges.empty()) {
        if (firstScan == nullptr) {
            metadata_.ranges = "unknown";
        } else {
            for (unsigned c = 0; c < metadata_.channels; ++c) {
                const InputRange* range = InputRangeOfCode(firstScan[c].word >> 16 & 7);
                if (c > 0) metadata_.ranges += ',';
                metadata_.ranges += range != nullptr ? range->name : std::string("code6");
            }
        }
    }
    for (const auto& file : files_) file->Begin(metadata_);
    begun_ = true;
}

void Recorder::Take(const Sample& sample) {
    const unsigned slot = static_cast<unsigned>(scan_.size());
    scan_.push_back(sample);
    ChannelStats& stats = stats_[slot];
    const auto counts = static_cast<int16_t>(sample.word & 0xFFFF);
    const bool volts = metadata_.type == SampleType::Volts;
    if ((sample.word & 0x80000000u) != 0 || (volts && std::isnan(sample.volts))) {
        ++stats.noSample;
    } else {
        const double value = volts ? sample.volts : counts;
        ++stats.count;
        stats.min = std::min(stats.min, value);
        stats.max = std::max(stats.max, value);
        stats.sum += value;
        if (volts) {
            const InputRange* range = InputRangeOfCode(sample.word >> 16 & 7);
            if (range != nullptr && std::fabs(sample.volts) > range->halfSpan) ++stats.overRange;
        } else if (BeyondRange(counts)) {
            ++stats.overRange;
        }
    }
    if (scan_.size() < metadata_.channels) return;
    if (!begun_) BeginFiles(scan_.data());
    for (const auto& file : files_) file->Row(scan_.data(), rows_);
    ++rows_;
    scan_.clear();
}

}  // namespace hxcli
