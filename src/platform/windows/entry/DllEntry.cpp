// Entry of Halvex.dll on Windows.
//
// DllMain is defined in Halvex.cpp, and the MinGW runtime's DllMainCRTStartup calls it after
// the C++ runtime has constructed the library's static state (and before destroying it at
// detach); start-up does not rely on that either way. The exported names come from the
// module-definition file generated from ExportTable.inc. On Linux this file's counterpart runs
// the same start-up and detach from the shared library's load hooks.
//
// What is left for this file: the DLL pins itself while it attaches. Its log thread runs from
// load to process exit, so an unload before then would wait for that thread inside the unload
// notification, under the loader lock the thread needs to end: a FreeLibrary too many would
// hang the application. Pinned, the DLL stays mapped until the process ends, whatever the
// application releases, and detaches once, at exit.
#include <windows.h>

namespace {

struct PinnedForTheProcess {
    PinnedForTheProcess() {
        HMODULE self = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                           reinterpret_cast<LPCWSTR>(this), &self);
    }
};

// Static, so `this` lies inside the DLL's own image.
PinnedForTheProcess pin;

}  // namespace
