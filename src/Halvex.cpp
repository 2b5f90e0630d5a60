// The library's main module: its entry (start-up at load, detach at unload) and the VB entry
// points of every export.
#include <halvex/halvex.h>

#include <type_traits>

#include "core/CallFrame.h"
#include "lifecycle/Lifecycle.h"

using namespace halvex;

// A process-detach notification with a non-null `reserved` comes from a process that is ending:
// Windows has ended every other thread by then, wherever it was.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) StartAtLoad();
    if (reason == DLL_PROCESS_DETACH) DetachAtUnload(reserved != nullptr);
    return TRUE;
}

// The table cannot drift from the header: every entry has the type halvex.h declares.
#define HX_EXPORT(result, name, params, args) \
    static_assert(std::is_same_v<decltype(&name), result(WINAPI*) params>, #name " differs from halvex.h");
#include "ExportTable.inc"
#include "ExtensionTable.inc"
#undef HX_EXPORT

// The VB names: entry points of their own that hand every argument to the plain function.
#define HX_EXPORT(result, name, params, args) \
    extern "C" HALVEX_API result WINAPI VB##name params { return name args; }
#include "ExportTable.inc"
#undef HX_EXPORT
