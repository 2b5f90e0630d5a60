// The shared library's entry on Linux: the same DllMain as on Windows, called when the
// library is loaded and when the process ends.
//
// The loader may run this start-up before or after the library's other static initializers;
// nothing start-up touches relies on one (constant initialization or function-local statics),
// and the shared library links this file first so that the load tests run the harder order.
//
// The library is linked with -z nodelete, so dlclose never unmaps it: its threads may still be
// returning through its code when the unload notification finishes, and unmapping under them
// would crash. Detach therefore runs at process exit, registered after start-up so that it runs
// before the destructors of anything start-up created.
//
// A child made by fork() inherits that exit hook but none of the library's threads, and maybe
// locks they held: there the hook does nothing, and the child ends without waiting for them.
#include <windows.h>

#include <cstdlib>

#include "platform/ForkedChild.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

namespace {

void Detach() {
    if (!halvex::platform::InForkedChild()) DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
}

__attribute__((constructor)) void Attach() {
    // Start-up creates the library's first threads; a fork after that must find its locks free.
    halvex::platform::WatchForFork();
    DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);
    std::atexit(Detach);
}

}  // namespace
