// A board's register space as the bus addresses it: bytes, little-endian, accessed 1, 2 or 4
// bytes wide. It holds values only; side effects belong to the board's device models.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace halvex::sim {

class RegisterFile {
public:
    static constexpr std::size_t kSize = 4096;

    static bool IsValidWidth(unsigned width) { return width == 1 || width == 2 || width == 4; }
    // Whether an access of `width` bytes at `offset` lies inside the register space.
    static bool Contains(uint32_t offset, unsigned width) {
        return IsValidWidth(width) && offset <= kSize && width <= kSize - offset;
    }

    // Both expect Contains(offset, width). A write stores the low `width` bytes of `value`.
    uint32_t Read(uint32_t offset, unsigned width) const;
    void Write(uint32_t offset, unsigned width, uint32_t value);

    void Clear() { bytes_.fill(0); }

private:
    std::array<uint8_t, kSize> bytes_{};
};

}  // namespace halvex::sim
