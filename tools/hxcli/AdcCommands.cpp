// hxcli scan, read, config, rate: analog-input configuration and immediate reads.
#include <halvex/halvex.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Arguments.h"
#include "Boards.h"
#include "Command.h"
#include "InputRanges.h"

namespace hxcli {
namespace {

const std::string kRangeHelp = "Input range, all bipolar: " + InputRangeRule() + "; or 'keep' for the ranges already set";

// Names resolve to the range tags, so the tag path of the library is what hxcli exercises.
// The parser's check has let only names, volts and 'keep' through.
DWORD RangeArgument(const std::string& text) {
    return text == "keep" ? HALVEX_KEEP_RANGES : FindInputRange(text)->tag;
}

// A packed sample in volts, and whether it lies beyond the range it was converted on.
struct Reading {
    bool present = false;
    double volts = 0.0;
    bool beyond = false;
    const InputRange* range = nullptr;
};

Reading Read(DWORD word) {
    Reading r;
    r.range = InputRangeOfCode(word >> 16 & 7);
    if (word & HALVEX_NO_SAMPLE || r.range == nullptr) return r;
    const auto counts = static_cast<int16_t>(word & 0xFFFF);
    r.present = true;
    r.volts = counts * r.range->voltsPerCount;
    r.beyond = BeyondRange(counts);
    return r;
}

void PrintVolts(DWORD word) {
    const Reading r = Read(word);
    if (!r.present) {
        std::printf(" %10s", "-");
    } else {
        std::printf(" %+10.5f%s", r.volts, r.beyond ? "*" : " ");
    }
}

void PrintRaw(DWORD word) {
    if (word == HALVEX_NO_SAMPLE) {
        std::printf(" %10s", "-");
    } else {
        std::printf(" 0x%08X%s", static_cast<unsigned>(word), Read(word).beyond ? "*" : " ");
    }
}

void PrintHeader(UINT64 board, bool raw) {
    std::printf("Board %llu, immediate scan (%s; in differential mode slots 0-3 are the pairs 0-1, 2-3, 4-5, 6-7):\n",
                static_cast<unsigned long long>(board), raw ? "packed samples" : "volts");
    std::printf("%-9s", "sequencer");
    for (int slot = 0; slot < 8; ++slot) std::printf(" %10s ", ("slot " + std::to_string(slot)).c_str());
    std::printf("\n");
}

struct ScanArgs {
    UINT64 board = 0;
    std::string range = "keep";
    bool raw = false;
};

int Scan(const ScanArgs& args) {
    std::vector<DWORD> scan(16, HALVEX_NO_SAMPLE);
    if (const DWORD r = ADC_GetImmediateScanRaw(args.board, scan.data(), RangeArgument(args.range)); r != 0) {
        return Fail("ADC_GetImmediateScanRaw", r);
    }
    PrintHeader(args.board, args.raw);
    bool beyond = false;
    for (int s = 0; s < 2; ++s) {
        std::printf("%-9d", s);
        for (int slot = 0; slot < 8; ++slot) {
            const DWORD word = scan[8 * s + slot];
            beyond = beyond || Read(word).beyond;
            args.raw ? PrintRaw(word) : PrintVolts(word);
        }
        std::printf("\n");
    }
    std::printf("(- : no sample; boards with register layout 2 scan sequencer 0 only)\n");
    if (beyond) std::printf("(* : beyond its input range)\n");
    return kExitOk;
}

struct ReadArgs {
    UINT64 board = 0;
    DWORD sequencer = 0;
    DWORD channel = 0;
    std::string range = "keep";
    bool raw = false;
};

int ReadOne(const ReadArgs& args) {
    DWORD word = 0;
    if (const DWORD r = ADC_GetImmediateRaw(args.board, args.sequencer, &word, args.channel, RangeArgument(args.range));
        r != 0) {
        // The library's text for 66 speaks of 16-bit registers, which is not why a layout-2 board refuses.
        if (r == ERROR_BAD_DEV_TYPE && args.sequencer == 1 && LayoutOf(args.board).number == 2) {
            std::fprintf(stderr,
                         "hxcli: ADC_GetImmediateRaw failed: 66 (%s): board %llu has register layout 2, whose "
                         "immediate scans convert sequencer 0 only; read sequencer 0\n",
                         ErrorName(r).c_str(), static_cast<unsigned long long>(args.board));
            return kExitFailed;
        }
        return Fail("ADC_GetImmediateRaw", r);
    }
    const Reading reading = Read(word);
    if (args.raw) {
        std::printf("0x%08X", static_cast<unsigned>(word));
    } else if (!reading.present) {
        std::printf("no sample");
    } else {
        std::printf("%+.6f V", reading.volts);
    }
    if (reading.beyond) std::printf("  (beyond the %s range)", reading.range->name.c_str());
    std::printf("\n");
    return kExitOk;
}

struct ConfigArgs {
    UINT64 board = 0;
    DWORD sequencer = 0;
    std::string range;
    std::string channel = "all";
    std::vector<std::string> ranges;
    std::optional<double> rate;            // samples per second per channel
    std::optional<double> conversionRate;  // conversions per second over all channels
    std::string channels;
    bool differential = false;
    bool singleEnded = false;
};

// The conversions per second to give the library, or a refusal naming the argument.
std::optional<double> ConversionRate(const ConfigArgs& args) {
    if (args.conversionRate) {
        std::string why;
        if (*args.conversionRate != 0.0 && !RateDivisor(args.board, *args.conversionRate, 0, why)) {
            std::fprintf(stderr, "hxcli: --conversion-rate %.10g: %s\n", *args.conversionRate, why.c_str());
            return std::nullopt;
        }
        return *args.conversionRate;
    }
    if (*args.rate == 0.0) return 0.0;
    // Per channel means nothing without the count; the library cannot be asked for the one set.
    if (args.channels.empty()) {
        std::fprintf(stderr, "hxcli: --rate %.10g is samples per second per channel: give the channel count with it "
                             "(-n), or the total over all channels with --conversion-rate\n", *args.rate);
        return std::nullopt;
    }
    const unsigned count = args.channels == "all" ? (args.differential ? 4 : 8) : std::stoul(args.channels);
    std::string why;
    if (!RateDivisor(args.board, *args.rate, count, why)) {
        std::fprintf(stderr, "hxcli: --rate %.10g: %s\n", *args.rate, why.c_str());
        return std::nullopt;
    }
    return *args.rate * count;
}

int Config(const ConfigArgs& args) {
    // Everything is checked before the first setting is written.
    std::optional<double> conversions;
    if (args.rate || args.conversionRate) {
        conversions = ConversionRate(args);
        if (!conversions) return kExitUsage;
    }
    if (args.ranges.size() > 8) {
        std::fprintf(stderr, "hxcli: --ranges: at most 8 ranges, one per channel\n");
        return kExitUsage;
    }
    bool did = false;
    if (args.differential || args.singleEnded) {
        const DWORD r = ADC_SetDifferential(args.board, args.differential ? TRUE : FALSE);
        if (r != 0) return Fail("ADC_SetDifferential", r);
        std::printf("Board %llu: inputs %s.\n", static_cast<unsigned long long>(args.board),
                    args.differential ? "differential" : "single-ended");
        did = true;
    }
    if (!args.range.empty()) {
        const DWORD channel = args.channel == "all" ? HALVEX_ALL_CHANNELS : std::stoul(args.channel);
        if (const DWORD r = ADC_SetRange1(args.board, args.sequencer, channel, RangeArgument(args.range)); r != 0) {
            return Fail("ADC_SetRange1", r);
        }
        std::printf("Sequencer %u: range %s on channel %s.\n", static_cast<unsigned>(args.sequencer),
                    args.range.c_str(), args.channel.c_str());
        did = true;
    }
    if (!args.ranges.empty()) {
        std::vector<DWORD> codes;
        for (const std::string& text : args.ranges) codes.push_back(RangeArgument(text));
        const auto count = static_cast<DWORD>(codes.size());
        if (const DWORD r = ADC_SetRangeAll(args.board, args.sequencer, count, codes.data()); r != 0) {
            return Fail("ADC_SetRangeAll", r);
        }
        std::printf("Sequencer %u: ranges of channels 0-7 set from %u entr%s.\n", static_cast<unsigned>(args.sequencer),
                    static_cast<unsigned>(count), count == 1 ? "y" : "ies");
        did = true;
    }
    if (conversions) {
        if (const DWORD r = ADC_SetRate(args.board, args.sequencer, *conversions); r != 0) return Fail("ADC_SetRate", r);
        double hz = 0;
        if (const DWORD r = ADC_GetRate(args.board, args.sequencer, &hz); r != 0) return Fail("ADC_GetRate", r);
        if (hz == 0.0) {
            std::printf("Sequencer %u: clock stopped.\n", static_cast<unsigned>(args.sequencer));
        } else if (args.rate) {
            const double count = *conversions / *args.rate;
            std::printf("Sequencer %u: %.10g samples/s per channel on %.0f channel%s (%.10g conversions/s; asked for "
                        "%.10g per channel).\n",
                        static_cast<unsigned>(args.sequencer), hz / count, count, count == 1 ? "" : "s", hz,
                        *args.rate);
        } else {
            std::printf("Sequencer %u: %.10g conversions/s over its channels (asked for %.10g).\n",
                        static_cast<unsigned>(args.sequencer), hz, *conversions);
        }
        did = true;
    }
    if (!args.channels.empty()) {
        const DWORD count = args.channels == "all" ? HALVEX_ALL_CHANNELS : std::stoul(args.channels);
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
            std::printf("Sequencer %u: %.10g conversions/s over its channels (per channel: divided by the channel "
                        "count)\n", static_cast<unsigned>(sequencer), hz);
        }
    }
    return kExitOk;
}

}  // namespace

