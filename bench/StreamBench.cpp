// Streaming end to end on a simulated board, each figure beside what it is compared with in the
// same run, and one summary table at the end:
//  - throughput at 4, 16, 64 and 256 KiB chunks, engine free-running, to a raw and to a volts
//    callback: the steady state (first callback to last) against the best one-thread loop for
//    the same work (the engine's own fill, then the callback's conversion), with the start-up
//    (start to first callback) reported apart;
//  - the conversion alone: sample by sample against the whole-chunk loops;
//  - CPU the library's own threads spend per chunk at 1 and 10 MS/s, paced in real time, and the
//    time from a chunk's completion to the start of its callback at 1 MS/s;
//  - chunks alive over time at 10 MS/s while the callback keeps up, stalls, and keeps up again;
//  - the immediate scan of the boards that take 32-bit commands against its floor (15 us a
//    command);
//  - paced streams of 10 s at 10 MS/s (one channel at 10 MS/s, four at 2.5 MS/s each) with a
//    keeping-up volts callback at a tenth of a second, 64 KiB and 4 KiB chunks: samples the board
//    lost, and the CPU of the library's threads and of the simulator's;
//  - the simulator's conversion alone per source kind, and its CPU per MS/s while streaming.
#include <windows.h>

#include <benchmark/benchmark.h>
#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <halvex/halvex.h>
#include <halvex/sim.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "adc/ChunkPool.h"
#include "adc/PackedSample.h"
#include "sim/AnalogInputSources.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr UINT64 kBoard = 0;
constexpr uint64_t kRunBytes = 16u << 20;  // per throughput run, whatever the chunk size

int64_t NowNs() { return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count(); }

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
double Percentile(std::vector<double> v, unsigned p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, v.size() * p / 100)];
}

// ---- Summary ---------------------------------------------------------------------------------

struct Row {
    std::string figure;
    std::string value;
};
std::vector<Row>& Summary() {
    static std::vector<Row> rows;
    return rows;
}
void Report(const std::string& figure, const char* format, double a, double b = 0, double c = 0) {
    char text[160];
    std::snprintf(text, sizeof text, format, a, b, c);
    Summary().push_back({figure, text});
}

// ---- The callbacks -----------------------------------------------------------------------------

// Filled by the callback thread only; read after HX_AcquireWait.
struct Deliveries {
    std::vector<int64_t> starts;  // steady-clock ns at each callback's start
    uint64_t samples = 0;
    double sink = 0;
    std::atomic<int> stallAtChunk{-1};  // the callback sleeps once, at this chunk
    DWORD stallMs = 0;
};
Deliveries* deliveries = nullptr;

void Note(DWORD n, double value) {
    Deliveries& d = *deliveries;
    d.starts.push_back(NowNs());
    d.samples += n;
    d.sink += value;
    if (static_cast<int>(d.starts.size()) == d.stallAtChunk.load()) Sleep(d.stallMs);
}
void WINAPI OnRaw(UINT64, DWORD, DWORD n, DWORD* words) { Note(n, words[n - 1]); }
void WINAPI OnVolts(UINT64, DWORD, DWORD n, double* volts, WORD*, WORD*) { Note(n, volts[n - 1]); }

void StartLibrary(uint32_t deviceId, uint32_t firmware = 0) {
    halvex::sim::Reset();
    halvex::sim::BoardSetup setup;
    setup.deviceId = deviceId;
    setup.firmware = firmware;
    halvex::sim::AddBoard(setup);
    HxTestLibraryStart();
}

void StopLibrary() {
    // Unload joins every callback thread.
    HxTestLibraryDetach();
    halvex::sim::Reset();
}

void StartStreamBoard(uint32_t chunkBytes, halvex::sim::DmaPacing pacing, double rate) {
    StartLibrary(0x805C);
    halvex::sim::SetRegister(kBoard, 32, chunkBytes);
    halvex::sim::SetStreamIndexSource(kBoard, true);
    halvex::sim::SetDmaPacing(kBoard, pacing);
    ADC_SetRate(kBoard, 0, rate);
}

// One acquisition of `chunks` chunks to the callback; returns once the last callback returned.
void PipelineRun(Deliveries& d, bool volts, DWORD samples) {
    deliveries = &d;
    ADC_SetCallback(kBoard, 0, volts ? ADC_CALLBACK_VOLTS : ADC_CALLBACK_RAW,
                    volts ? reinterpret_cast<void*>(&OnVolts) : reinterpret_cast<void*>(&OnRaw));
    ADC_AcquireBlock(kBoard, 0, samples);
    HX_AcquireWait(kBoard, 0, 60000);
    ADC_AcquireEnd(kBoard, 0);
    deliveries = nullptr;
}

