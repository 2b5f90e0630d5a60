// Keeps the library's code loaded while one of its threads runs.
//
// On Windows a library that waits for its own threads inside its unload notification
// deadlocks (a thread's exit needs the loader lock the unloading thread holds), and a thread
// still running library code after the unmapping crashes. So each library thread holds a
// reference to the module from its creation and gives it back as the very last thing it does:
// unloading then waits for the threads by itself. On Linux both are no-ops.
#pragma once

#include <windows.h>

namespace halvex::platform {

// Takes a reference for a thread about to be created; returns an opaque token.
void* HoldModuleForThread();
// Gives back a token when the thread could not be created.
void ReleaseModuleToken(void* token);
// The thread's last step: give back its token and end with `exitCode`. Never returns on
// Windows; on Linux returns `exitCode` for the thread routine to return.
DWORD ReleaseModuleAndExitThread(void* token, DWORD exitCode);

}  // namespace halvex::platform
