// The caller-pointer guard against memory the process cannot read or write.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

#include "platform/Guard.h"

namespace {

using halvex::platform::CanStore;
using halvex::platform::GuardedLoad;
using halvex::platform::GuardedStore;

// Three adjacent pages: read-write, read-only, no access.
class Guard : public ::testing::Test {
protected:
    void SetUp() override {
        page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        void* p = mmap(nullptr, 3 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(p, MAP_FAILED);
        base_ = static_cast<unsigned char*>(p);
        std::memset(base_, 0x11, 2 * page_);
        ASSERT_EQ(mprotect(readOnly(), page_, PROT_READ), 0);
        ASSERT_EQ(mprotect(noAccess(), page_, PROT_NONE), 0);
    }
    void TearDown() override { munmap(base_, 3 * page_); }

    unsigned char* writable() const { return base_; }
    unsigned char* readOnly() const { return base_ + page_; }
    unsigned char* noAccess() const { return base_ + 2 * page_; }

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
    EXPECT_FALSE(GuardedStore(nullptr, &value, sizeof value));
    // A range that starts writable and runs into a read-only page fails as a whole.
    EXPECT_FALSE(GuardedStore(readOnly() - 2, &value, sizeof value));
}

TEST_F(Guard, LoadsReadReadableMemoryOnly) {
    std::uint32_t value = 0;
    EXPECT_TRUE(GuardedLoad(&value, readOnly(), sizeof value));
    EXPECT_EQ(value, 0x11111111u);
    EXPECT_FALSE(GuardedLoad(&value, noAccess(), sizeof value));
    EXPECT_FALSE(GuardedLoad(&value, noAccess() - 2, sizeof value));
    EXPECT_FALSE(GuardedLoad(&value, nullptr, sizeof value));
}

TEST_F(Guard, ProbesTellWritableFromReadOnlyWithoutChangingAnything) {
    EXPECT_TRUE(CanStore(writable(), page_));
    EXPECT_EQ(writable()[0], 0x11);
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

TEST_F(Guard, LargeCopiesArriveWholeAndAFailedStoreLeavesNothingBehind) {
    std::vector<unsigned char> source(256 * 1024);
    for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<unsigned char>(i * 7 + i / 251);
    std::vector<unsigned char> copy(source.size());
    ASSERT_TRUE(GuardedLoad(copy.data(), source.data(), source.size()));
    EXPECT_EQ(copy, source);

    // A store that faults mid-chunk must not leak its bytes into the next copy.
    EXPECT_FALSE(GuardedStore(readOnly(), source.data(), 2 * page_));
    std::vector<unsigned char> target(source.size());
    ASSERT_TRUE(GuardedStore(target.data(), source.data(), source.size()));
    EXPECT_EQ(target, source);
}

TEST_F(Guard, ThreadsCopyIndependently) {
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::vector<unsigned char> source(20000, static_cast<unsigned char>(t + 1));
            std::vector<unsigned char> target(source.size());
            for (int round = 0; round < 50; ++round) {
                if (!GuardedStore(target.data(), source.data(), source.size()) || target != source) ++mismatches;
                GuardedStore(readOnly(), source.data(), source.size());
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches, 0);
}

}  // namespace
