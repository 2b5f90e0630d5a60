// The caller-pointer guard against memory the process cannot read or write.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstring>

#include "platform/Guard.h"

namespace {

using halvex::platform::CanStore;
using halvex::platform::GuardedLoad;
using halvex::platform::GuardedStore;

// Four adjacent pages: read-write, read-only, no access, reserved but never committed.
class Guard : public ::testing::Test {
protected:
    void SetUp() override {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        page_ = info.dwPageSize;
        base_ = static_cast<unsigned char*>(VirtualAlloc(nullptr, 4 * page_, MEM_RESERVE, PAGE_NOACCESS));
        ASSERT_NE(base_, nullptr);
        ASSERT_NE(VirtualAlloc(base_, 3 * page_, MEM_COMMIT, PAGE_READWRITE), nullptr);
        std::memset(base_, 0x11, 2 * page_);
        DWORD old = 0;
        ASSERT_TRUE(VirtualProtect(readOnly(), page_, PAGE_READONLY, &old));
        ASSERT_TRUE(VirtualProtect(noAccess(), page_, PAGE_NOACCESS, &old));
    }
    void TearDown() override { VirtualFree(base_, 0, MEM_RELEASE); }

    unsigned char* writable() const { return base_; }
    unsigned char* readOnly() const { return base_ + page_; }
    unsigned char* noAccess() const { return base_ + 2 * page_; }
    unsigned char* reserved() const { return base_ + 3 * page_; }

    std::size_t page_ = 0;
    unsigned char* base_ = nullptr;
};

TEST_F(Guard, StoresReachWritableMemoryOnly) {
    const std::uint32_t value = 0xCAFEF00D;
    EXPECT_TRUE(halvex::platform::GuardedStoreValue(reinterpret_cast<std::uint32_t*>(writable()), value));
    EXPECT_EQ(std::memcmp(writable(), &value, sizeof value), 0);

    EXPECT_FALSE(GuardedStore(readOnly(), &value, sizeof value));
    EXPECT_EQ(readOnly()[0], 0x11);
    EXPECT_FALSE(GuardedStore(noAccess(), &value, sizeof value));
    EXPECT_FALSE(GuardedStore(reserved(), &value, sizeof value));
    EXPECT_FALSE(GuardedStore(nullptr, &value, sizeof value));
    EXPECT_FALSE(GuardedStore(readOnly() - 2, &value, sizeof value));
}

TEST_F(Guard, LoadsReadReadableMemoryOnly) {
    std::uint32_t value = 0;
    EXPECT_TRUE(GuardedLoad(&value, readOnly(), sizeof value));
    EXPECT_EQ(value, 0x11111111u);
    EXPECT_FALSE(GuardedLoad(&value, noAccess(), sizeof value));
    EXPECT_FALSE(GuardedLoad(&value, noAccess() - 2, sizeof value));
    EXPECT_FALSE(GuardedLoad(&value, reserved(), sizeof value));
    EXPECT_FALSE(GuardedLoad(&value, nullptr, sizeof value));
}

TEST_F(Guard, ProbesTellWritableFromReadOnly) {
    EXPECT_TRUE(CanStore(writable(), page_));
    EXPECT_FALSE(CanStore(readOnly(), 1));
    EXPECT_FALSE(CanStore(writable() + page_ - 1, 2));
    EXPECT_FALSE(CanStore(noAccess(), 4));
    EXPECT_FALSE(CanStore(nullptr, 4));
}

TEST_F(Guard, EmptyRangesNeedNoMemoryButNullIsStillRefused) {
    int scratch = 0;
    EXPECT_TRUE(GuardedStore(readOnly(), &scratch, 0));
    EXPECT_TRUE(GuardedLoad(&scratch, noAccess(), 0));
    EXPECT_FALSE(GuardedStore(nullptr, &scratch, 0));
}

}  // namespace
