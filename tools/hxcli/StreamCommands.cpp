// hxcli stream, block: streaming acquisition from sequencer 0 to a callback, with a live
// progress line, a per-channel summary and optional CSV output of every sample.
#include <halvex/halvex.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Command.h"
#include "InputRanges.h"
#include "Simulator.h"

namespace hxcli {
namespace {

struct ChannelStats {
    uint64_t count = 0;
    double min = std::numeric_limits<double>::infinity();
    double max = -std::numeric_limits<double>::infinity();
    double sum = 0.0;
};

// Everything the callback touches. The callback runs on the library's callback thread.
struct Session {
    explicit Session(simulator::StreamTotals totals) : before(totals) {}

    std::mutex mutex;
    std::condition_variable changed;
    std::array<ChannelStats, 16> channels;  // guarded by mutex
    std::FILE* csv = nullptr;               // written by the callback thread only
    uint64_t csvIndex = 0;
    std::atomic<uint64_t> samples{0};
    std::atomic<uint64_t> chunks{0};
    std::atomic<uint64_t> invalid{0};
    // The board's totals when this acquisition began: the board counts over every acquisition
    // of the process, and under 'hxcli run' earlier lines ran some.
    const simulator::StreamTotals before;
};
// The acquisition the callbacks report to; they have no context argument.
std::atomic<Session*> current{nullptr};

void Record(DWORD n, const double* values, const WORD* status) {
    Session* const session = current.load();
    if (session == nullptr) return;
    {
        std::lock_guard lock(session->mutex);
        for (DWORD i = 0; i < n; ++i) {
            if (status[i] & (HALVEX_NO_SAMPLE >> 16) || std::isnan(values[i])) {
                session->invalid.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            ChannelStats& c = session->channels[(status[i] >> 4) & 0xF];
            ++c.count;
            c.min = std::min(c.min, values[i]);
            c.max = std::max(c.max, values[i]);
            c.sum += values[i];
        }
    }
    if (session->csv != nullptr) {
        for (DWORD i = 0; i < n; ++i)
            std::fprintf(session->csv, "%llu,%u,%u,%.9g\n", static_cast<unsigned long long>(session->csvIndex++),
                         (status[i] >> 4) & 0xF, status[i] & 7, values[i]);
    }
    session->samples.fetch_add(n);
    session->chunks.fetch_add(1);
    session->changed.notify_all();
}

thread_local std::vector<double> scratchValues;
thread_local std::vector<WORD> scratchStatus;

void WINAPI OnRaw(UINT64, DWORD, DWORD n, DWORD* words) {
    scratchValues.resize(n);
    scratchStatus.resize(n);
    for (DWORD i = 0; i < n; ++i) {
        scratchValues[i] = static_cast<int16_t>(words[i] & 0xFFFF);
        scratchStatus[i] = static_cast<WORD>(words[i] >> 16);
    }
    Record(n, scratchValues.data(), scratchStatus.data());
}

void WINAPI OnCounts(UINT64, DWORD, DWORD n, WORD* counts, WORD* status, WORD*) {
    scratchValues.resize(n);
    for (DWORD i = 0; i < n; ++i) scratchValues[i] = static_cast<int16_t>(counts[i]);
    Record(n, scratchValues.data(), status);
}

void WINAPI OnVolts(UINT64, DWORD, DWORD n, double* volts, WORD* status, WORD*) { Record(n, volts, status); }

struct Options {
    uint64_t board = 1;
    double rate = 1e6;
    uint32_t channels = 1;
    std::vector<std::string> ranges;
    std::string type = "volts";
    double seconds = 10.0;
    uint32_t samples = 0;  // block
    uint32_t chunkBytes = 65536;
    std::string csv;
    bool freeRunning = false;
    bool quiet = false;
};

int Configure(const Options& o) {
    if (DWORD r = PIO_Out32(o.board, 32, o.chunkBytes)) return Fail("setting the chunk size (register 32)", r);
    if (DWORD r = ADC_SetRate(o.board, 0, o.rate)) return Fail("ADC_SetRate", r);
    if (DWORD r = ADC_SetChannelCount(o.board, 0, o.channels)) return Fail("ADC_SetChannelCount", r);
    if (!o.ranges.empty()) {
        std::vector<DWORD> codes;
        for (const std::string& text : o.ranges) {
            const auto named = std::find_if(std::begin(kInputRanges), std::end(kInputRanges),
                                            [&](const InputRange& r) { return text == r.name; });
            uint32_t code = 0;
            if (named != std::end(kInputRanges)) {
                code = named->code;
            } else if (!ParseU32(text, code)) {
                std::fprintf(stderr, "hxcli: bad range '%s'\n", text.c_str());
                return kExitUsage;
            }
            codes.push_back(code);
        }
        if (DWORD r = ADC_SetRangeAll(o.board, 0, static_cast<DWORD>(codes.size()), codes.data()))
            return Fail("ADC_SetRangeAll", r);
    }
    DWORD tag = ADC_CALLBACK_VOLTS;
    void* function = reinterpret_cast<void*>(&OnVolts);
    if (o.type == "raw") {
        tag = ADC_CALLBACK_RAW;
        function = reinterpret_cast<void*>(&OnRaw);
    } else if (o.type == "counts") {
        tag = ADC_CALLBACK_COUNTS;
        function = reinterpret_cast<void*>(&OnCounts);
    }
    if (DWORD r = ADC_SetCallback(o.board, 0, tag, function)) return Fail("ADC_SetCallback", r);
    simulator::SetFreeRunning(o.board, o.freeRunning);
    return kExitOk;
}

// Transfers the board completed in this acquisition.
uint64_t CompletedTransfers(const Session& s, uint64_t board) {
    return simulator::StreamTotalsOf(board).completedTransfers - s.before.completedTransfers;
}

uint64_t Overruns(const Session& s, uint64_t board) {
    return simulator::StreamTotalsOf(board).overruns - s.before.overruns;
}

void PrintProgress(const Session& s, const Options& o, std::chrono::steady_clock::time_point start, bool last) {
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const uint64_t samples = s.samples.load();
    const uint64_t completed = CompletedTransfers(s, o.board);
    const uint64_t waiting = completed > s.chunks.load() ? completed - s.chunks.load() : 0;
    if (!o.quiet || last)
        std::fprintf(stderr, "\r%8.1f s  %12llu samples  %10.0f S/s  %4llu chunks waiting  %llu overrun   ", elapsed,
                     static_cast<unsigned long long>(samples), elapsed > 0 ? samples / elapsed : 0.0,
                     static_cast<unsigned long long>(waiting),
                     static_cast<unsigned long long>(Overruns(s, o.board)));
    if (last) std::fputc('\n', stderr);
}

void PrintSummary(Session& s, const Options& o) {
    const char* unit = o.type == "volts" ? "V" : "counts";
    std::printf("%-8s %12s %14s %14s %14s  (%s)\n", "channel", "samples", "min", "max", "mean", unit);
    std::lock_guard lock(s.mutex);
    for (std::size_t c = 0; c < s.channels.size(); ++c) {
        const ChannelStats& stats = s.channels[c];
        if (stats.count == 0) continue;
        std::printf("%-8zu %12llu %14.6f %14.6f %14.6f\n", c, static_cast<unsigned long long>(stats.count), stats.min,
                    stats.max, stats.sum / static_cast<double>(stats.count));
    }
    std::printf("chunks %llu, samples %llu, overrun %llu, no-sample words %llu\n",
                static_cast<unsigned long long>(s.chunks.load()), static_cast<unsigned long long>(s.samples.load()),
                static_cast<unsigned long long>(Overruns(s, o.board)),
                static_cast<unsigned long long>(s.invalid.load()));
}

int Run(const Options& o, bool block) {
    Session s(simulator::StreamTotalsOf(o.board));
    current.store(&s);
    if (!o.csv.empty()) {
        s.csv = std::fopen(o.csv.c_str(), "w");
        if (s.csv == nullptr) {
            std::fprintf(stderr, "hxcli: cannot write %s\n", o.csv.c_str());
            return kExitFailed;
        }
        std::fprintf(s.csv, "index,channel,range,value\n");
    }
    int result = Configure(o);
    const auto start = std::chrono::steady_clock::now();
    if (result == kExitOk) {
        const DWORD started = block ? ADC_AcquireBlock(o.board, 0, o.samples) : ADC_AcquireStream(o.board, 0);
        if (started != 0) result = Fail(block ? "ADC_AcquireBlock" : "ADC_AcquireStream", started);
    }
    if (result == kExitOk) {
        const auto until = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                       std::chrono::duration<double>(o.seconds));
        std::unique_lock lock(s.mutex);
        while (true) {
            if (block && s.samples.load() >= o.samples) break;
            if (!block && std::chrono::steady_clock::now() >= until) break;
            s.changed.wait_for(lock, std::chrono::milliseconds(250));
            lock.unlock();
            PrintProgress(s, o, start, false);
            lock.lock();
        }
        lock.unlock();
        if (DWORD r = ADC_AcquireEnd(o.board, 0)) result = Fail("ADC_AcquireEnd", r);
        // The chunks already queued still reach the callback.
        const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        lock.lock();
        s.changed.wait_until(lock, guard, [&] { return s.chunks.load() >= CompletedTransfers(s, o.board); });
        lock.unlock();
        PrintProgress(s, o, start, true);
        PrintSummary(s, o);
    }
    ADC_SetCallback(o.board, 0, ADC_CALLBACK_NONE, nullptr);
    if (s.csv != nullptr) std::fclose(s.csv);
    current.store(nullptr);
    return result;
}

void AddCommon(CLI::App* cmd, Options& o) {
    cmd->add_option("-b,--board", o.board, "Board index (default 1, the first board that can stream)");
    cmd->add_option("-r,--rate", o.rate, "Conversion rate in samples per second (default 1e6)");
    cmd->add_option("-n,--channels", o.channels, "Channels per scan, 1-8 (default 1)")->check(CLI::Range(1, 8));
    cmd->add_option("--range", o.ranges,
                    "Range per channel: 12V, 5V, 2.5V, 1.25V, 0.625V, 0.3125V, 10V or a code; the last repeats");
    cmd->add_option("-t,--type", o.type, "Callback type: raw, counts or volts (default volts)")
        ->check(CLI::IsMember({"raw", "counts", "volts"}));
    cmd->add_option("--chunk", o.chunkBytes, "Bytes per chunk, written to register 32 (default 65536)");
    cmd->add_option("--csv", o.csv, "Write every sample to this CSV file (index,channel,range,value)");
    cmd->add_flag("--free-running", o.freeRunning, "Simulated boards: fill transfers as fast as memory allows");
    cmd->add_flag("-q,--quiet", o.quiet, "Only the final progress line");
}

}  // namespace

Command AddStreamCommand(CLI::App& app) {
    auto options = std::make_shared<Options>();
    CLI::App* cmd = app.add_subcommand("stream", "Stream sequencer 0 to a callback for a while, then summarize");
    AddCommon(cmd, *options);
    cmd->add_option("-s,--seconds", options->seconds, "How long to stream (default 10)");
    return {cmd, [options] { return Run(*options, false); }};
}

Command AddBlockCommand(CLI::App& app) {
    auto options = std::make_shared<Options>();
    CLI::App* cmd = app.add_subcommand("block", "Acquire a block of samples to a callback, then summarize");
    AddCommon(cmd, *options);
    cmd->add_option("-c,--samples", options->samples, "Samples wanted (whole chunks arrive)")->required();
    return {cmd, [options] { return Run(*options, true); }};
}

}  // namespace hxcli
