// hxcli stream, block: exactly so many samples per channel from sequencer 0 (or a stream until
// Ctrl-C), through a callback, to a per-channel summary and optional CSV, .npy or raw binary
// files. Rates here are samples per second per channel; only the call to ADC_SetRate takes the
// library's conversions per second over all channels.
#include <halvex/halvex.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Arguments.h"
#include "Boards.h"
#include "Command.h"
#include "InputRanges.h"
#include "Recorder.h"
#include "Simulator.h"
#include "Terminal.h"

namespace hxcli {
namespace {

// About this many chunks a second, so the last one never keeps a short run waiting long.
constexpr double kChunksPerSecond = 10.0;
constexpr uint64_t kMaxChunkSamples = HX_CHUNK_BYTES_MAX / 4;
// What the writer thread may fall behind by before the callback waits for it.
constexpr std::size_t kQueueBytes = 256u << 20;

// What the callbacks report to, through their context pointer. The callback thread is the
// only writer of `kept`; the main thread polls it.
struct Session {
    Recorder* recorder = nullptr;
    uint64_t wanted = 0;  // samples over all channels
    bool described = false;  // the callback thread's own
    std::atomic<uint64_t> kept{0};
    std::atomic<uint64_t> chunks{0};
    std::mutex mutex;
    std::condition_variable enough;
};

// The run's start, achieved rates and first sample, from the first chunk's own account of itself.
void Describe(Session& s, UINT64 board, DWORD sequencer) {
    s.described = true;
    HX_CHUNK_INFO info{};
    info.Size = sizeof info;
    if (HX_GetChunkInfo(board, sequencer, &info) != 0 || info.ChannelCt == 0) return;
    s.recorder->Describe(UtcOfChunkClock(info.StartedNs), info.ConversionRateHz, info.SampleRateHz,
                         info.FirstSample / info.ChannelCt);
}

// Keeps the first `n` samples of a chunk, no more than the run still wants.
std::vector<Sample> Keep(Session& s, UINT64 board, DWORD sequencer, DWORD n) {
    if (!s.described) Describe(s, board, sequencer);
    s.chunks.fetch_add(1);
    const uint64_t have = s.kept.load();
    return std::vector<Sample>(static_cast<std::size_t>(std::min<uint64_t>(n, s.wanted - have)));
}

void Deliver(Session& s, std::vector<Sample> chunk) {
    if (!chunk.empty()) {
        const uint64_t have = s.kept.load() + chunk.size();
        s.recorder->Push(std::move(chunk));
        s.kept.store(have);
    }
    if (s.kept.load() >= s.wanted) {
        std::lock_guard lock(s.mutex);
        s.enough.notify_all();
    }
}

void WINAPI OnRaw(void* context, UINT64 board, DWORD sequencer, DWORD n, DWORD* words) {
    Session& s = *static_cast<Session*>(context);
    std::vector<Sample> chunk = Keep(s, board, sequencer, n);
    for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i].word = words[i];
    Deliver(s, std::move(chunk));
}

void WINAPI OnCounts(void* context, UINT64 board, DWORD sequencer, DWORD n, WORD* counts, WORD* status, WORD*) {
    Session& s = *static_cast<Session*>(context);
    std::vector<Sample> chunk = Keep(s, board, sequencer, n);
    for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i].word = static_cast<uint32_t>(status[i]) << 16 | counts[i];
    Deliver(s, std::move(chunk));
}

void WINAPI OnVolts(void* context, UINT64 board, DWORD sequencer, DWORD n, double* volts, WORD* status, WORD*) {
    Session& s = *static_cast<Session*>(context);
    std::vector<Sample> chunk = Keep(s, board, sequencer, n);
    for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = {static_cast<uint32_t>(status[i]) << 16, volts[i]};
    Deliver(s, std::move(chunk));
}

// A million conversions a second over the channels, when no --rate is given.
constexpr double kDefaultConversionRate = 1e6;

