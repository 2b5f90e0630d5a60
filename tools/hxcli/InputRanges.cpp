#include "InputRanges.h"

#include <charconv>

namespace hxcli {

const InputRange* FindInputRange(std::string_view text) {
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
