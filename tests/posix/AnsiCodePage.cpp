#include "AnsiCodePage.h"

#include "win32/CodePages.h"

UINT UseMultiByteAnsiCodePage() { return halvex::win32::SetAnsiCodePageForTests(CP_UTF8) ? CP_UTF8 : 0; }

void RestoreAnsiCodePage() { halvex::win32::SetAnsiCodePageForTests(1252); }
