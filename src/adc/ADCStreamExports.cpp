// Streaming acquisition exports.
#include "core/Core.h"

namespace halvex {

void EndAcquisitionAtDetach(UINT64) {
    // No acquisition can run yet: streaming arrives with the acquisition threads.
}

}  // namespace halvex
