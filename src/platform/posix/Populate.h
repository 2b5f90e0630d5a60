// Making pages present and writable without storing to them (Linux only).
#pragma once

#include <cstddef>

namespace halvex::platform {

// One madvise(MADV_POPULATE_WRITE) over the pages of [block, block + size): every page present
// and writable, as a store would make it, and nothing stored. 0, or the error: ENOMEM or EFAULT
// where a store would fault; EINVAL for a range the kernel will not populate (read-only or
// special mappings) and on kernels before 5.14, which know no such advice.
int PopulateWritable(const void* block, std::size_t size) noexcept;

}  // namespace halvex::platform
