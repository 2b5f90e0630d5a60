#include "AnsiCodePage.h"

#include "platform/posix/CodePages.h"

UINT UseMultiByteAnsiCodePage() { return halvex::platform::SetAnsiCodePageForTests(CP_UTF8) ? CP_UTF8 : 0; }

void RestoreAnsiCodePage() { halvex::platform::SetAnsiCodePageForTests(1252); }
