// The library's life in a process, from load to unload. The library entry runs start-up at
// load and the detach hook at unload; tests run both any number of times.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "core/DeviceTable.h"

namespace halvex {

using TStringArray16 = std::vector<std::u16string>;

void LibraryStart();
void LibraryDetach(DWORD reason);
void OpenBoards();
TStringArray16 EnumerateDevicePaths(const GUID& classGuid);
BYTE GetOSVersionClass();
// The library entry's side of start-up and unload: the process-detach hook that start-up
// installed, and the release of the table's storage after it.
// `threadsGone`: the process is ending and the system has already ended every other thread
// (Windows), so detach may neither wait for a thread nor take a lock one of them may have held.
void RunProcessDetachHook(bool threadsGone = false);
void ReleaseDeviceTable();

// What the library entry runs: start-up at load (loading always succeeds, with the boards
// opened up to a failure), and at unload the detach hook and the table's release.
void StartAtLoad();
void DetachAtUnload(bool threadsGone);

}  // namespace halvex
