#include "sim/RegisterFile.h"

namespace halvex::sim {

uint32_t RegisterFile::Read(uint32_t offset, unsigned width) const {
    uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i) value |= uint32_t{bytes_[offset + i]} << (8 * i);
    return value;
}

void RegisterFile::Write(uint32_t offset, unsigned width, uint32_t value) {
    for (unsigned i = 0; i < width; ++i) bytes_[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace halvex::sim
