// The board-finder list in the registry (HKLM): where it is and how it names a board. The
// library reads a board's name from it; the simulated boards write it.
//   Software\Slotscan            "Company" = <company>
//   Software\<company>\Cardlist  one REG_SZ per identifier, named by the identifier
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/HexText.h"

namespace halvex::board {

inline constexpr char16_t kSlotscanKey[] = u"Software\\Slotscan";
inline constexpr char16_t kCompanyValue[] = u"Company";

inline std::u16string CardlistKey(std::u16string_view company) {
    return u"Software\\" + std::u16string(company) + u"\\Cardlist";
}

// The list's value name for an identifier: upper-case hexadecimal, at least four digits.
inline std::u16string BoardListValueName(uint32_t deviceId) { return HexText<char16_t>(deviceId, 4); }

}  // namespace halvex::board
