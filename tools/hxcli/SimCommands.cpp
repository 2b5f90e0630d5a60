// hxcli bus and source, and every other question hxcli puts to the simulated boards.
#include <halvex/halvex.h>
#include <halvex/sim.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "Arguments.h"
#include "Command.h"
#include "Simulator.h"

namespace hxcli {

namespace simulator {

namespace {

bool IsSimulated(UINT64 board) { return board < halvex::sim::BoardCount(); }

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

std::string BoardsVariableProblem() {
    const char* const value = std::getenv("HALVEX_SIM_BOARDS");
    if (value == nullptr || Trim(value).empty()) return {};
    const std::optional<std::string> bad = halvex::sim::BadBoardListEntry(value);
    if (!bad) return {};
    return "HALVEX_SIM_BOARDS: bad entry '" + *bad +
           "' (each is a hexadecimal identifier, optionally with :fw=<hex> and :clock=<Hz>, e.g. "
           "\"805C,80E8:fw=00010002\"); the library took the default boards instead";
}

std::string StartReplay(const std::string& path, bool paced) {
    const DWORD result = halvex::sim::Replay(path, {paced});
    if (result != 0) {
        const halvex::sim::ReplayStatus status = halvex::sim::GetReplayStatus();
        return status.message.empty() ? "cannot replay " + path + ": error " + std::to_string(result) : status.message;
    }
    HXSIM_LibraryDetach();
    HXSIM_LibraryStart();
    return {};
}

std::string ReplayDivergence() {
    const halvex::sim::ReplayStatus status = halvex::sim::GetReplayStatus();
    return status.state == HXSIM_REPLAY_DIVERGED ? status.message : std::string();
}

std::string HelpNote() {
    return "\nOn Linux the boards are simulated; HALVEX_SIM_BOARDS chooses them (see 'hxcli bus --help').";
}

void SetFreeRunning(UINT64 board, bool freeRunning) {
    if (!IsSimulated(board)) return;
    halvex::sim::SetDmaPacing(static_cast<std::size_t>(board), freeRunning ? halvex::sim::DmaPacing::FreeRunning
                                                                           : halvex::sim::DmaPacing::RealTime);
}

StreamTotals StreamTotalsOf(UINT64 board) {
    if (!IsSimulated(board)) return {};
    const halvex::sim::StreamStatus status = halvex::sim::StreamStatusOf(static_cast<std::size_t>(board));
    return {status.completed, status.overruns};
}

std::optional<OutputLevel> OutputLevelOf(UINT64 board, unsigned channel) {
    if (!IsSimulated(board)) return std::nullopt;
    const auto position = static_cast<std::size_t>(board);
    return OutputLevel{halvex::sim::AnalogOutputRange(position, channel),
                       halvex::sim::AnalogOutputCounts(position, channel),
                       halvex::sim::AnalogOutputVolts(position, channel)};
}

void StartInterruptTimer(UINT64 board, DWORD periodMs) {
    halvex::sim::StartInterruptTimer(static_cast<std::size_t>(board), periodMs);
}

void StopInterruptTimer(UINT64 board) { halvex::sim::StopInterruptTimer(static_cast<std::size_t>(board)); }

}  // namespace simulator

namespace {

int ShowBus() {
    const std::size_t count = halvex::sim::BoardCount();
    std::printf("Simulated bus: %zu board%s\n", count, count == 1 ? "" : "s");
    for (std::size_t i = 0; i < count; ++i) {
        const halvex::sim::BoardSetup setup = halvex::sim::BoardSetupOf(i);
        std::printf("  slot %zu: id %04X, clock %u Hz, firmware %08X\n", i, static_cast<unsigned>(setup.deviceId),
                    static_cast<unsigned>(setup.baseClock), static_cast<unsigned>(setup.firmware));
    }
    return kExitOk;
}

struct SourceArgs {
    std::size_t board = 0;
    unsigned sequencer = 0;
    unsigned channel = 0;
    std::string kind;
    double volts = 0.0;
    double amplitude = 1.0;
    double hertz = 10.0;
    unsigned output = 0;
};

int SetSource(const SourceArgs& args) {
    using halvex::sim::InputSourceKind;
    static const std::map<std::string, InputSourceKind> kinds = {
        {"constant", InputSourceKind::Constant}, {"sine", InputSourceKind::Sine},
        {"square", InputSourceKind::Square},     {"ramp", InputSourceKind::Ramp},
        {"noise", InputSourceKind::Noise},       {"loopback", InputSourceKind::AnalogOutput}};
    if (args.board >= halvex::sim::BoardCount()) {
        std::fprintf(stderr, "hxcli: no simulated board at position %zu\n", args.board);
        return kExitUsage;
    }
    halvex::sim::InputSource source;
    source.kind = kinds.at(args.kind);
    source.volts = args.volts;
    source.amplitude = args.amplitude;
    source.hertz = args.hertz;
    source.output = args.output;
    halvex::sim::SetInputSource(args.board, args.sequencer, args.channel, source);
    return kExitOk;
}

struct FailArgs {
    std::size_t board = 0;
    int count = 1;
    DWORD error = ERROR_GEN_FAILURE;
    std::optional<DWORD> shortBytes;  // set: the transfers come back short instead of failing
};

int FailTransfers(const FailArgs& args) {
    halvex::sim::Failure failure;
    failure.kind = args.shortBytes ? halvex::sim::FailKind::Short : halvex::sim::FailKind::Now;
    failure.lastError = args.error;
    failure.bytes = args.shortBytes.value_or(0);
    failure.count = args.count;
    halvex::sim::FailRequests(args.board, halvex::sim::kIoctlDmaPiongIn, failure);
    const std::string which = args.count < 0    ? "every DMA transfer"
                              : args.count == 1 ? "the next DMA transfer"
                                                : "the next " + std::to_string(args.count) + " DMA transfers";
    if (args.count == 0) {
        std::printf("Simulated board %zu: DMA transfers succeed again.\n", args.board);
    } else if (args.shortBytes) {
        std::printf("Simulated board %zu: %s will come back short, with %u bytes.\n", args.board, which.c_str(),
                    static_cast<unsigned>(*args.shortBytes));
    } else {
        std::printf("Simulated board %zu: %s will fail with %u (%s).\n", args.board, which.c_str(),
                    static_cast<unsigned>(args.error), ErrorName(args.error).c_str());
    }
    return kExitOk;
}

}  // namespace

Command AddBusCommand(CLI::App& app) {
    auto* cmd = app.add_subcommand(
        "bus", "Show the simulated bus behind the library. HALVEX_SIM_BOARDS chooses its boards: a comma-separated "
               "list of hexadecimal identifiers, each optionally with :fw=<hex> (firmware word, register 104) and "
               ":clock=<Hz>, e.g. \"805C,80E8:fw=00010002,0C40\".");
    return {cmd, ShowBus};
}

Command AddSourceCommand(CLI::App& app) {
    auto args = std::make_shared<SourceArgs>();
    auto* cmd = app.add_subcommand(
        "source",
        "Choose what feeds a simulated analog input: constant, sine, square, ramp, noise, or loopback (the "
        "board's analog output --output). Lasts for this process: combine it with other commands in 'hxcli run'.");
    cmd->add_option("board", args->board, "Board position on the simulated bus (as 'hxcli bus' shows)")
        ->required()
        ->check(BoardIndex());
    cmd->add_option("sequencer", args->sequencer, "Sequencer: 0 or 1")->required()->check(WholeNumber(0, 1, "sequencer"));
    cmd->add_option("channel", args->channel, "Channel 0-7")->required()->check(WholeNumber(0, 7, "channel"));
    cmd->add_option("kind", args->kind, "constant, sine, square, ramp, noise or loopback")
        ->required()
        ->check(CLI::IsMember({"constant", "sine", "square", "ramp", "noise", "loopback"}));
    cmd->add_option("-v,--volts", args->volts, "Level or offset in volts")->default_val(0.0);
    cmd->add_option("-a,--amplitude", args->amplitude, "Amplitude in volts (sine, square, ramp, noise)")
        ->default_val(1.0);
    cmd->add_option("-f,--hertz", args->hertz, "Frequency in Hz (sine, square, ramp)")->default_val(10.0);
    cmd->add_option("-o,--output", args->output, "Analog output 0-3 a loopback input is wired to")
        ->default_val(0)
        ->check(CLI::Range(0u, 3u));
    return {cmd, [args] { return SetSource(*args); }};
}

}  // namespace hxcli

namespace hxcli {

Command AddFailCommand(CLI::App& app) {
    auto args = std::make_shared<FailArgs>();
    auto* cmd = app.add_subcommand(
        "fail", "Make a simulated board's next DMA transfers fail, or come back short (--short), to see how an "
                "acquisition reports it. Lasts for this process: combine it with 'stream' or 'block' in 'hxcli run'.");
    cmd->add_option("board", args->board, "Board position on the simulated bus (as 'hxcli bus' shows)")
        ->required()
        ->check(BoardIndex());
    cmd->add_option("-c,--count", args->count, "How many transfers fail; -1 every one, 0 none again")
        ->default_val(1)
        ->check(CLI::Range(-1, 1'000'000));
    cmd->add_option("-e,--error", args->error, "The code they fail with (default 31, ERROR_GEN_FAILURE)")
        ->default_val(ERROR_GEN_FAILURE);
    cmd->add_option("--short", args->shortBytes,
                    "Instead of failing, complete with only this many bytes (the stream's next ones) in place of "
                    "a whole chunk")
        ->check(CLI::Range(0u, HX_CHUNK_BYTES_MAX));
    return {cmd, [args] { return FailTransfers(*args); }};
}

}  // namespace hxcli
