// The library's main module: its entry (start-up at load, detach at unload) and the VB entry
// points of every export.
#include <halvex/halvex.h>
#include <halvex/sim.h>

#include <type_traits>

#include "core/Core.h"
#include "lifecycle/Lifecycle.h"

using namespace halvex;

namespace {

void StartLibrary() {
    try {
        LibraryStart();
    } catch (...) {
        // Loading always succeeds, with the boards opened up to the failure.
    }
}

void DetachLibrary(bool threadsGone) {
    try {
        RunProcessDetachHook(threadsGone);
    } catch (...) {
    }
    ReleaseDeviceTable();
}

}  // namespace

// A process-detach notification with a non-null `reserved` comes from a process that is ending:
// Windows has ended every other thread by then, wherever it was.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) StartLibrary();
    if (reason == DLL_PROCESS_DETACH) DetachLibrary(reserved != nullptr);
    return TRUE;
}

// Test entries: the same start-up and unload, any number of times in one process. In a forked
// child they do nothing, as the exports do: the threads a detach would wait for are not there.
extern "C" HALVEX_SIM_API void HxTestLibraryStart(void) {
    if (!platform::InForkedChild()) StartLibrary();
}
extern "C" HALVEX_SIM_API void HxTestLibraryDetach(void) {
    if (!platform::InForkedChild()) DetachLibrary(false);
}

// The table cannot drift from the header: every entry has the type halvex.h declares.
#define HX_EXPORT(result, name, params, args) \
    static_assert(std::is_same_v<decltype(&name), result(WINAPI*) params>, #name " differs from halvex.h");
#include "ExportTable.inc"
#undef HX_EXPORT

// The VB names: entry points of their own that hand every argument to the plain function.
#define HX_EXPORT(result, name, params, args) \
    extern "C" HALVEX_API result WINAPI VB##name params { return name args; }
#include "ExportTable.inc"
#undef HX_EXPORT
