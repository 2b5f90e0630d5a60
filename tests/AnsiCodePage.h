// The ANSI code page for the tests of the ANSI board name. One implementation per platform.
#pragma once

#include <windows.h>

// Makes the ANSI code page one with characters of more than one byte, if this platform lets a
// test choose: the Linux layer switches to UTF-8; on Windows the system decides (the Windows
// test run repeats these tests under a Japanese locale, code page 932). The code page in force,
// or 0 when it has one byte per character.
UINT UseMultiByteAnsiCodePage();
// Back to the platform's own.
void RestoreAnsiCodePage();
