// The caller-pointer guard against memory the process cannot read or write.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "ProtectedPages.h"
#include "platform/Guard.h"

namespace {

using halvex::platform::CanStore;
using halvex::platform::GuardedLoad;
using halvex::platform::GuardedStore;

class Guard : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pages_.ok()); }

    unsigned char* writable() const { return pages_.writable(); }
    unsigned char* readOnly() const { return pages_.readOnly(); }
    unsigned char* noAccess() const { return pages_.noAccess(); }
    unsigned char* unmapped() const { return pages_.unmapped(); }
    std::size_t page() const { return pages_.page(); }

private:
    ProtectedPages pages_;
};

TEST_F(Guard, StoresReachWritableMemoryOnly) {
    const std::uint32_t value = 0xCAFEF00D;
    EXPECT_TRUE(halvex::platform::GuardedStoreValue(reinterpret_cast<std::uint32_t*>(writable()), value));
    EXPECT_EQ(std::memcmp(writable(), &value, sizeof value), 0);

    EXPECT_FALSE(GuardedStore(readOnly(), &value, sizeof value));
    EXPECT_EQ(readOnly()[0], 0x11);
    EXPECT_FALSE(GuardedStore(noAccess(), &value, sizeof value));
    EXPECT_FALSE(GuardedStore(unmapped(), &value, sizeof value));
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
    EXPECT_FALSE(GuardedLoad(&value, unmapped(), sizeof value));
    EXPECT_FALSE(GuardedLoad(&value, nullptr, sizeof value));
}

TEST_F(Guard, ProbesTellWritableFromReadOnlyWithoutChangingAnything) {
    EXPECT_TRUE(CanStore(writable(), page()));
    EXPECT_EQ(writable()[0], 0x11);
    EXPECT_FALSE(CanStore(readOnly(), 1));
    EXPECT_FALSE(CanStore(writable() + page() - 1, 2));
    EXPECT_FALSE(CanStore(noAccess(), 4));
    EXPECT_FALSE(CanStore(nullptr, 4));
}

// A buffer on the caller's own stack is copied directly and a range of several pages is probed
// in one go: both must give the answers the page-by-page way gives.
TEST_F(Guard, ShortPathsGiveTheSameAnswers) {
    std::uint32_t local[4] = {};
    const std::uint32_t values[4] = {1, 2, 3, 4};
    EXPECT_TRUE(GuardedStore(local, values, sizeof values));
    std::uint32_t back[4] = {};
    EXPECT_TRUE(GuardedLoad(back, local, sizeof local));
    EXPECT_EQ(std::memcmp(back, values, sizeof values), 0);
    EXPECT_TRUE(CanStore(local, sizeof local));

    std::vector<unsigned char> pages(3 * page() + 5);
    EXPECT_TRUE(CanStore(pages.data() + 1, pages.size() - 1));
    EXPECT_FALSE(CanStore(writable(), 2 * page()));
    EXPECT_FALSE(CanStore(readOnly(), 2 * page()));
    EXPECT_FALSE(CanStore(noAccess() + 8, page()));
    EXPECT_FALSE(CanStore(unmapped(), 2 * page()));
    EXPECT_EQ(readOnly()[0], 0x11);
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
    EXPECT_FALSE(GuardedStore(readOnly(), source.data(), 2 * page()));
    std::vector<unsigned char> target(source.size());
    ASSERT_TRUE(GuardedStore(target.data(), source.data(), source.size()));
    EXPECT_EQ(target, source);
}

// Where the kernel refuses the direct copy, the pipe does the same work. The pattern never
// repeats and the failed store sends other bytes than the next one, so bytes a failed store left
// in the pipe would show in the next copy.
TEST_F(Guard, ThePipeFallbackCopiesAndFaultsAsTheDirectCopyDoes) {
    halvex::platform::UseGuardPipeOnlyForTests(true);
    std::vector<unsigned char> source(100 * 1024 + 3);
    for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<unsigned char>((i * 2654435761u) >> 13);
    std::vector<unsigned char> target(source.size());
    const bool stored = GuardedStore(target.data(), source.data(), source.size());
    const bool faulted = !GuardedStore(readOnly(), source.data() + 5000, 2 * page());
    const bool storedAgain = GuardedStore(target.data() + 1, source.data(), source.size() - 1);
    halvex::platform::UseGuardPipeOnlyForTests(false);
    EXPECT_TRUE(stored && faulted && storedAgain);
    EXPECT_TRUE(std::equal(source.begin(), source.end() - 1, target.begin() + 1));
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
