#include "platform/ForkedChild.h"

namespace halvex::platform {

bool InForkedChild() noexcept { return false; }

void WatchForFork() noexcept {}

void TreatForkedChildAsOwnProcessForTests() noexcept {}

}  // namespace halvex::platform
