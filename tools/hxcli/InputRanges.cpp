#include "InputRanges.h"

#include <charconv>

namespace hxcli {

const InputRange* FindInputRange(std::string_view text) {
    if (text.size() == 5 && (text.substr(0, 4) == "code" || text.substr(0, 4) == "CODE") && text[4] >= '0' &&
        text[4] <= '7')
        return InputRangeOfCode(static_cast<DWORD>(text[4] - '0'));
    if (!text.empty() && (text.back() == 'V' || text.back() == 'v')) text.remove_suffix(1);
    double volts = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), volts);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) return nullptr;
    for (const InputRange& range : kInputRanges)
        if (range.halfSpan == volts) return &range;
    return nullptr;
}

const InputRange* InputRangeOfCode(DWORD code) {
    for (const InputRange& range : kInputRanges)
        if (range.code == code) return &range;
    return nullptr;
}

std::string InputRangeNames() {
    std::string names;
    for (const InputRange& range : kInputRanges) {
        if (!names.empty()) names += &range == &kInputRanges[std::size(kInputRanges) - 1] ? " or " : ", ";
        names += range.name;
    }
    return names;
}

}  // namespace hxcli

namespace hxcli {

std::string InputRangeRule() {
    return InputRangeNames() + " (a number is volts, the V optional: 5 is the +-5 V range; a range code only as "
                               "code0-code5 or code7)";
}

}  // namespace hxcli
