// hxcli: the Halvex command line, over the library's public API only.
#include <halvex/halvex.h>

#include <cstdio>
#include <string>

#include "Command.h"
#include "Simulator.h"

namespace hxcli {

std::string ErrorName(DWORD code) {
    const std::string name = HX_ErrorName(code);
    return name == "UNKNOWN" ? "driver error" : name;
}

int Fail(const std::string& what, DWORD code) {
    std::fprintf(stderr, "hxcli: %s failed: %u (%s: %s)\n", what.c_str(), static_cast<unsigned>(code),
                 ErrorName(code).c_str(), HX_ErrorText(code));
    return kExitFailed;
}

bool ParseU32(const std::string& text, uint32_t& value) {
    try {
        std::size_t used = 0;
        const unsigned long long v = std::stoull(text, &used, 0);
        if (used != text.size() || v > 0xFFFFFFFFull || text.empty() || text[0] == '-') return false;
        value = static_cast<uint32_t>(v);
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace hxcli

namespace hxcli {

namespace {

// Parses `parse` into a fresh command tree and runs the chosen subcommand.
template <typename Parse>
int RunParsed(Parse&& parse) {
    CLI::App app{"hxcli - Halvex data-acquisition boards from the command line." + simulator::HelpNote()};
    app.name("hxcli");
    app.require_subcommand(1);
    app.set_version_flag("--version", "hxcli 0.1");
    const std::vector<Command> commands = AddCommands(app);
    std::string replay;
    bool paced = false;
    app.add_option("--replay", replay, "Answer from a driver recording instead of the boards (simulated boards only)");
    app.add_flag("--paced", paced, "With --replay: complete transfers no sooner than recorded");
    try {
        parse(app);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        // A word where a command belongs is a command hxcli lacks, whatever else is wrong.
        const std::vector<std::string> extra = app.remaining();
        if (app.get_subcommands().empty() && !extra.empty() && !extra.front().empty() && extra.front()[0] != '-') {
            std::fprintf(stderr, "hxcli: no command '%s' (hxcli --help lists them)\n", extra.front().c_str());
        } else {
            app.exit(e);
        }
        return kExitUsage;
    }
    // The library has taken its boards from the variable already; a typo there must not pass
    // for the default boards.
    if (const std::string problem = simulator::BoardsVariableProblem(); !problem.empty()) {
        std::fprintf(stderr, "hxcli: %s\n", problem.c_str());
        return kExitUsage;
    }
    if (!replay.empty()) {
        if (const std::string problem = simulator::StartReplay(replay, paced); !problem.empty()) {
            std::fprintf(stderr, "hxcli: %s\n", problem.c_str());
            return kExitFailed;
        }
    }
    for (const Command& command : commands) {
        if (command.cli->parsed()) {
            try {
                const int code = command.action();
                if (const std::string diverged = simulator::ReplayDivergence(); !replay.empty() && !diverged.empty()) {
                    std::fprintf(stderr, "hxcli: %s\n", diverged.c_str());
                    return kExitFailed;
                }
                return code;
            } catch (const std::exception& e) {
                std::fprintf(stderr, "hxcli: %s\n", e.what());
                return kExitFailed;
            }
        }
    }
    return kExitUsage;
}

}  // namespace

int RunCommandLine(const std::string& line) {
    return RunParsed([&](CLI::App& app) { app.parse(line, false); });
}

}  // namespace hxcli

int main(int argc, char** argv) {
    return hxcli::RunParsed([&](CLI::App& app) { app.parse(argc, argv); });
}
