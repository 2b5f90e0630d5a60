// hxcli dac range, dac out.
#include <halvex/halvex.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Arguments.h"
#include "Command.h"
#include "InputRanges.h"
#include "Simulator.h"

namespace hxcli {
namespace {

// An output range as hxcli names it: "u5" and "0 V .. +5 V", "b2.5" and "-2.5 V .. +2.5 V".
struct OutputRange {
    std::string name;
    std::string text;
    bool unipolar;
    double high;
};

// By code, as the library describes them.
const std::vector<OutputRange>& OutputRanges() {
    static const std::vector<OutputRange> ranges = [] {
        std::vector<OutputRange> found;
        for (DWORD code = 0;; ++code) {
            HX_RANGE_INFO info{};
            info.Size = sizeof info;
            if (HX_GetRangeInfo(HX_RANGE_OUTPUT, code, &info) != 0) break;
            const bool unipolar = info.Low == 0.0;
            const std::string high = VoltsText(info.High);
            found.push_back({(unipolar ? "u" : "b") + high,
                             (unipolar ? "0 V" : "-" + high + " V") + " .. +" + high + " V", unipolar, info.High});
        }
        return found;
    }();
    return ranges;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

bool ParseChannel(const std::string& text, DWORD& channel) {
    if (Lower(text) == "all") {
        channel = HALVEX_ALL_CHANNELS;
        return true;
    }
    uint32_t value = 0;
    if (!ParseU32(text, value) || value > 3) return false;
    channel = value;
    return true;
}

constexpr const char* kRangeRule =
    "0-5V, 0-10V, 5V, 10V or 2.5V (a number is the volts of a bipolar range, the V optional: 5 is -5..+5 V), "
    "u5, u10, b5, b10, b2.5, a range code only as code0-code4, or keep";

// Volts of a range's upper end in `text` ("10", "10V", "+-10v", "±10V"), or none.
std::optional<double> VoltsOf(std::string text) {
    for (const std::string sign : {"+-", "\xC2\xB1"})
        if (text.rfind(sign, 0) == 0) text.erase(0, sign.size());
    if (!text.empty() && text.back() == 'v') text.pop_back();
    double volts = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), volts);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return volts;
}

// As the input ranges: a number is volts, never a code, so "2" (2 V) is refused rather than read
// as code 2 (-5..+5 V). Unipolar ranges are written from 0; codes as "code2". Sets -1 for keep.
bool ParseRange(const std::string& text, DWORD& code) {
    const std::string lower = Lower(text);
    if (lower == "keep") {
        code = HALVEX_KEEP_RANGES;
        return true;
    }
    const std::vector<OutputRange>& ranges = OutputRanges();
    for (DWORD i = 0; i < ranges.size(); ++i) {
        if (lower == ranges[i].name || lower == "code" + std::to_string(i)) {
            code = i;
            return true;
        }
    }
    const bool unipolar = lower.rfind("0-", 0) == 0;
    const std::optional<double> volts = VoltsOf(unipolar ? lower.substr(2) : lower);
    if (!volts) return false;
    for (DWORD i = 0; i < ranges.size(); ++i) {
        if (ranges[i].unipolar == unipolar && ranges[i].high == *volts) {
            code = i;
            return true;
        }
    }
    return false;
}

std::string ChannelText(DWORD channel) {
    return channel == HALVEX_ALL_CHANNELS ? std::string("all channels") : "channel " + std::to_string(channel);
}

struct RangeArgs {
    UINT64 board = 0;
    std::string channel;
    std::string ranges;
};

int SetRange(const RangeArgs& args) {
    DWORD channel = 0;
    if (!ParseChannel(args.channel, channel)) {
        std::fprintf(stderr, "hxcli: bad channel '%s' (0-3 or all)\n", args.channel.c_str());
        return kExitUsage;
    }
    std::vector<DWORD> codes;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = args.ranges.find(',', start);
        const std::string item = args.ranges.substr(start, comma == std::string::npos ? comma : comma - start);
        DWORD code = 0;
        if (!ParseRange(item, code)) {
            std::fprintf(stderr, "hxcli: dac range: bad range '%s': use %s\n", item.c_str(), kRangeRule);
            return kExitUsage;
        }
        codes.push_back(code);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (codes.size() > 1 && channel != HALVEX_ALL_CHANNELS) {
        std::fprintf(stderr, "hxcli: a list of ranges needs the channel 'all'\n");
        return kExitUsage;
    }
    if (codes.size() > 4) {
        std::fprintf(stderr, "hxcli: at most four ranges, one per channel\n");
        return kExitUsage;
    }
    if (codes.size() > 1) {
        const DWORD r = DAC_SetRangeAll(args.board, static_cast<DWORD>(codes.size()), codes.data());
        if (r != 0) return Fail("DAC_SetRangeAll", r);
        std::printf("Board %llu: output ranges set from %s.\n", static_cast<unsigned long long>(args.board),
                    args.ranges.c_str());
        return kExitOk;
    }
    const DWORD r = DAC_SetRange1(args.board, channel, codes[0]);
    if (r != 0) return Fail("DAC_SetRange1", r);
    const char* text = codes[0] == HALVEX_KEEP_RANGES ? "left as it was" : OutputRanges()[codes[0]].text.c_str();
    std::printf("Board %llu %s: %s\n", static_cast<unsigned long long>(args.board), ChannelText(channel).c_str(), text);
    return kExitOk;
}

struct OutArgs {
    UINT64 board = 0;
    std::string channel;
    std::string value;
    bool counts = false;
    bool readback = false;
};

// What the board now holds: the command register's last word and, on a simulated board, the
// levels of its outputs (each hxcli run starts a fresh simulated bus, so this is the place to
// see them).
int ShowReadback(const OutArgs& args, DWORD channel) {
    SetLastError(0);
    const DWORD word = PIO_In32(args.board, 4);
    if (const DWORD r = GetLastError(); r != 0) return Fail("PIO_In32", r);
    std::printf("  command register (offset 4): 0x%08X\n", static_cast<unsigned>(word));
    for (unsigned ch = 0; ch < 4; ++ch) {
        if (channel != HALVEX_ALL_CHANNELS && ch != channel) continue;
        const std::optional<simulator::OutputLevel> level = simulator::OutputLevelOf(args.board, ch);
        if (!level) break;
        std::printf("  output %u: range %u (%s), counts %u, %.6f V\n", ch, static_cast<unsigned>(level->rangeCode),
                    level->rangeCode < OutputRanges().size() ? OutputRanges()[level->rangeCode].text.c_str() : "unknown", static_cast<unsigned>(level->counts), level->volts);
    }
    return kExitOk;
}

int Output(const OutArgs& args) {
    DWORD channel = 0;
    if (!ParseChannel(args.channel, channel)) {
        std::fprintf(stderr, "hxcli: bad channel '%s' (0-3 or all)\n", args.channel.c_str());
        return kExitUsage;
    }
    const auto board = static_cast<unsigned long long>(args.board);
    if (args.counts) {
        uint32_t counts = 0;
        if (!ParseU32(args.value, counts) || counts > 0xFFFF) {
            std::fprintf(stderr, "hxcli: bad counts '%s' (0-65535, decimal or 0x-hex)\n", args.value.c_str());
            return kExitUsage;
        }
        const DWORD r = DAC_OutputCounts(args.board, channel, counts);
        if (r != 0) return Fail("DAC_OutputCounts", r);
        std::printf("Board %llu %s: %u counts (0x%04X)\n", board, ChannelText(channel).c_str(),
                    static_cast<unsigned>(counts), static_cast<unsigned>(counts));
        return args.readback ? ShowReadback(args, channel) : kExitOk;
    }
    double volts = 0.0;
    try {
        std::size_t used = 0;
        volts = std::stod(args.value, &used);
        if (used != args.value.size()) throw std::invalid_argument("trailing text");
    } catch (...) {
        std::fprintf(stderr, "hxcli: bad voltage '%s'\n", args.value.c_str());
        return kExitUsage;
    }
    const DWORD r = DAC_OutputV(args.board, channel, volts);
    if (r == ERROR_INVALID_DATA) {
        if (channel == HALVEX_ALL_CHANNELS) {
            std::fprintf(stderr, "hxcli: %g V is outside the output range of a channel; the channels before it "
                                 "were written (see 'hxcli dac range')\n", volts);
        } else {
            std::fprintf(stderr, "hxcli: %g V is outside the output range of channel %u (see 'hxcli dac range')\n",
                         volts, static_cast<unsigned>(channel));
        }
        return kExitFailed;
    }
    if (r != 0) return Fail("DAC_OutputV", r);
    std::printf("Board %llu %s: %g V\n", board, ChannelText(channel).c_str(), volts);
    return args.readback ? ShowReadback(args, channel) : kExitOk;
}

}  // namespace