struct Options {
    std::string board = "1";
    std::optional<double> rate;  // per channel
    uint32_t channels = 1;
    std::vector<std::string> ranges;
    std::string type = "volts";
    std::optional<double> seconds;  // stream; none or 0: until Ctrl-C
    uint64_t samples = 0;   // block: per channel
    uint32_t chunkBytes = 0;  // 0: about ten chunks a second
    std::string csv;
    std::string npy;
    std::string bin;
    bool freeRunning = false;
    bool quiet = false;
};

int Usage(const std::string& message) {
    std::fprintf(stderr, "hxcli: %s\n", message.c_str());
    return kExitUsage;
}

std::string Number(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

std::string LibraryVersion() {
    const DWORD v = HX_GetVersion();
    return std::to_string(v >> 16) + "." + std::to_string(v >> 8 & 0xFF) + "." + std::to_string(v & 0xFF);
}

// What a run is to do, worked out before anything touches the board.
struct Plan {
    UINT64 board = 0;
    SampleType type = SampleType::Volts;
    uint32_t channels = 1;
    double askedRate = 0.0;       // per channel, as given
    double conversionRate = 0.0;  // what the board's divisor gives, over all channels
    double sampleRate = 0.0;      // the same per channel
    bool untilInterrupted = false;  // a stream without --seconds: perChannel and total are 0
    uint64_t perChannel = 0;
    uint64_t total = 0;
    DWORD chunkBytes = 0;
    std::vector<DWORD> ranges;
    std::string rangeNames;  // empty: the ranges already set, read from the samples
    std::vector<std::unique_ptr<SampleFile>> files;
    bool dataOnStdout = false;
};

int MakePlan(const Options& o, bool block, Plan& plan) {
    if (const std::string problem = StreamingBoard()(o.board); !problem.empty()) return Usage("--board: " + problem);
    plan.board = std::stoull(o.board);
    plan.type = o.type == "raw" ? SampleType::Raw : o.type == "counts" ? SampleType::Counts : SampleType::Volts;
    plan.channels = o.channels;
    plan.askedRate = o.rate ? *o.rate : kDefaultConversionRate / o.channels;
    std::string why;
    const std::optional<DWORD> divisor = RateDivisor(plan.board, plan.askedRate, o.channels, why);
    if (!divisor) return Usage("--rate " + Number(plan.askedRate) + ": " + why);
    plan.conversionRate = static_cast<double>(BaseClockOf(plan.board)) / *divisor;
    plan.sampleRate = plan.conversionRate / o.channels;
    if (block) {
        plan.perChannel = o.samples;
    } else if (o.seconds.value_or(0.0) == 0.0) {
        plan.untilInterrupted = true;
    } else {
        const double scans = std::round(*o.seconds * plan.sampleRate);
        if (scans < 1.0)
            return Usage("--seconds " + Number(*o.seconds) + " is less than one scan at " + Number(plan.sampleRate) +
                         " samples per second per channel");
        if (scans > 1e15) return Usage("--seconds " + Number(*o.seconds) + " is too long");
        plan.perChannel = static_cast<uint64_t>(scans);
    }
    plan.total = plan.perChannel * o.channels;
    if (block && plan.total > 0xFFFFFFFFull)
        return Usage("--samples " + std::to_string(o.samples) + ": a block holds at most " +
                     std::to_string(0xFFFFFFFFull / o.channels) + " samples per channel on " +
                     std::to_string(o.channels) + " channels; 'stream --seconds' takes more");
    uint64_t chunkSamples = o.chunkBytes / 4;
    if (o.chunkBytes == 0) {
        chunkSamples = static_cast<uint64_t>(std::llround(plan.conversionRate / kChunksPerSecond));
        if (plan.total != 0) chunkSamples = std::min(chunkSamples, plan.total);
        chunkSamples = std::clamp<uint64_t>(chunkSamples, 1, kMaxChunkSamples);
    }
    plan.chunkBytes = static_cast<DWORD>(chunkSamples * 4);
    if (o.ranges.size() > 8) return Usage("--range: at most 8 ranges, one per channel");
    for (const std::string& text : o.ranges) plan.ranges.push_back(FindInputRange(text)->code);
    // The last range repeats over the remaining channels, as the library sets them.
    for (uint32_t c = 0; c < o.channels && !o.ranges.empty(); ++c) {
        if (c > 0) plan.rangeNames += ',';
        plan.rangeNames += FindInputRange(o.ranges[std::min<std::size_t>(c, o.ranges.size() - 1)])->name;
    }
    if (plan.untilInterrupted && o.npy == "-")
        return Usage("--npy -: a .npy header on standard output cannot be rewritten with the length of a stream "
                     "that runs until Ctrl-C; give --seconds, or write the .npy to a file");
    const std::pair<SampleFile::Format, const std::string*> outputs[] = {
        {SampleFile::Format::Csv, &o.csv}, {SampleFile::Format::Npy, &o.npy}, {SampleFile::Format::Binary, &o.bin}};
    for (const auto& [format, path] : outputs) {
        if (path->empty()) continue;
        if (*path == "-") {
            if (plan.dataOnStdout) return Usage("only one of --csv, --npy and --bin can write to standard output");
            plan.dataOnStdout = true;
        }
        std::string error;
        auto file = SampleFile::Open(format, *path, error);
        if (!file) return Usage(error);
        plan.files.push_back(std::move(file));
    }
    return kExitOk;
}

int Configure(const Options& o, const Plan& plan, Session& session) {
    if (DWORD r = HX_SetChunkSize(plan.board, 0, plan.chunkBytes)) return Fail("HX_SetChunkSize", r);
    // The library's rate is the conversions of all channels together.
    if (DWORD r = ADC_SetRate(plan.board, 0, plan.askedRate * plan.channels)) return Fail("ADC_SetRate", r);
    if (DWORD r = ADC_SetChannelCount(plan.board, 0, o.channels)) return Fail("ADC_SetChannelCount", r);
    if (!plan.ranges.empty()) {
        if (DWORD r = ADC_SetRangeAll(plan.board, 0, static_cast<DWORD>(plan.ranges.size()), plan.ranges.data()))
            return Fail("ADC_SetRangeAll", r);
    }
    DWORD tag = ADC_CALLBACK_VOLTS;
    void* function = reinterpret_cast<void*>(&OnVolts);
    if (plan.type == SampleType::Raw) {
        tag = ADC_CALLBACK_RAW;
        function = reinterpret_cast<void*>(&OnRaw);
    } else if (plan.type == SampleType::Counts) {
        tag = ADC_CALLBACK_COUNTS;
        function = reinterpret_cast<void*>(&OnCounts);
    }
    if (DWORD r = HX_SetCallbackContext(plan.board, 0, tag, function, &session))
        return Fail("HX_SetCallbackContext", r);
    simulator::SetFreeRunning(plan.board, o.freeRunning);
    return kExitOk;
}

void PrintProgress(const Session& s, const Plan& plan, std::chrono::steady_clock::time_point start) {
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto rows = static_cast<unsigned long long>(s.kept.load() / plan.channels);
    if (plan.untilInterrupted) {
        std::fprintf(stderr, "\r%8.1f s  %12llu samples per channel (Ctrl-C ends the run)   ", elapsed, rows);
    } else {
        std::fprintf(stderr, "\r%8.1f s  %12llu of %llu samples per channel   ", elapsed, rows,
                     static_cast<unsigned long long>(plan.perChannel));
    }
    std::fflush(stderr);
}

// Why the wait for the samples ended early: nothing (the count arrived, the run ended by itself or
// is well past its time), a Ctrl-C, or a file that could not be written.
enum class Cut { None, Interrupted, WriteFailed };

Cut AwaitSamples(Session& s, const Plan& plan, bool progress) {
    const auto start = std::chrono::steady_clock::now();
    const double expected = static_cast<double>(plan.perChannel) / plan.sampleRate;
    const auto deadline = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                      std::chrono::duration<double>(expected * 1.5 + 5.0));
    Cut cut = Cut::None;
    std::unique_lock lock(s.mutex);
    while (s.kept.load() < s.wanted) {
        // Short enough that Ctrl-C ends the run at once to a person's eye.
        s.enough.wait_for(lock, std::chrono::milliseconds(100), [&] { return s.kept.load() >= s.wanted; });
        if (Interrupted()) {
            cut = Cut::Interrupted;
            break;
        }
        if (s.recorder->WriteFailed()) {
            cut = Cut::WriteFailed;
            break;
        }
        HX_ACQUIRE_STATUS status{};
        status.Size = sizeof status;
        if (HX_AcquireStatus(plan.board, 0, &status) == 0 && status.RunEnded) break;
        if (!plan.untilInterrupted && std::chrono::steady_clock::now() >= deadline) break;
        if (progress) PrintProgress(s, plan, start);
    }
    if (progress) {
        PrintProgress(s, plan, start);
        std::fputc('\n', stderr);
    }
    return cut;
}

