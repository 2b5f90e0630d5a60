#include "ProtectedPages.h"

#include <windows.h>

#include <cstring>

// The fourth page is reserved but never committed: an address no access can use.
ProtectedPages::ProtectedPages() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    page_ = info.dwPageSize;
    base_ = static_cast<unsigned char*>(VirtualAlloc(nullptr, 4 * page_, MEM_RESERVE, PAGE_NOACCESS));
    if (base_ == nullptr) return;
    bool ready = VirtualAlloc(base_, 3 * page_, MEM_COMMIT, PAGE_READWRITE) != nullptr;
    if (ready) {
        std::memset(base_, 0x11, 2 * page_);
        DWORD old = 0;
        ready = VirtualProtect(readOnly(), page_, PAGE_READONLY, &old) &&
                VirtualProtect(noAccess(), page_, PAGE_NOACCESS, &old);
    }
    if (!ready) {
        VirtualFree(base_, 0, MEM_RELEASE);
        base_ = nullptr;
    }
}

ProtectedPages::~ProtectedPages() {
    if (base_ != nullptr) VirtualFree(base_, 0, MEM_RELEASE);
}