// ---- Throughput ------------------------------------------------------------------------------

// The engine's fill for one channel on range 0 (as the index source writes it).
void FillLikeTheEngine(uint32_t* out, uint64_t first, std::size_t n) {
    const uint32_t bits = halvex::sim::IndexSampleWord(0, 0, 0);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<uint32_t>((first + i) & 0xFFFF) | bits;
}

// One thread, no pipeline: fill a chunk as the simulated board does (its samples into a staging
// block, then the DMA's write into the chunk), convert it as the callback type needs, look at
// it. Returns ns per chunk.
double BaselineNsPerChunk(uint32_t chunkBytes, bool volts) {
    const std::size_t n = chunkBytes / 4;
    const uint64_t chunks = kRunBytes / chunkBytes;
    std::vector<uint32_t> staged(n), chunk(n);
    std::vector<double> out(n);
    std::vector<WORD> status(n);
    double sink = 0;
    const int64_t t0 = NowNs();
    for (uint64_t c = 0; c < chunks; ++c) {
        FillLikeTheEngine(staged.data(), c * n, n);
        std::memcpy(chunk.data(), staged.data(), chunkBytes);
        if (volts) {
            halvex::PackedSamplesToVolts(chunk.data(), n, out.data(), status.data());
            sink += out[n - 1];
        } else {
            sink += chunk[n - 1];
        }
        benchmark::ClobberMemory();
    }
    benchmark::DoNotOptimize(sink);
    return static_cast<double>(NowNs() - t0) / static_cast<double>(chunks);
}

void BM_Throughput(benchmark::State& state) {
    const auto chunkBytes = static_cast<uint32_t>(state.range(0));
    const bool volts = state.range(1) != 0;
    const uint64_t chunks = kRunBytes / chunkBytes;
    StartStreamBoard(chunkBytes, halvex::sim::DmaPacing::FreeRunning, 1e6);
    std::vector<double> pipelineNs, baselineNs, startupUs;
    for (auto _ : state) {
        Deliveries d;
        d.starts.reserve(chunks);
        const int64_t t0 = NowNs();
        PipelineRun(d, volts, static_cast<DWORD>(chunks * (chunkBytes / 4)));
        if (d.starts.size() < 2) continue;
        startupUs.push_back(static_cast<double>(d.starts.front() - t0) / 1e3);
        const double steady = static_cast<double>(d.starts.back() - d.starts.front()) / static_cast<double>(d.starts.size() - 1);
        pipelineNs.push_back(steady);
        baselineNs.push_back(BaselineNsPerChunk(chunkBytes, volts));
        state.SetIterationTime(steady * static_cast<double>(chunks) / 1e9);
    }
    StopLibrary();
    const double samplesPerChunk = chunkBytes / 4.0;
    const double pipeline = samplesPerChunk / Median(pipelineNs) * 1e3;  // MS/s
    const double baseline = samplesPerChunk / Median(baselineNs) * 1e3;
    state.counters["pipeline_MSps"] = pipeline;
    state.counters["baseline_MSps"] = baseline;
    state.counters["ratio"] = pipeline / baseline;
    state.counters["startup_us"] = Median(startupUs);
    const std::string what = std::string(volts ? "volts" : "raw") + " " + std::to_string(chunkBytes / 1024) + " KiB";
    Report(what + ": pipeline / baseline MS/s, ratio", "%.0f / %.0f, %.2f", pipeline, baseline, pipeline / baseline);
    Report(what + ": start to first callback, us (median)", "%.0f", Median(startupUs));
}

// ---- Conversion alone --------------------------------------------------------------------------

