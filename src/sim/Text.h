// Small text helpers of the bus: hexadecimal numbers and ASCII to UTF-16.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/HexText.h"

namespace halvex::sim {

// `value` in hexadecimal with at least `minDigits` digits.
inline std::string Hex(uint32_t value, std::size_t minDigits, bool upperCase) {
    return HexText<char>(value, minDigits, upperCase);
}

// Each byte becomes one UTF-16 unit: exact for ASCII, Latin-1 otherwise.
inline std::u16string Widen(std::string_view text) {
    std::u16string wide;
    wide.reserve(text.size());
    for (char c : text) wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    return wide;
}

}  // namespace halvex::sim
