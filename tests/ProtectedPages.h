// Four adjacent pages for testing code against memory the process cannot use: read-write,
// read-only, no access, and one that is not mapped at all. One implementation per platform.
#pragma once

#include <cstddef>

class ProtectedPages {
public:
    ProtectedPages();  // the first two pages are filled with 0x11
    ~ProtectedPages();
    ProtectedPages(const ProtectedPages&) = delete;
    ProtectedPages& operator=(const ProtectedPages&) = delete;

    bool ok() const { return base_ != nullptr; }
    std::size_t page() const { return page_; }
    unsigned char* writable() const { return base_; }
    unsigned char* readOnly() const { return base_ + page_; }
    unsigned char* noAccess() const { return base_ + 2 * page_; }
    unsigned char* unmapped() const { return base_ + 3 * page_; }

private:
    std::size_t page_ = 0;
    unsigned char* base_ = nullptr;
};
