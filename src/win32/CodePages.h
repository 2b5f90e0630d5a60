// The Linux Win32 layer's ANSI code page, for tests.
#pragma once

#include <windows.h>

namespace halvex::win32 {

// Makes CP_ACP mean `codePage` for the whole process: 1252 (the default) or CP_UTF8, a
// multi-byte ANSI code page as Windows can have. False for any other.
bool SetAnsiCodePageForTests(UINT codePage);

}  // namespace halvex::win32
