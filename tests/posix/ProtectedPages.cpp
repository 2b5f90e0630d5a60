#include "ProtectedPages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

ProtectedPages::ProtectedPages() : page_(static_cast<std::size_t>(sysconf(_SC_PAGESIZE))) {
    void* p = mmap(nullptr, 4 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return;
    base_ = static_cast<unsigned char*>(p);
    std::memset(base_, 0x11, 2 * page_);
    if (mprotect(readOnly(), page_, PROT_READ) != 0 || mprotect(noAccess(), page_, PROT_NONE) != 0 ||
        munmap(unmapped(), page_) != 0) {
        munmap(base_, 4 * page_);
        base_ = nullptr;
    }
}

ProtectedPages::~ProtectedPages() {
    if (base_ != nullptr) munmap(base_, 3 * page_);
}