void PrintTable(std::FILE* out, const Recorder& recorder, SampleType type) {
    const bool volts = type == SampleType::Volts;
    std::fprintf(out, "%-8s %12s %14s %14s %14s %10s  (%s)\n", "channel", "samples", "min", "max", "mean",
                 "over-range", volts ? "V" : "counts");
    const std::vector<ChannelStats>& stats = recorder.Stats();
    for (std::size_t c = 0; c < stats.size(); ++c) {
        const ChannelStats& s = stats[c];
        if (s.count == 0) {
            std::fprintf(out, "%-8zu %12llu %14s %14s %14s %10llu\n", c, 0ull, "-", "-", "-",
                         static_cast<unsigned long long>(s.overRange));
            continue;
        }
        const double mean = s.sum / static_cast<double>(s.count);
        if (volts) {
            std::fprintf(out, "%-8zu %12llu %14.6f %14.6f %14.6f %10llu\n", c, static_cast<unsigned long long>(s.count),
                         s.min, s.max, mean, static_cast<unsigned long long>(s.overRange));
        } else {
            // Counts are whole numbers; only their mean has a fraction.
            std::fprintf(out, "%-8zu %12llu %14.0f %14.0f %14.3f %10llu\n", c, static_cast<unsigned long long>(s.count),
                         s.min, s.max, mean, static_cast<unsigned long long>(s.overRange));
        }
    }
}

