#include "platform/ForkedChild.h"

namespace halvex::platform {

bool InForkedChild() noexcept { return false; }

void WatchForFork() noexcept {}

}  // namespace halvex::platform
