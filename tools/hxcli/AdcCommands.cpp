// hxcli scan, read, config, rate: analog-input configuration and immediate reads.
#include <halvex/halvex.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Command.h"
#include "InputRanges.h"

namespace hxcli {
namespace {

constexpr const char* kRangeHelp =
    "Input range: 12V, 5V, 2.5V, 1.25V, 0.625V, 0.3125V or 10V (all bipolar), a range code 0-5 or 7, a "
    "four-byte range tag in 0x-hex, or 'keep' for the ranges already set";

bool ParseRange(const std::string& text, DWORD& range) {
    if (text == "keep") {
        range = HALVEX_KEEP_RANGES;
        return true;
    }
    // Names resolve to the range tags, so the tag path of the library is what hxcli exercises.
    for (const InputRange& r : kInputRanges) {
        if (text == r.name) {
            range = r.tag;
            return true;
        }
    }
    uint32_t value = 0;
    if (!ParseU32(text, value)) return false;
    range = value;  // the library judges codes and tags
    return true;
}

int BadRange(const std::string& text) {
    std::fprintf(stderr, "hxcli: bad range '%s' (use 12V, 5V, 2.5V, 1.25V, 0.625V, 0.3125V, 10V, 0-5, 7 or keep)\n",
                 text.c_str());
    return kExitUsage;
}

void PrintVolts(double v) {
    if (std::isnan(v)) {
        std::printf(" %10s", "-");
    } else {
        std::printf(" %+10.5f", v);
    }
}

void PrintRaw(DWORD word) {
    if (word == HALVEX_NO_SAMPLE) {
        std::printf(" %10s", "-");
    } else {
        std::printf(" 0x%08X", static_cast<unsigned>(word));
    }
}

void PrintHeader(UINT64 board, bool raw) {
    std::printf("Board %llu, immediate scan (%s; in differential mode slots 0-3 are the pairs 0-1, 2-3, 4-5, 6-7):\n",
                static_cast<unsigned long long>(board), raw ? "packed samples" : "volts");
    std::printf("%-9s", "sequencer");
    for (int slot = 0; slot < 8; ++slot) std::printf(" %10s", ("slot " + std::to_string(slot)).c_str());
    std::printf("\n");
}

struct ScanArgs {
    UINT64 board = 0;
    std::string range = "keep";
    bool raw = false;
};

int Scan(const ScanArgs& args) {
    DWORD range = 0;
    if (!ParseRange(args.range, range)) return BadRange(args.range);
    if (args.raw) {
        std::vector<DWORD> scan(16, HALVEX_NO_SAMPLE);
        if (const DWORD r = ADC_GetImmediateScanRaw(args.board, scan.data(), range); r != 0) {
            return Fail("ADC_GetImmediateScanRaw", r);
        }
        PrintHeader(args.board, true);
        for (int s = 0; s < 2; ++s) {
            std::printf("%-9d", s);
            for (int slot = 0; slot < 8; ++slot) PrintRaw(scan[8 * s + slot]);
            std::printf("\n");
        }
    } else {
        std::vector<double> volts(16, std::nan(""));
        if (const DWORD r = ADC_GetImmediateScanV(args.board, volts.data(), range); r != 0) {
            return Fail("ADC_GetImmediateScanV", r);
        }
        PrintHeader(args.board, false);
        for (int s = 0; s < 2; ++s) {
            std::printf("%-9d", s);
            for (int slot = 0; slot < 8; ++slot) PrintVolts(volts[8 * s + slot]);
            std::printf("\n");
        }
    }
    std::printf("(- : no sample; boards with register layout 2 scan sequencer 0 only)\n");
    return kExitOk;
}

struct ReadArgs {
    UINT64 board = 0;
    DWORD sequencer = 0;
    DWORD channel = 0;
    std::string range = "keep";
    bool raw = false;
};

int Read(const ReadArgs& args) {
    DWORD range = 0;
    if (!ParseRange(args.range, range)) return BadRange(args.range);
    if (args.raw) {
        DWORD word = 0;
        if (const DWORD r = ADC_GetImmediateRaw(args.board, args.sequencer, &word, args.channel, range); r != 0) {
            return Fail("ADC_GetImmediateRaw", r);
        }
        std::printf("0x%08X\n", static_cast<unsigned>(word));
        return kExitOk;
    }
    double volts = 0;
    if (const DWORD r = ADC_GetImmediateV(args.board, args.sequencer, &volts, args.channel, range); r != 0) {
        return Fail("ADC_GetImmediateV", r);
    }
    if (std::isnan(volts)) {
        std::printf("no sample\n");
    } else {
        std::printf("%+.6f V\n", volts);
    }
    return kExitOk;
}

struct ConfigArgs {
    UINT64 board = 0;
    DWORD sequencer = 0;
    std::string range;
    std::string channel = "all";
    std::vector<std::string> ranges;
    std::optional<double> rate;
    std::string channels;
    bool differential = false;
    bool singleEnded = false;
};

int Config(const ConfigArgs& args) {
    bool did = false;
    if (args.differential || args.singleEnded) {
        const DWORD r = ADC_SetDifferential(args.board, args.differential ? TRUE : FALSE);
        if (r != 0) return Fail("ADC_SetDifferential", r);
        std::printf("Board %llu: inputs %s.\n", static_cast<unsigned long long>(args.board),
                    args.differential ? "differential" : "single-ended");
        did = true;
    }
    if (!args.range.empty()) {
        DWORD range = 0;
        if (!ParseRange(args.range, range)) return BadRange(args.range);
        uint32_t channel = HALVEX_ALL_CHANNELS;
        if (args.channel != "all" && !ParseU32(args.channel, channel)) {
            std::fprintf(stderr, "hxcli: bad channel '%s' (0-7 or all)\n", args.channel.c_str());
            return kExitUsage;
        }
        if (const DWORD r = ADC_SetRange1(args.board, args.sequencer, channel, range); r != 0) {
            return Fail("ADC_SetRange1", r);
        }
        std::printf("Sequencer %u: range %s on channel %s.\n", static_cast<unsigned>(args.sequencer),
                    args.range.c_str(), args.channel.c_str());
        did = true;
    }
    if (!args.ranges.empty()) {
        std::vector<DWORD> codes;
        for (const std::string& text : args.ranges) {
            DWORD range = 0;
            if (!ParseRange(text, range)) return BadRange(text);
            codes.push_back(range);
        }
        const auto count = static_cast<DWORD>(codes.size());
        if (const DWORD r = ADC_SetRangeAll(args.board, args.sequencer, count, codes.data()); r != 0) {
            return Fail("ADC_SetRangeAll", r);
        }
        std::printf("Sequencer %u: ranges of channels 0-7 set from %u entr%s.\n", static_cast<unsigned>(args.sequencer),
                    static_cast<unsigned>(count), count == 1 ? "y" : "ies");
        did = true;
    }
    if (args.rate) {
        if (const DWORD r = ADC_SetRate(args.board, args.sequencer, *args.rate); r != 0) return Fail("ADC_SetRate", r);
        double hz = 0;
        if (const DWORD r = ADC_GetRate(args.board, args.sequencer, &hz); r != 0) return Fail("ADC_GetRate", r);
        std::printf("Sequencer %u: rate %.3f Hz (asked for %.3f Hz).\n", static_cast<unsigned>(args.sequencer), hz,
                    *args.rate);
        did = true;
    }
    if (!args.channels.empty()) {
        uint32_t count = HALVEX_ALL_CHANNELS;
        if (args.channels != "all" && !ParseU32(args.channels, count)) {
            std::fprintf(stderr, "hxcli: bad channel count '%s' (1-8, 1-4 in differential mode, or all)\n",
                         args.channels.c_str());
            return kExitUsage;
        }
        if (const DWORD r = ADC_SetChannelCount(args.board, args.sequencer, count); r != 0) {
            return Fail("ADC_SetChannelCount", r);
        }
        std::printf("Sequencer %u: %s channels a scan.\n", static_cast<unsigned>(args.sequencer),
                    args.channels.c_str());
        did = true;
    }
    if (!did) {
        std::fprintf(stderr, "hxcli: config needs at least one setting (see hxcli config --help)\n");
        return kExitUsage;
    }
    return kExitOk;
}

struct RateArgs {
    UINT64 board = 0;
    std::optional<DWORD> sequencer;
};

int Rate(const RateArgs& args) {
    std::vector<DWORD> sequencers{0, 1};
    if (args.sequencer) sequencers = {*args.sequencer};
    for (const DWORD sequencer : sequencers) {
        double hz = 0;
        if (const DWORD r = ADC_GetRate(args.board, sequencer, &hz); r != 0) return Fail("ADC_GetRate", r);
        if (hz == 0.0) {
            std::printf("Sequencer %u: clock stopped\n", static_cast<unsigned>(sequencer));
        } else {
            std::printf("Sequencer %u: %.3f Hz\n", static_cast<unsigned>(sequencer), hz);
        }
    }
    return kExitOk;
}

}  // namespace

Command AddScanCommand(CLI::App& app) {
    auto* cmd = app.add_subcommand("scan", "Convert every input of a board once (both sequencers) and print the "
                                           "results in volts, or as packed samples with --raw.");
    auto args = std::make_shared<ScanArgs>();
    cmd->add_option("board", args->board, "Board index")->required();
    cmd->add_option("-r,--range", args->range,
                    std::string(kRangeHelp) + ". A range other than 'keep' stays set on every channel of both "
                                              "sequencers.")
        ->default_val("keep");
    cmd->add_flag("--raw", args->raw, "Print packed samples (hex) instead of volts");
    return {cmd, [args] { return Scan(*args); }};
}

Command AddReadCommand(CLI::App& app) {
    auto* cmd = app.add_subcommand("read", "Read one input at once (the board converts a whole scan). In "
                                           "differential mode, slot k is the pair at channels 2k and 2k+1.");
    auto args = std::make_shared<ReadArgs>();
    cmd->add_option("board", args->board, "Board index")->required();
    cmd->add_option("sequencer", args->sequencer, "Sequencer: 0 or 1")->required();
    cmd->add_option("slot", args->channel, "Channel (slot) 0-7")->required();
    cmd->add_option("-r,--range", args->range, kRangeHelp)->default_val("keep");
    cmd->add_flag("--raw", args->raw, "Print the packed sample (hex) instead of volts");
    return {cmd, [args] { return Read(*args); }};
}

Command AddConfigCommand(CLI::App& app) {
    auto* cmd = app.add_subcommand(
        "config", "Configure the analog inputs of a sequencer: ranges, conversion rate, channel count; and the "
                  "input mode of the whole board. Settings are applied in the order mode, range, ranges, rate, "
                  "channel count. A sequencer that acquires refuses every change.");
    auto args = std::make_shared<ConfigArgs>();
    cmd->add_option("board", args->board, "Board index")->required();
    cmd->add_option("-s,--sequencer", args->sequencer, "Sequencer: 0 or 1")->default_val(0);
    cmd->add_option("-r,--range", args->range, std::string(kRangeHelp) + "; sets --channel");
    cmd->add_option("-c,--channel", args->channel, "Channel --range applies to: 0-7 or all")->default_val("all");
    cmd->add_option("--ranges", args->ranges,
                    "Ranges of channels 0, 1, ... in order (up to 8; the last repeats over the rest; 'keep' keeps "
                    "a channel)")
        ->delimiter(',');
    cmd->add_option("--rate", args->rate, "Conversion rate in Hz (0 stops the clock)");
    cmd->add_option("-n,--channels", args->channels, "Channels a scan covers: 1-8 (1-4 differential) or all");
    auto* diff = cmd->add_flag("-d,--differential", args->differential, "Both sequencers: differential inputs");
    auto* single = cmd->add_flag("-e,--single-ended", args->singleEnded, "Both sequencers: single-ended inputs");
    diff->excludes(single);
    return {cmd, [args] { return Config(*args); }};
}

Command AddRateCommand(CLI::App& app) {
    auto* cmd = app.add_subcommand("rate", "Print the conversion rate of a sequencer (of both without one).");
    auto args = std::make_shared<RateArgs>();
    cmd->add_option("board", args->board, "Board index")->required();
    cmd->add_option("sequencer", args->sequencer, "Sequencer: 0 or 1");
    return {cmd, [args] { return Rate(*args); }};
}

}  // namespace hxcli
