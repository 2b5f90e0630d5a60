// Small text helpers of the bus: hexadecimal numbers and ASCII to UTF-16.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace halvex::sim {

// `value` in hexadecimal with at least `minDigits` digits.
inline std::string Hex(uint32_t value, int minDigits, bool upperCase) {
    const char* digits = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), digits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    while (static_cast<int>(text.size()) < minDigits) text.insert(text.begin(), '0');
    return text;
}

// Each byte becomes one UTF-16 unit: exact for ASCII, Latin-1 otherwise.
inline std::u16string Widen(std::string_view text) {
    std::u16string wide;
    wide.reserve(text.size());
    for (char c : text) wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    return wide;
}

}  // namespace halvex::sim
