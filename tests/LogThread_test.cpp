// The diagnostic log writes posted lines, in order, as registry values under HKCU.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "log/LogThreads.h"

using namespace halvex;

namespace {

LPCWSTR W(const char16_t* text) { return reinterpret_cast<LPCWSTR>(text); }
const char16_t kKey[] = u"Software\\Orvande\\Halvex";

class LogThreadTest : public ::testing::Test {
protected:
    void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, W(kKey)); }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, W(kKey)); }

    static bool KeyExists() {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, W(kKey), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
            return false;
        RegCloseKey(key);
        return true;
    }

    static std::u16string Line(const char16_t* name) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, W(kKey), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
            return u"<no key>";
        char16_t text[256] = {};
        DWORD size = sizeof text - 2, type = 0;
        const LSTATUS status = RegQueryValueExW(key, W(name), nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
        RegCloseKey(key);
        if (status != ERROR_SUCCESS) return u"<missing>";
        return type == REG_SZ ? std::u16string(text) : u"<not a string>";
    }

    static DWORD Count() {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, W(kKey), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) return 0;
        DWORD count = 0, size = sizeof count, type = 0;
        RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(&count), &size);
        RegCloseKey(key);
        return type == REG_DWORD ? count : 0xFFFFFFFF;
    }
};

}  // namespace

TEST_F(LogThreadTest, AnIdleLogNeverTouchesTheRegistry) {
    delete new TLogThread();
    EXPECT_FALSE(KeyExists());
}

TEST_F(LogThreadTest, EveryQueuedLineIsWrittenBeforeDestructionReturns) {
    auto* log = new TLogThread();
    log->PostLog(u"first");
    log->PostLog(u"");
    log->PostLog(u"third line");
    delete log;
    EXPECT_EQ(Line(u"00000000"), u"first");
    EXPECT_EQ(Line(u"00000001"), u"");
    EXPECT_EQ(Line(u"00000002"), u"third line");
    EXPECT_EQ(Line(u"00000003"), u"<missing>");
    EXPECT_EQ(Count(), 3u);
}

TEST_F(LogThreadTest, ANewRunNumbersFromZeroAgainAndValueNamesAreHex) {
    auto* log = new TLogThread();
    for (int i = 0; i < 12; ++i) log->PostLog(u"run one");
    delete log;
    EXPECT_EQ(Line(u"0000000B"), u"run one");
    log = new TLogThread();
    log->PostLog(u"run two");
    delete log;
    EXPECT_EQ(Line(u"00000000"), u"run two");
    EXPECT_EQ(Line(u"00000001"), u"run one");
    EXPECT_EQ(Count(), 1u);
}

TEST_F(LogThreadTest, LinesFromSeveralThreadsKeepEachThreadsOrder) {
    auto* log = new TLogThread();
    std::vector<std::thread> posters;
    for (char16_t t = u'a'; t < u'e'; ++t) {
        posters.emplace_back([log, t] {
            for (char16_t i = u'0'; i <= u'9'; ++i) log->PostLog(std::u16string{t, i});
        });
    }
    for (auto& poster : posters) poster.join();
    delete log;
    ASSERT_EQ(Count(), 40u);
    char16_t next[4] = {u'0', u'0', u'0', u'0'};
    for (DWORD n = 0; n < 40; ++n) {
        char16_t name[9];
        for (int i = 7, v = static_cast<int>(n); i >= 0; --i, v >>= 4) name[i] = u"0123456789ABCDEF"[v & 15];
        name[8] = 0;
        const std::u16string line = Line(name);
        ASSERT_EQ(line.size(), 2u);
        EXPECT_EQ(line[1], next[line[0] - u'a']++);
    }
}

TEST_F(LogThreadTest, PostingToNoLogDoesNothing) {
    PostLog(nullptr, u"nowhere");
    PostKill(nullptr);
    EXPECT_FALSE(KeyExists());
}