void BM_Conversion(benchmark::State& state) {
    const bool whole = state.range(0) != 0;
    constexpr std::size_t n = 16384;
    std::vector<uint32_t> words(n);
    // Every range code, the flag now and then: the table path and the per-sample path alike.
    for (std::size_t i = 0; i < n; ++i)
        words[i] = static_cast<uint32_t>(i * 2654435761u) & 0x800FFFFFu;
    std::vector<double> volts(n);
    std::vector<WORD> status(n);
    for (auto _ : state) {
        if (whole) {
            halvex::PackedSamplesToVolts(words.data(), n, volts.data(), status.data());
        } else {
            for (std::size_t i = 0; i < n; ++i) halvex::UnpackSample(words[i], nullptr, &status[i], nullptr, &volts[i]);
        }
        benchmark::DoNotOptimize(volts.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

// ---- Real time: CPU per chunk, completion to callback -------------------------------------------

std::set<pid_t> ThreadIds() {
    std::set<pid_t> ids;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') ids.insert(static_cast<pid_t>(std::stoi(entry->d_name)));
        closedir(dir);
    }
    return ids;
}

// CPU time of a thread of this process by its id, in ns (0 once it has ended).
int64_t ThreadCpuNs(pid_t tid) {
    const auto clock = static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | 6);  // per-thread, scheduler clock
    timespec ts{};
    if (clock_gettime(clock, &ts) != 0) return 0;
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t CpuOf(const std::set<pid_t>& ids) {
    int64_t sum = 0;
    for (pid_t id : ids) sum += ThreadCpuNs(id);
    return sum;
}

void BM_RealTime(benchmark::State& state) {
    const double rate = static_cast<double>(state.range(0)) * 1e6;
    constexpr uint32_t kChunkBytes = 65536;
    StartStreamBoard(kChunkBytes, halvex::sim::DmaPacing::RealTime, rate);
    std::vector<double> cpuUs, latencyUs;
    for (auto _ : state) {
        // A short run first, so the engine's own thread exists before the ids are taken.
        {
            Deliveries warm;
            PipelineRun(warm, false, kChunkBytes / 4);
        }
        const std::set<pid_t> before = ThreadIds();
        Deliveries d;
        const uint64_t chunks = static_cast<uint64_t>(rate / (kChunkBytes / 4));  // about a second
        d.starts.reserve(chunks + 1);
        deliveries = &d;
        ADC_SetCallback(kBoard, 0, ADC_CALLBACK_RAW, reinterpret_cast<void*>(&OnRaw));
        const std::size_t completionsBefore = halvex::sim::DmaCompletionTimes(kBoard).size();
        ADC_AcquireStream(kBoard, 0);
        // Steady state: from the 5th chunk to the last but two, measured on the library's
        // threads (those that were not there before the start).
        HX_ACQUIRE_STATUS status{};
        status.Size = sizeof status;
        auto delivered = [&] {
            HX_AcquireStatus(kBoard, 0, &status);
            return status.ChunksDelivered;
        };
        const int64_t deadline = NowNs() + 20'000'000'000;
        while (delivered() < 5 && NowNs() < deadline) Sleep(1);
        std::set<pid_t> library;
        for (pid_t id : ThreadIds())
            if (before.count(id) == 0) library.insert(id);
        const uint64_t c0 = delivered();
        const int64_t cpu0 = CpuOf(library);
        while (delivered() < chunks && NowNs() < deadline) Sleep(5);
        const uint64_t c1 = delivered();
        const int64_t cpu1 = CpuOf(library);
        ADC_AcquireEnd(kBoard, 0);
        HX_AcquireWait(kBoard, 0, 10000);
        deliveries = nullptr;
        if (c1 > c0) cpuUs.push_back(static_cast<double>(cpu1 - cpu0) / 1e3 / static_cast<double>(c1 - c0));
        const auto completions = halvex::sim::DmaCompletionTimes(kBoard);
        for (std::size_t i = 0; i < d.starts.size() && completionsBefore + i < completions.size(); ++i)
            latencyUs.push_back(static_cast<double>(d.starts[i] - completions[completionsBefore + i]) / 1e3);
    }
    StopLibrary();
    state.counters["cpu_us_per_chunk"] = Median(cpuUs);
    state.counters["p50_us"] = Percentile(latencyUs, 50);
    state.counters["p99_us"] = Percentile(latencyUs, 99);
    const std::string at = std::to_string(state.range(0)) + " MS/s, 64 KiB";
    Report("library CPU per chunk at " + at + ", us (median of 3 seconds)", "%.1f", Median(cpuUs));
    Report("completion to callback at " + at + ", us p50 / p99", "%.0f / %.0f", Percentile(latencyUs, 50),
           Percentile(latencyUs, 99));
}

// ---- Chunks in circulation ---------------------------------------------------------------------

void BM_ChunksInCirculation(benchmark::State& state) {
    constexpr uint32_t kChunkBytes = 65536;
    constexpr double kRate = 10e6;
    StartStreamBoard(kChunkBytes, halvex::sim::DmaPacing::RealTime, kRate);
    std::vector<std::pair<int, int64_t>> series;  // ms since start, chunks alive
    int64_t keepingUp = 0, peak = 0, after = 0;
    for (auto _ : state) {
        const int64_t base = halvex::LiveChunkCount();
        Deliveries d;
        d.starts.reserve(4096);
        d.stallAtChunk = 150;  // about 0.25 s in
        d.stallMs = 200;       // about 120 chunks of backlog
        deliveries = &d;
        ADC_SetCallback(kBoard, 0, ADC_CALLBACK_RAW, reinterpret_cast<void*>(&OnRaw));
        const int64_t t0 = NowNs();
        ADC_AcquireStream(kBoard, 0);
        series.clear();
        for (int ms = 0; ms <= 1000; ms += 25) {
            while ((NowNs() - t0) / 1000000 < ms) Sleep(1);
            series.emplace_back(ms, halvex::LiveChunkCount() - base);
        }
        ADC_AcquireEnd(kBoard, 0);
        HX_AcquireWait(kBoard, 0, 10000);
        deliveries = nullptr;
        keepingUp = peak = 0;
        for (const auto& [ms, alive] : series) {
            if (ms >= 50 && ms < 200) keepingUp = std::max(keepingUp, alive);
            peak = std::max(peak, alive);
        }
        after = series.back().second;
    }
    StopLibrary();
    state.counters["keeping_up"] = static_cast<double>(keepingUp);
    state.counters["peak"] = static_cast<double>(peak);
    state.counters["after_1s"] = static_cast<double>(after);
    Report("chunks alive at 10 MS/s, 64 KiB: keeping up / peak after a 200 ms stall / 1 s", "%.0f / %.0f / %.0f",
           static_cast<double>(keepingUp), static_cast<double>(peak), static_cast<double>(after));
    std::string line;
    for (std::size_t i = 0; i < series.size(); i += 2) line += std::to_string(series[i].second) + " ";
    Summary().push_back({"chunks alive every 50 ms", line});
}

// ---- Immediate scan ------------------------------------------------------------------------------

void BM_ImmediateScanNative32(benchmark::State& state) {
    const bool layout2 = state.range(0) != 0;
    if (layout2)
        StartLibrary(0x805C);
    else
        StartLibrary(0x80E8, 0x00010000);
    const double floorUs = (layout2 ? 8 : 16) * 15.0;
    std::vector<double> us;
    DWORD scan[16];
    for (auto _ : state) {
        const int64_t t0 = NowNs();
        ADC_GetImmediateScanRaw(kBoard, scan, 0);
        const double took = static_cast<double>(NowNs() - t0) / 1e3;
        us.push_back(took);
        state.SetIterationTime(took / 1e6);
    }
    // What each of the scan's driver requests costs on its own, beside the floor.
    std::vector<double> requestUs;
    for (int i = 0; i < 200; ++i) {
        const int64_t t0 = NowNs();
        PIO_Out32(kBoard, 100, 0);
        requestUs.push_back(static_cast<double>(NowNs() - t0) / 1e3);
    }
    StopLibrary();
    state.counters["p50_over_floor"] = Median(us) / floorUs;
    Report("one register write request, us p50", "%.1f", Median(requestUs));
    Report(std::string("immediate scan, ") + (layout2 ? "8" : "16") + " commands: p50 us / floor us, ratio",
           "%.0f / %.0f, %.3f", Median(us), floorUs, Median(us) / floorUs);
}

// ---- Sustained paced streams: what the board loses ------------------------------------------------

struct PacedRun {
    uint64_t overruns = 0;
    uint64_t samples = 0;
    uint64_t chunks = 0;
    double seconds = 0;
    double libraryCpu = 0;    // of one processor, over the measured stretch
    double simulatorCpu = 0;  // the threads that outlive the run: the simulated board's engine
};

// Streams the board, paced in real time, for `seconds` to a callback that keeps up. Samples lost
// are counted over the whole run; CPU from half a second in (after the chunk pool has filled).
// A short run first, so that the engine's thread exists before the ids are taken: the threads
// there before the start are the simulator's (and this one), those that come with it the
// library's.
PacedRun RunPaced(uint32_t chunkBytes, DWORD channels, double conversionRate, double seconds, bool volts) {
    ADC_SetChannelCount(kBoard, 0, channels);
    ADC_SetRate(kBoard, 0, conversionRate);
    halvex::sim::SetRegister(kBoard, 32, 4096);
    {
        Deliveries warm;
        PipelineRun(warm, false, 1024);
    }
    halvex::sim::SetRegister(kBoard, 32, chunkBytes);
    Sleep(50);  // the warm-up's own threads end
    std::set<pid_t> simulator = ThreadIds();
    simulator.erase(static_cast<pid_t>(syscall(SYS_gettid)));
    const uint64_t lost0 = halvex::sim::StreamStatusOf(kBoard).overruns;
    Deliveries d;
    d.starts.reserve(static_cast<std::size_t>(seconds * conversionRate / (chunkBytes / 4.0)) + 64);
    deliveries = &d;
    ADC_SetCallback(kBoard, 0, volts ? ADC_CALLBACK_VOLTS : ADC_CALLBACK_RAW,
                    volts ? reinterpret_cast<void*>(&OnVolts) : reinterpret_cast<void*>(&OnRaw));
    const int64_t t0 = NowNs();
    ADC_AcquireStream(kBoard, 0);
    Sleep(500);
    std::set<pid_t> library;
    for (pid_t id : ThreadIds())
        if (simulator.count(id) == 0 && id != static_cast<pid_t>(syscall(SYS_gettid))) library.insert(id);
    const int64_t sim0 = CpuOf(simulator), lib0 = CpuOf(library), m0 = NowNs();
    while (NowNs() - t0 < static_cast<int64_t>(seconds * 1e9)) Sleep(20);
    const int64_t sim1 = CpuOf(simulator), lib1 = CpuOf(library), m1 = NowNs();
    PacedRun run;
    run.overruns = halvex::sim::StreamStatusOf(kBoard).overruns - lost0;
    ADC_AcquireEnd(kBoard, 0);
    HX_AcquireWait(kBoard, 0, 10000);
    deliveries = nullptr;
    run.samples = d.samples;
    run.chunks = d.starts.size();
    run.seconds = static_cast<double>(m1 - t0) / 1e9;
    run.simulatorCpu = static_cast<double>(sim1 - sim0) / static_cast<double>(m1 - m0);
    run.libraryCpu = static_cast<double>(lib1 - lib0) / static_cast<double>(m1 - m0);
    return run;
}

void BM_Sustained(benchmark::State& state) {
    const auto channels = static_cast<DWORD>(state.range(0));
    constexpr double kRate = 10e6;  // conversions per second over the channels
    // 0: a tenth of a second, hxcli's and the Python package's default.
    const auto chunkBytes = state.range(1) != 0 ? static_cast<uint32_t>(state.range(1))
                                                : static_cast<uint32_t>(kRate / 10 * 4);
    StartLibrary(0x805C);
    PacedRun run;
    for (auto _ : state) run = RunPaced(chunkBytes, channels, kRate, 10.0, true);
    StopLibrary();
    state.counters["overruns"] = static_cast<double>(run.overruns);
    state.counters["library_cpu"] = run.libraryCpu;
    state.counters["simulator_cpu"] = run.simulatorCpu;
    char what[160];
    std::snprintf(what, sizeof what, "10 s, %u ch at %.1f MS/s each, %s chunks: lost / delivered MS, chunks",
                  static_cast<unsigned>(channels), kRate / channels / 1e6,
                  state.range(1) == 0 ? "0.1 s" : (std::to_string(chunkBytes / 1024) + " KiB").c_str());
    Report(what, "%.0f / %.1f, %.0f", static_cast<double>(run.overruns), static_cast<double>(run.samples) / 1e6,
           static_cast<double>(run.chunks));
    std::snprintf(what, sizeof what, "  CPU of a processor: library's threads / simulator's");
    Report(what, "%.2f / %.2f", run.libraryCpu, run.simulatorCpu);
}

// ---- The simulator's conversion, per source kind ------------------------------------------------

enum SourceKindArg { kConstant, kSine, kSquare, kRamp, kNoise, kLoopback, kIndex };
const char* const kSourceNames[] = {"constant", "sine", "square", "ramp", "noise", "loopback", "index"};

halvex::sim::InputSource SourceOfKind(int kind) {
    using halvex::sim::InputSourceKind;
    halvex::sim::InputSource source;
    source.volts = 0.5;
    source.amplitude = 2.0;
    source.hertz = 1000.0;
    const InputSourceKind kinds[] = {InputSourceKind::Constant, InputSourceKind::Sine,  InputSourceKind::Square,
                                     InputSourceKind::Ramp,     InputSourceKind::Noise, InputSourceKind::AnalogOutput};
    source.kind = kind < kIndex ? kinds[kind] : InputSourceKind::Constant;
    return source;
}

// The conversion of one channel's run alone, as the engine makes it for a transfer.
void BM_Conversion_Source(benchmark::State& state) {
    const int kind = static_cast<int>(state.range(0));
    constexpr std::size_t n = 65536;
    std::vector<uint32_t> words(n);
    const halvex::sim::InputSource source = SourceOfKind(kind);
    const std::array<double, 4> outputs{1.25, 0, 0, 0};
    uint64_t first = 0;
    for (auto _ : state) {
        if (kind == kIndex) {
            FillLikeTheEngine(words.data(), first, n);
        } else {
            halvex::sim::ConversionRun run;
            run.plus = {&source, 0, first};
            run.rate = 1e7;
            run.first = first;
            run.rangeCode = 7;
            halvex::sim::ConvertRun(run, outputs, words.data(), n);
        }
        first += n;
        benchmark::DoNotOptimize(words.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

// The simulator's CPU while a board streams one channel of the source at 10 MS/s.
void BM_SimulatorCpu(benchmark::State& state) {
    const int kind = static_cast<int>(state.range(0));
    constexpr double kRate = 10e6;
    StartLibrary(0x805C);
    if (kind == kIndex)
        halvex::sim::SetStreamIndexSource(kBoard, true);
    else
        halvex::sim::SetInputSource(kBoard, 0, 0, SourceOfKind(kind));
    PacedRun run;
    for (auto _ : state) run = RunPaced(65536, 1, kRate, 2.5, false);
    StopLibrary();
    state.counters["simulator_cpu_per_MSps"] = run.simulatorCpu / (kRate / 1e6);
    state.counters["overruns"] = static_cast<double>(run.overruns);
    Report(std::string("simulator CPU per MS/s streaming ") + kSourceNames[kind] + ", % of a processor (lost)",
           "%.2f (%.0f)", run.simulatorCpu / (kRate / 1e6) * 100, static_cast<double>(run.overruns));
}

BENCHMARK(BM_Throughput)
    ->ArgsProduct({{4096, 16384, 65536, 262144}, {0, 1}})
    ->ArgNames({"chunk", "volts"})
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Conversion)->Arg(0)->Arg(1)->ArgName("whole_chunk");
BENCHMARK(BM_RealTime)->Arg(1)->Arg(10)->ArgName("MSps")->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ChunksInCirculation)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ImmediateScanNative32)->Arg(0)->Arg(1)->ArgName("layout2")->UseManualTime()->Iterations(200);
BENCHMARK(BM_Sustained)
    ->ArgsProduct({{1, 4}, {0, 65536, 4096}})
    ->ArgNames({"channels", "chunk"})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Conversion_Source)->DenseRange(kConstant, kIndex)->ArgName("source");
BENCHMARK(BM_SimulatorCpu)->DenseRange(kConstant, kIndex)->ArgName("source")->Iterations(1)->Unit(benchmark::kMillisecond);

// Picks the conversion rates out of the reporter's runs, then lets it print as usual.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.benchmark_name().rfind("BM_Conversion_Source", 0) == 0) {
                const auto items = run.counters.find("items_per_second");
                const auto at = run.benchmark_name().find("source:");
                if (items == run.counters.end() || at == std::string::npos) continue;
                const int kind = std::stoi(run.benchmark_name().substr(at + 7));
                Report(std::string("simulator conversion, ") + kSourceNames[kind] + ", MS/s", "%.0f", items->second.value / 1e6);
                continue;
            }
            if (run.benchmark_name().rfind("BM_Conversion", 0) != 0) continue;
            const auto items = run.counters.find("items_per_second");
            if (items == run.counters.end()) continue;
            const bool whole = run.benchmark_name().find("whole_chunk:1") != std::string::npos;
            Report(whole ? "volts conversion, whole-chunk loop, MS/s" : "volts conversion, sample by sample, MS/s", "%.0f",
                   items->second.value / 1e6);
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::size_t width = 0;
    for (const Row& row : Summary()) width = std::max(width, row.figure.size());
    std::printf("\n%-*s  %s\n", static_cast<int>(width), "figure", "value");
    for (const Row& row : Summary()) std::printf("%-*s  %s\n", static_cast<int>(width), row.figure.c_str(), row.value.c_str());
    return 0;
}