Command AddScanCommand(CLI::App& app) {
    auto* cmd = app.add_subcommand("scan", "Convert every input of a board once (both sequencers) and print the "
                                           "results in volts, or as packed samples with --raw.");
    auto args = std::make_shared<ScanArgs>();
    cmd->add_option("board", args->board, "Board index")->required()->check(BoardIndex());
    cmd->add_option("-r,--range", args->range,
                    kRangeHelp + ". A range other than 'keep' stays set on every channel of both sequencers.")
        ->default_val("keep")
        ->check(InputRangeArgument(true));
    cmd->add_flag("--raw", args->raw, "Print packed samples (hex) instead of volts");
    return {cmd, [args] { return Scan(*args); }};
}

Command AddReadCommand(CLI::App& app) {
    auto* cmd = app.add_subcommand("read", "Read one input at once (the board converts a whole scan). In "
                                           "differential mode, slot k is the pair at channels 2k and 2k+1.");
    auto args = std::make_shared<ReadArgs>();
    cmd->add_option("board", args->board, "Board index")->required()->check(BoardIndex());
    cmd->add_option("sequencer", args->sequencer, "Sequencer: 0 or 1")->required()->check(WholeNumber(0, 1, "sequencer"));
    cmd->add_option("slot", args->channel, "Channel (slot) 0-7")->required()->check(WholeNumber(0, 7, "slot"));
    cmd->add_option("-r,--range", args->range, kRangeHelp)->default_val("keep")->check(InputRangeArgument(true));
    cmd->add_flag("--raw", args->raw, "Print the packed sample (hex) instead of volts");
    return {cmd, [args] { return ReadOne(*args); }};
}

