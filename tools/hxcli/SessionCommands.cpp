// hxcli run: several commands in one library session.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

#include "Command.h"
#include "Terminal.h"

namespace hxcli {
namespace {

// Commands that run in one process share one library session: an output set by one is still
// set for the next, and the simulated boards keep their state. Options do not carry over: each
// line is parsed into a command tree of its own.
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
        // Ctrl-C ended a run: the person wants the session to stop, --keep-going or not.
        if (Interrupted()) {
            std::fprintf(stderr, "hxcli: line %u ended by Ctrl-C; the lines after it do not run\n", number);
            return code;
        }
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

int Run(const RunArgs& args) {
    if (args.file == "-") return RunScript(std::cin, args.keepGoing, args.echo);
    std::ifstream file(args.file);
    if (!file) {
        std::fprintf(stderr, "hxcli: cannot open '%s'\n", args.file.c_str());
        return kExitUsage;
    }
    return RunScript(file, args.keepGoing, args.echo);
}

}  // namespace

Command AddRunCommand(CLI::App& app) {
    auto args = std::make_shared<RunArgs>();
    auto* cmd = app.add_subcommand(
        "run",
        "Run hxcli commands from a file (or standard input), one per line, in one library session: what one "
        "command sets (outputs, ranges, simulated sources) is still set for the next. Lines starting with # are "
        "comments. Stops at the first command that fails unless --keep-going, and after a run ended by Ctrl-C.");
    cmd->add_option("file", args->file, "Command file; - for standard input")->default_val("-");
    cmd->add_flag("-k,--keep-going", args->keepGoing, "Run every line; exit with the first failure's code");
    cmd->add_flag("-e,--echo", args->echo, "Print each command before its output");
    return {cmd, [args] { return Run(*args); }};
}

}  // namespace hxcli
