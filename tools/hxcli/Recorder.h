// Takes the chunks an acquisition delivers off the callback thread: a writer thread of its own
// sums them per channel and writes them to the sample files, so a slow disk or pipe never holds
// up the library's deliveries for longer than the queue's memory allows.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SampleFiles.h"

namespace hxcli {

struct ChannelStats {
    uint64_t count = 0;      // samples with a value
    uint64_t noSample = 0;   // words flagged "no sample"
    uint64_t overRange = 0;  // samples beyond their input range
    double min = std::numeric_limits<double>::infinity();
    double max = -std::numeric_limits<double>::infinity();
    double sum = 0.0;
};

class Recorder {
public:
    // `metadata.ranges`, when empty, is filled in from the range codes of the first scan.
    Recorder(Metadata metadata, std::vector<std::unique_ptr<SampleFile>> files, std::size_t queueBytes);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // From the callback thread, before the first Push: what the library says of the run, for
    // the files' metadata in place of what was planned.
    void Describe(std::string start, double conversionRateHz, double sampleRateHz, uint64_t firstSample);
    // From the callback thread. Waits while the queue holds `queueBytes` or more.
    void Push(std::vector<Sample> chunk);
    // Writes what is queued, ends the writer thread and completes the files. False with
    // `error` when a file could not be written.
    bool Finish(std::string& error);

    // Whether a file has failed to take what was written to it; from any thread.
    bool WriteFailed() const { return writeFailed_.load(); }

    // After Finish. Per scan slot: slot k of every scan is channel k (k / 2 in differential mode).
    const std::vector<ChannelStats>& Stats() const { return stats_; }
    uint64_t Rows() const { return rows_; }

private:
    void WriteChunks();
    void Take(const Sample& sample);
    void BeginFiles(const Sample* firstScan);

    Metadata metadata_;
    std::vector<std::unique_ptr<SampleFile>> files_;  // writer thread only, until it ends
    const std::size_t queueBytes_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::vector<Sample>> queue_;  // guarded by mutex_
    std::size_t queuedBytes_ = 0;            // guarded by mutex_
    bool finishing_ = false;                 // guarded by mutex_

    // The writer thread's own, read by others after it ended.
    std::vector<ChannelStats> stats_;
    std::vector<Sample> scan_;
    uint64_t rows_ = 0;
    bool begun_ = false;
    std::atomic<bool> writeFailed_{false};
    std::thread writer_;
};

}  // namespace hxcli
