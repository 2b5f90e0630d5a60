#include "InputRanges.h"

#include <algorithm>
#include <charconv>
#include <vector>

namespace hxcli {

std::string VoltsText(double volts) {
    char text[32];
    const auto [end, error] = std::to_chars(text, text + sizeof text, volts);
    return error == std::errc{} ? std::string(text, end) : std::string("?");
}

std::span<const InputRange> InputRanges() {
    static const std::vector<InputRange> ranges = [] {
        std::vector<InputRange> found;
        for (DWORD code = 0; code < 8; ++code) {
            HX_RANGE_INFO info{};
            info.Size = sizeof info;
            if (HX_GetRangeInfo(HX_RANGE_INPUT, code, &info) != 0) continue;
            found.push_back({VoltsText(info.High) + "V", info.High, info.Code, info.Tag, info.VoltsPerCount,
                             static_cast<int32_t>(info.FullScaleCounts)});
        }
        std::stable_sort(found.begin(), found.end(),
                         [](const InputRange& a, const InputRange& b) { return a.halfSpan > b.halfSpan; });
        return found;
    }();
    return ranges;
}

const InputRange* FindInputRange(std::string_view text) {
    if (text.size() == 5 && (text.substr(0, 4) == "code" || text.substr(0, 4) == "CODE") && text[4] >= '0' &&
        text[4] <= '7')
        return InputRangeOfCode(static_cast<DWORD>(text[4] - '0'));
    if (!text.empty() && (text.back() == 'V' || text.back() == 'v')) text.remove_suffix(1);
    double volts = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), volts);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) return nullptr;
    for (const InputRange& range : InputRanges())
        if (range.halfSpan == volts) return &range;
    return nullptr;
}

const InputRange* InputRangeOfCode(DWORD code) {
    for (const InputRange& range : InputRanges())
        if (range.code == code) return &range;
    return nullptr;
}

std::string InputRangeNames() {
    std::string names;
    const auto ranges = InputRanges();
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        if (i != 0) names += i + 1 == ranges.size() ? " or " : ", ";
        names += ranges[i].name;
    }
    return names;
}

std::string InputRangeRule() {
    return InputRangeNames() + " (a number is volts, the V optional: 5 is the +-5 V range; a range code only as "
                               "code0-code5 or code7)";
}

bool BeyondRange(int16_t counts) {
    const auto ranges = InputRanges();
    const int32_t full = ranges.empty() ? 0 : ranges.front().fullScaleCounts;
    return counts > full || counts < -full;
}

}  // namespace hxcli
