#include "AnsiCodePage.h"

UINT UseMultiByteAnsiCodePage() {
    CPINFO info{};
    return GetCPInfo(CP_ACP, &info) && info.MaxCharSize > 1 ? GetACP() : 0;
}

void RestoreAnsiCodePage() {}