// Puts Ctrl-C back as it was when a run ends, whichever way it ends.
struct InterruptScope {
    InterruptScope() { CatchInterrupt(); }
    ~InterruptScope() { ReleaseInterrupt(); }
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;
};

int Run(const Options& o, bool block) {
    Plan plan;
    if (const int code = MakePlan(o, block, plan); code != kExitOk) return code;
    std::FILE* const report = plan.dataOnStdout ? stderr : stdout;

    Metadata metadata;
    metadata.library = LibraryVersion();
    metadata.board = plan.board;
    BRD_GetDeviceID(plan.board, &metadata.deviceId);
    metadata.conversionRateHz = plan.conversionRate;
    metadata.sampleRateHz = plan.sampleRate;
    metadata.channels = o.channels;
    metadata.ranges = plan.rangeNames;
    metadata.type = plan.type;
    metadata.rows = plan.perChannel;

    // Both outlive this call if the library cannot tell that its last callback has returned.
    auto session = std::make_unique<Session>();
    session->wanted = plan.untilInterrupted ? UINT64_MAX : plan.total;
    if (const int code = Configure(o, plan, *session); code != kExitOk) {
        ADC_SetCallback(plan.board, 0, ADC_CALLBACK_NONE, nullptr);
        return code;
    }
    const simulator::StreamTotals before = simulator::StreamTotalsOf(plan.board);
    metadata.start = UtcNow();
    auto recorder = std::make_unique<Recorder>(metadata, std::move(plan.files), kQueueBytes);
    session->recorder = recorder.get();

    const InterruptScope interruptScope;
    const DWORD started = block ? ADC_AcquireBlock(plan.board, 0, static_cast<DWORD>(plan.total))
                                : ADC_AcquireStream(plan.board, 0);
    if (started != 0) {
        std::string ignored;
        recorder->Finish(ignored);
        ADC_SetCallback(plan.board, 0, ADC_CALLBACK_NONE, nullptr);
        return Fail(block ? "ADC_AcquireBlock" : "ADC_AcquireStream", started);
    }
    const Cut cut = AwaitSamples(*session, plan, !o.quiet && IsTerminal(stderr));
    int result = kExitOk;
    if (DWORD r = ADC_AcquireEnd(plan.board, 0)) result = Fail("ADC_AcquireEnd", r);
    if (DWORD r = HX_AcquireWait(plan.board, 0, 10'000)) {
        // A callback may still come: what it uses stays.
        session.release();
        recorder.release();
        return Fail("HX_AcquireWait", r);
    }
    ADC_SetCallback(plan.board, 0, ADC_CALLBACK_NONE, nullptr);
    HX_ACQUIRE_STATUS status{};
    status.Size = sizeof status;
    HX_AcquireStatus(plan.board, 0, &status);
    const simulator::StreamTotals after = simulator::StreamTotalsOf(plan.board);
    const uint64_t overruns = after.overruns - before.overruns;

    std::string writeError;
    const bool written = recorder->Finish(writeError);
    uint64_t noSample = 0;
    uint64_t overRange = 0;
    for (const ChannelStats& s : recorder->Stats()) {
        noSample += s.noSample;
        overRange += s.overRange;
    }
    PrintTable(report, *recorder, plan.type);
    std::string count = std::to_string(recorder->Rows());
    if (!plan.untilInterrupted) count += " of " + std::to_string(plan.perChannel);
    count += " samples per channel";
    if (cut == Cut::Interrupted) count += " (ended by Ctrl-C)";
    if (cut == Cut::WriteFailed) count += " (ended: a file could not be written)";
    std::fprintf(report,
                 "board %llu: %s, %u channel%s at %s samples/s per channel (%s conversions/s), %llu chunk%s of %u "
                 "bytes; overrun %llu, failed transfers %u, short transfers %u, no-sample words %llu, over range "
                 "%llu\n",
                 static_cast<unsigned long long>(plan.board), count.c_str(), static_cast<unsigned>(o.channels),
                 o.channels == 1 ? "" : "s", Number(plan.sampleRate).c_str(), Number(plan.conversionRate).c_str(),
                 static_cast<unsigned long long>(session->chunks.load()), session->chunks.load() == 1 ? "" : "s",
                 static_cast<unsigned>(plan.chunkBytes),
                 static_cast<unsigned long long>(overruns), static_cast<unsigned>(status.FailedTransfers),
                 static_cast<unsigned>(status.ShortTransfers), static_cast<unsigned long long>(noSample),
                 static_cast<unsigned long long>(overRange));
    std::fflush(report);

    if (result != kExitOk) return result;
    if (status.FailedTransfers != 0) {
        std::fprintf(stderr, "hxcli: a transfer failed: %u (%s)\n", static_cast<unsigned>(status.LastFailure),
                     ErrorName(status.LastFailure).c_str());
        result = kExitIncomplete;
    }
    if (status.ShortTransfers != 0) {
        // A short transfer delivers only what arrived; on a board, the part it did not carry may
        // never come, so the run does not count as whole.
        std::fprintf(stderr, "hxcli: %u transfer%s came back short, with fewer bytes than a chunk holds\n",
                     static_cast<unsigned>(status.ShortTransfers), status.ShortTransfers == 1 ? "" : "s");
        result = kExitIncomplete;
    }
    // A run cut short on purpose, or by its own file, is not missing samples the board owed it.
    if (cut == Cut::None && recorder->Rows() < plan.perChannel) {
        std::fprintf(stderr, "hxcli: only %llu of %llu samples per channel arrived\n",
                     static_cast<unsigned long long>(recorder->Rows()), static_cast<unsigned long long>(plan.perChannel));
        result = kExitIncomplete;
    }
    if (overruns != 0) {
        std::fprintf(stderr, "hxcli: %llu samples were lost to a full board FIFO (overrun)\n",
                     static_cast<unsigned long long>(overruns));
        result = kExitIncomplete;
    }
    if (noSample != 0) {
        std::fprintf(stderr, "hxcli: %llu words came without a sample\n", static_cast<unsigned long long>(noSample));
        result = kExitIncomplete;
    }
    if (!written) {
        std::fprintf(stderr, "hxcli: %s%s\n", writeError.c_str(),
                     cut == Cut::WriteFailed ? "; the run was ended there" : "");
        if (result == kExitOk) result = kExitOutput;
    }
    if (cut == Cut::Interrupted && result == kExitOk) result = kExitInterrupted;
    return result;
}

void AddCommon(CLI::App* cmd, Options& o) {
    cmd->add_option("-b,--board", o.board, "Board index (default 1); only boards with 32-bit start/stop registers "
                                           "stream")
        ->check(StreamingBoard());
    cmd->add_option("-r,--rate", o.rate,
                    "Samples per second per channel (default: 1000000 / channels, a million conversions a second "
                    "in all). The board converts at rate x channels, rounded by its clock divisor; the summary and "
                    "the files give the rate obtained, per channel (sample_rate_hz) and in all "
                    "(conversion_rate_hz)")
        ->check(PositiveNumber());
    cmd->add_option("-n,--channels", o.channels, "Channels per scan, 1-8 (default 1)")
        ->check(WholeNumber(1, 8, "channel count"));
    cmd->add_option("--range", o.ranges, "Range per channel: " + InputRangeRule() + "; the last repeats; "
                                           "default: the ranges already set")
        ->check(InputRangeArgument(false));
    cmd->add_option("-t,--type", o.type, "Samples as volts, counts or raw packed words (default volts)")
        ->check(CLI::IsMember({"raw", "counts", "volts"}));
    cmd->add_option("--chunk", o.chunkBytes,
                    "Bytes per transfer, a multiple of 4 up to 64 MiB (default: about ten chunks a second)")
        ->check(ChunkBytes());
    cmd->add_option("--csv", o.csv, "Write the samples as CSV: '# key: value' metadata lines (start, sample_rate_hz, "
                                    "conversion_rate_hz, first_sample, ...), then time_s,ch0,ch1,... with the time "
                                    "since the run started (- for standard output)");
    cmd->add_option("--npy", o.npy, "Write the samples as a NumPy .npy array of shape (samples, channels): <f8 volts, "
                                    "<i4 counts or <u4 raw words, and the metadata as JSON in FILE.json (- for "
                                    "standard output, without metadata)");
    cmd->add_option("--bin", o.bin, "Write the samples as raw little-endian binary, as in the .npy data, and the "
                                    "metadata as JSON in FILE.json (- for standard output, without metadata)");
    cmd->add_flag("--free-running", o.freeRunning, "Simulated boards: fill transfers as fast as memory allows");
    cmd->add_flag("-q,--quiet", o.quiet, "No progress line, even on a terminal");
}

constexpr const char* kExitNote =
    " Ctrl-C ends the run: the files are finished with what arrived (a .npy header counts the rows it holds), the "
    "summary is printed, and the exit code is 130. Exit code 4 when samples were lost or missing (overrun, failed "
    "or short transfer, fewer than asked), 5 when an output file could not be written (which ends the run).";

}  // namespace

Command AddStreamCommand(CLI::App& app) {
    auto options = std::make_shared<Options>();
    CLI::App* cmd = app.add_subcommand(
        "stream", std::string("Stream sequencer 0 for a number of seconds, exactly rate x seconds samples per "
                              "channel, or until Ctrl-C; then summarize.") + kExitNote);
    AddCommon(cmd, *options);
    cmd->add_option("-s,--seconds", options->seconds, "How long to stream; without it, or 0, until Ctrl-C")
        ->check(PositiveNumber(true));
    return {cmd, [options] { return Run(*options, false); }};
}

Command AddBlockCommand(CLI::App& app) {
    auto options = std::make_shared<Options>();
    CLI::App* cmd = app.add_subcommand(
        "block", std::string("Acquire a block of exactly --samples samples per channel, then summarize.") + kExitNote);
    AddCommon(cmd, *options);
    cmd->add_option("-c,--samples", options->samples, "Samples per channel")
        ->required()
        ->check(WholeNumber(1, 0xFFFFFFFFull, "sample count"));
    return {cmd, [options] { return Run(*options, true); }};
}

}  // namespace hxcli
