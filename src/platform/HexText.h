// Hexadecimal text of a number, for the registry names the library reads and writes and the
// simulated boards' paths and names.
#pragma once

#include <cstdint>
#include <string>

namespace halvex {

// `value` in hexadecimal, at least `minDigits` digits, in the character type the caller needs.
template <typename Char>
std::basic_string<Char> HexText(uint32_t value, std::size_t minDigits, bool upperCase = true) {
    const char* digits = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
    std::basic_string<Char> text;
    do {
        text.insert(text.begin(), static_cast<Char>(digits[value & 0xF]));
        value >>= 4;
    } while (value != 0);
    if (text.size() < minDigits) text.insert(text.begin(), minDigits - text.size(), static_cast<Char>('0'));
    return text;
}

}  // namespace halvex
