// hxcli: the Halvex command line, over the library's public API only.
#include <cstdio>
#include <map>

#include "Command.h"
#include "Simulator.h"

namespace hxcli {

std::string ErrorName(DWORD code) {
    static const std::map<DWORD, const char*> names = {
        {0, "ERROR_SUCCESS"},           {12, "ERROR_INVALID_ACCESS"},      {13, "ERROR_INVALID_DATA"},
        {21, "ERROR_NOT_READY"},        {30, "ERROR_READ_FAULT"},          {31, "ERROR_GEN_FAILURE"},
        {38, "ERROR_HANDLE_EOF"},       {50, "ERROR_NOT_SUPPORTED"},       {66, "ERROR_BAD_DEV_TYPE"},
        {67, "ERROR_BAD_NET_NAME"},     {87, "ERROR_INVALID_PARAMETER"},   {170, "ERROR_BUSY"},
        {487, "ERROR_INVALID_ADDRESS"}, {997, "ERROR_IO_PENDING"},         {998, "ERROR_NOACCESS"},
        {1349, "ERROR_BAD_TOKEN_TYPE"}, {1359, "ERROR_INTERNAL_ERROR"},    {1413, "ERROR_INVALID_INDEX"},
        {1426, "ERROR_INVALID_HOOK_FILTER"}, {1427, "ERROR_INVALID_FILTER_PROC"}, {1, "ERROR_INVALID_FUNCTION"},
        {6, "ERROR_INVALID_HANDLE"},    {995, "ERROR_OPERATION_ABORTED"},
    };
    const auto it = names.find(code);
    return it != names.end() ? it->second : "driver error";
}

int Fail(const std::string& what, DWORD code) {
    std::fprintf(stderr, "hxcli: %s failed: %u (%s)\n", what.c_str(), static_cast<unsigned>(code),
                 ErrorName(code).c_str());
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
    try {
        parse(app);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }
    for (const Command& command : commands) {
        if (command.cli->parsed()) {
            try {
                return command.action();
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
