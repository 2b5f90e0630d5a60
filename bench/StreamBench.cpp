// Streaming end to end on a simulated board:
//  - throughput: samples per second delivered to a raw and to a volts callback with the engine
//    free-running and 64 KiB chunks, beside a baseline measured in the same run (one thread that
//    fills and converts the same samples with no pipeline), reported as a ratio;
//  - latency: the time from a chunk's completion by the board to the start of its callback, at a
//    paced 1 MS/s, as median and 99th percentile.
#include <windows.h>

#include <benchmark/benchmark.h>
#include <halvex/halvex.h>
#include <halvex/sim.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "adc/AcquireThreads.h"
#include "adc/PackedSample.h"

namespace {

constexpr UINT64 kBoard = 0;
constexpr uint32_t kChunkBytes = 65536;
constexpr DWORD kChunkSamples = kChunkBytes / 4;
constexpr DWORD kBlockSamples = 256 * kChunkSamples;  // 4 Mi samples a run

struct Delivered {
    std::mutex mutex;
    std::condition_variable changed;
    uint64_t samples = 0;
    double sink = 0;  // keeps the work from being optimized away
    std::vector<int64_t> starts;  // steady-clock ns at each callback's start
};
Delivered* delivered = nullptr;

void Count(DWORD n, double value) {
    {
        std::lock_guard lock(delivered->mutex);
        delivered->samples += n;
        delivered->sink += value;
    }
    delivered->changed.notify_all();
}

void WINAPI OnRaw(UINT64, DWORD, DWORD n, DWORD* words) { Count(n, words[n - 1]); }
void WINAPI OnVolts(UINT64, DWORD, DWORD n, double* volts, WORD*, WORD*) { Count(n, volts[n - 1]); }
void WINAPI OnTimed(UINT64, DWORD, DWORD n, DWORD*) {
    const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    {
        std::lock_guard lock(delivered->mutex);
        delivered->starts.push_back(now);
        delivered->samples += n;
    }
    delivered->changed.notify_all();
}

void StartLibrary() {
    halvex::sim::Reset();
    halvex::sim::BoardSetup setup;
    setup.deviceId = 0x805C;
    halvex::sim::AddBoard(setup);
    HxTestLibraryStart();
    halvex::sim::SetRegister(kBoard, 32, kChunkBytes);
    halvex::sim::SetStreamIndexSource(kBoard, true);
    ADC_SetRate(kBoard, 0, 1e6);
}

void StopLibrary() {
    HxTestLibraryDetach();
    halvex::WaitForCallbackThreadsToEnd(10000);
    halvex::sim::Reset();
}

// One block through the library to the callback; returns when the callback has every sample.
void PipelineRun(DWORD type, void* callback) {
    Delivered d;
    delivered = &d;
    ADC_SetCallback(kBoard, 0, type, callback);
    ADC_AcquireBlock(kBoard, 0, kBlockSamples);
    {
        std::unique_lock lock(d.mutex);
        d.changed.wait(lock, [&] { return d.samples >= kBlockSamples; });
    }
    ADC_AcquireEnd(kBoard, 0);
    halvex::WaitForCallbackThreadsToEnd(10000);
    benchmark::DoNotOptimize(d.sink);
    delivered = nullptr;
}

// The same samples filled and converted by one thread, chunk by chunk, with no pipeline.
void BaselineRun(bool volts) {
    std::vector<uint32_t> chunk(kChunkSamples);
    std::vector<double> out(kChunkSamples);
    std::vector<uint16_t> status(kChunkSamples);
    double sink = 0;
    for (uint64_t first = 0; first < kBlockSamples; first += kChunkSamples) {
        for (DWORD i = 0; i < kChunkSamples; ++i) chunk[i] = halvex::sim::IndexSampleWord(first + i, 0, 0);
        if (volts) {
            for (DWORD i = 0; i < kChunkSamples; ++i) halvex::UnpackSample(chunk[i], nullptr, &status[i], nullptr, &out[i]);
            sink += out[kChunkSamples - 1];
        } else {
            std::vector<uint32_t> copy(chunk);
            sink += copy[kChunkSamples - 1];
        }
    }
    benchmark::DoNotOptimize(sink);
}

void Throughput(benchmark::State& state, bool volts) {
    StartLibrary();
    halvex::sim::SetDmaPacing(kBoard, halvex::sim::DmaPacing::FreeRunning);
    double pipelineSeconds = 0;
    double baselineSeconds = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        PipelineRun(volts ? ADC_CALLBACK_VOLTS : ADC_CALLBACK_RAW,
                    volts ? reinterpret_cast<void*>(&OnVolts) : reinterpret_cast<void*>(&OnRaw));
        auto t1 = std::chrono::steady_clock::now();
        BaselineRun(volts);
        auto t2 = std::chrono::steady_clock::now();
        pipelineSeconds += std::chrono::duration<double>(t1 - t0).count();
        baselineSeconds += std::chrono::duration<double>(t2 - t1).count();
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    const double samples = static_cast<double>(kBlockSamples) * static_cast<double>(state.iterations());
    state.counters["pipeline_MSps"] = samples / pipelineSeconds / 1e6;
    state.counters["baseline_MSps"] = samples / baselineSeconds / 1e6;
    state.counters["ratio"] = baselineSeconds / pipelineSeconds;
    state.SetItemsProcessed(static_cast<int64_t>(samples));
    StopLibrary();
}

void BM_StreamToRawCallback(benchmark::State& state) { Throughput(state, false); }
void BM_StreamToVoltsCallback(benchmark::State& state) { Throughput(state, true); }

void BM_ChunkToCallbackLatencyAt1MSps(benchmark::State& state) {
    StartLibrary();
    halvex::sim::SetDmaPacing(kBoard, halvex::sim::DmaPacing::RealTime);
    std::vector<double> latencies;
    for (auto _ : state) {
        Delivered d;
        delivered = &d;
        const DWORD chunks = 64;  // about a second at 1 MS/s
        ADC_SetCallback(kBoard, 0, ADC_CALLBACK_RAW, reinterpret_cast<void*>(&OnTimed));
        const std::size_t before = halvex::sim::DmaCompletionTimes(kBoard).size();
        ADC_AcquireBlock(kBoard, 0, chunks * kChunkSamples);
        {
            std::unique_lock lock(d.mutex);
            d.changed.wait(lock, [&] { return d.starts.size() >= chunks; });
        }
        ADC_AcquireEnd(kBoard, 0);
        halvex::WaitForCallbackThreadsToEnd(10000);
        const auto completions = halvex::sim::DmaCompletionTimes(kBoard);
        for (std::size_t i = 0; i < chunks && before + i < completions.size(); ++i)
            latencies.push_back(static_cast<double>(d.starts[i] - completions[before + i]) / 1000.0);
        delivered = nullptr;
    }
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) {
        state.counters["median_us"] = latencies[latencies.size() / 2];
        state.counters["p99_us"] = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
        state.counters["max_us"] = latencies.back();
    }
    StopLibrary();
}

BENCHMARK(BM_StreamToRawCallback)->UseManualTime()->Iterations(8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StreamToVoltsCallback)->UseManualTime()->Iterations(8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ChunkToCallbackLatencyAt1MSps)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