Command AddDacCommand(CLI::App& app) {
    auto* dac = app.add_subcommand("dac", "Drive the four analog outputs.");
    dac->require_subcommand(1);
    auto rangeArgs = std::make_shared<RangeArgs>();
    auto* range = dac->add_subcommand(
        "range",
        "Set the output range of a channel or of all channels. Ranges: 0-5V or u5 (0..+5 V, code0), 0-10V or u10 "
        "(0..+10 V, code1), 5V or b5 (-5..+5 V, code2), 10V or b10 (-10..+10 V, code3), 2.5V or b2.5 (-2.5..+2.5 V, "
        "code4), keep (leave as it is). A number is volts, the V optional, never a code: 5 is -5..+5 V. With the "
        "channel 'all', a comma-separated list sets channels 0, 1, ... in turn; the last entry repeats.");
    range->add_option("board", rangeArgs->board, "Board index")->required()->check(BoardIndex());
    range->add_option("channel", rangeArgs->channel, "Channel 0-3 or all")->required();
    range->add_option("range", rangeArgs->ranges, "Range, or a list of ranges with 'all'")->required();
    auto outArgs = std::make_shared<OutArgs>();
    auto* out = dac->add_subcommand(
        "out", "Put out a voltage (converted for the range the library last set on the channel; -10..+10 V if it "
               "never set one) or, with --counts, raw 16-bit counts.");
    out->add_option("board", outArgs->board, "Board index")->required()->check(BoardIndex());
    out->add_option("channel", outArgs->channel, "Channel 0-3 or all")->required();
    out->add_option("value", outArgs->value, "Volts, or counts with --counts")->required();
    out->add_flag("-c,--counts", outArgs->counts, "The value is raw counts (0-65535)");
    out->add_flag("-r,--readback", outArgs->readback,
                  "Then show the command register and, on simulated boards, the output levels");
    return {dac, [rangeArgs, outArgs, range] { return range->parsed() ? SetRange(*rangeArgs) : Output(*outArgs); }};
}

}  // namespace hxcli
