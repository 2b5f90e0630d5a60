#include "platform/ThreadModule.h"

namespace halvex::platform {

// A shared object's destructors run before its code is unmapped, and a thread's exit takes no
// lock they hold, so threads can be waited for in place.
void* HoldModuleForThread() { return nullptr; }
void ReleaseModuleToken(void*) {}
DWORD ReleaseModuleAndExitThread(void*, DWORD exitCode) { return exitCode; }

}  // namespace halvex::platform
