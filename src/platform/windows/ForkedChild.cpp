#include "platform/ForkedChild.h"

namespace halvex::platform {

bool InForkedChild() noexcept { return false; }

}  // namespace halvex::platform