Command AddConfigCommand(CLI::App& app) {
    auto* cmd = app.add_subcommand(
        "config", "Configure the analog inputs of a sequencer: ranges, rate, channel count; and the "
                  "input mode of the whole board. Settings are applied in the order mode, range, ranges, rate, "
                  "channel count. A sequencer that acquires refuses every change.");
    auto args = std::make_shared<ConfigArgs>();
    cmd->add_option("board", args->board, "Board index")->required()->check(BoardIndex());
    cmd->add_option("-s,--sequencer", args->sequencer, "Sequencer: 0 or 1")
        ->default_val(0)
        ->check(WholeNumber(0, 1, "sequencer"));
    cmd->add_option("-r,--range", args->range, kRangeHelp + "; sets --channel")->check(InputRangeArgument(true));
    cmd->add_option("-c,--channel", args->channel, "Channel --range applies to: 0-7 or all")
        ->default_val("all")
        ->check(CLI::IsMember({"all"}) | WholeNumber(0, 7, "channel"));
    cmd->add_option("--ranges", args->ranges,
                    "Ranges of channels 0, 1, ... in order (up to 8; the last repeats over the rest; 'keep' keeps "
                    "a channel)")
        ->delimiter(',')
        ->check(InputRangeArgument(true));
    auto* rate = cmd->add_option("--rate", args->rate,
                                 "Samples per second per channel, with the channel count (-n) in the same command: "
                                 "the board converts at rate x channels, which its divisor rounds (0 stops the "
                                 "clock)")
                     ->check(PositiveNumber(true));
    cmd->add_option("--conversion-rate", args->conversionRate,
                    "Conversions per second over all channels, as the library's ADC_SetRate takes it (0 stops the "
                    "clock)")
        ->check(PositiveNumber(true))
        ->excludes(rate);
    cmd->add_option("-n,--channels", args->channels, "Channels a scan covers: 1-8 (1-4 differential) or all")
        ->check(CLI::IsMember({"all"}) | WholeNumber(1, 8, "channel count"));
    auto* diff = cmd->add_flag("-d,--differential", args->differential, "Both sequencers: differential inputs");
    auto* single = cmd->add_flag("-e,--single-ended", args->singleEnded, "Both sequencers: single-ended inputs");
    diff->excludes(single);
    return {cmd, [args] { return Config(*args); }};
}

Command AddRateCommand(CLI::App& app) {
    auto* cmd = app.add_subcommand("rate", "Print the conversion rate of a sequencer (of both without one): conversions "
                                           "per second over all its channels.");
    auto args = std::make_shared<RateArgs>();
    cmd->add_option("board", args->board, "Board index")->required()->check(BoardIndex());
    cmd->add_option("sequencer", args->sequencer, "Sequencer: 0 or 1")->check(WholeNumber(0, 1, "sequencer"));
    return {cmd, [args] { return Rate(*args); }};
}

}  // namespace hxcli
