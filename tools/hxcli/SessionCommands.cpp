// hxcli run (several commands in one library session) and hxcli source (what feeds a simulated
// input).
#include <halvex/sim.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <string>

#include "Command.h"

namespace hxcli {
namespace {

// Commands that run in one process share one library session: an output set by one is still
// set for the next, and the simulated boards keep their state.
int RunScript(std::istream& in, bool keepGoing, bool echo) {
    std::string line;
    int worst = kExitOk;
    for (unsigned number = 1; std::getline(in, line); ++number) {
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') continue;
        line = line.substr(first);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line.rfind("run", 0) == 0 && (line.size() == 3 || line[3] == ' ')) {
            std::fprintf(stderr, "hxcli: line %u: 'run' cannot be nested\n", number);
            return kExitUsage;
        }
        if (echo) {
            std::printf("\n$ hxcli %s\n", line.c_str());
            std::fflush(stdout);
        }
        const int code = RunCommandLine(line);
        std::fflush(stdout);
        if (code != kExitOk) {
            if (!keepGoing) {
                std::fprintf(stderr, "hxcli: line %u failed (exit %d)\n", number, code);
                return code;
            }
            if (worst == kExitOk) worst = code;
        }
    }
    return worst;
}

struct RunArgs {
    std::string file = "-";
    bool keepGoing = false;
    bool echo = false;
};

const Registration runCommand(90, [](CLI::App& app, Action& action) {
    auto args = std::make_shared<RunArgs>();
    auto* cmd = app.add_subcommand(
        "run",
        "Run hxcli commands from a file (or standard input), one per line, in one library session: what one "
        "command sets (outputs, ranges, simulated sources) is still set for the next. Lines starting with # are "
        "comments. Stops at the first command that fails unless --keep-going.");
    cmd->add_option("file", args->file, "Command file; - for standard input")->default_val("-");
    cmd->add_flag("-k,--keep-going", args->keepGoing, "Run every line; exit with the first failure's code");
    cmd->add_flag("-e,--echo", args->echo, "Print each command before its output");
    action = [args] {
        if (args->file == "-") return RunScript(std::cin, args->keepGoing, args->echo);
        std::ifstream file(args->file);
        if (!file) {
            std::fprintf(stderr, "hxcli: cannot open '%s'\n", args->file.c_str());
            return kExitUsage;
        }
        return RunScript(file, args->keepGoing, args->echo);
    };
});

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

const Registration sourceCommand(91, [](CLI::App& app, Action& action) {
    auto args = std::make_shared<SourceArgs>();
    auto* cmd = app.add_subcommand(
        "source",
        "Choose what feeds a simulated analog input: constant, sine, square, ramp, noise, or loopback (the "
        "board's analog output --output). Lasts for this process: combine it with other commands in 'hxcli run'.");
    cmd->add_option("board", args->board, "Board position on the simulated bus (as 'hxcli bus' shows)")->required();
    cmd->add_option("sequencer", args->sequencer, "Sequencer: 0 or 1")->required()->check(CLI::Range(0u, 1u));
    cmd->add_option("channel", args->channel, "Channel 0-7")->required()->check(CLI::Range(0u, 7u));
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
    action = [args] {
        using halvex::sim::InputSourceKind;
        static const std::map<std::string, InputSourceKind> kinds = {
            {"constant", InputSourceKind::Constant}, {"sine", InputSourceKind::Sine},
            {"square", InputSourceKind::Square},     {"ramp", InputSourceKind::Ramp},
            {"noise", InputSourceKind::Noise},       {"loopback", InputSourceKind::AnalogOutput}};
        if (args->board >= halvex::sim::BoardCount()) {
            std::fprintf(stderr, "hxcli: no simulated board at position %zu\n", args->board);
            return kExitUsage;
        }
        halvex::sim::InputSource source;
        source.kind = kinds.at(args->kind);
        source.volts = args->volts;
        source.amplitude = args->amplitude;
        source.hertz = args->hertz;
        source.output = args->output;
        halvex::sim::SetInputSource(args->board, args->sequencer, args->channel, source);
        return kExitOk;
    };
});

}  // namespace
}  // namespace hxcli
