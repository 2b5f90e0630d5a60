// What our Linux Win32 layer promises beyond what the Win32 semantics tests can check
// portably: its fixed code page and version, its handle values, object lifetime, and what it
// refuses or reports plainly where Windows offers more. Linked with the layer alone.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>

namespace {

TEST(Win32Layer, AnsiCodePageIsWindows1252) {
    const char16_t text[] = u"\u20AC\u0100";
    char bytes[3] = {};
    BOOL usedDefault = FALSE;
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<LPCWSTR>(text), -1, bytes, 3, nullptr, &usedDefault), 3);
    EXPECT_EQ(std::string(bytes), "\x80?");
    EXPECT_TRUE(usedDefault);
}

TEST(Win32Layer, VersionIsWindows10AndNeedsAWholeRecord) {
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info - 1;
    EXPECT_FALSE(GetVersionExW(&info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(GetVersionExW(&info));
    EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
    EXPECT_EQ(info.dwMajorVersion, 10u);
    EXPECT_EQ(info.dwMinorVersion, 0u);
    EXPECT_EQ(info.dwBuildNumber, 19045u);
}

TEST(Win32Layer, HandleValuesAreNeverReusedNorReserved) {
    HANDLE first = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(first));
    HANDLE second = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_NE(second, first);
    EXPECT_NE(second, INVALID_HANDLE_VALUE);
    EXPECT_NE(second, GetCurrentThread());
    EXPECT_NE(second, reinterpret_cast<HANDLE>(HKEY_CURRENT_USER));
    EXPECT_NE(second, reinterpret_cast<HANDLE>(HKEY_LOCAL_MACHINE));
    CloseHandle(second);
}

TEST(Win32Layer, ClosingAHandleDoesNotPullTheObjectFromUnderAWaiter) {
    HANDLE closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE wake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD result = 0;
    std::thread waiter([&] {
        const HANDLE both[] = {closed, wake};
        result = WaitForMultipleObjects(2, both, FALSE, 10000);
    });
    CloseHandle(closed);
    SetEvent(wake);
    waiter.join();
    // Either the wait began before the close and ended through `wake`, or it found a bad handle.
    EXPECT_TRUE(result == WAIT_OBJECT_0 + 1 || result == WAIT_FAILED) << result;
    CloseHandle(wake);
}

TEST(Win32Layer, AWaitForAllIsRefusedAndTakesNothing) {
    HANDLE semaphore = CreateSemaphoreW(nullptr, 1, 1, nullptr);
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    const HANDLE both[] = {semaphore, event};
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, INFINITE), WAIT_FAILED);  // never blocks either
    EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0);              // the count was left alone
    CloseHandle(semaphore);
    CloseHandle(event);
}

TEST(Win32Layer, AFailureStatusWithoutAWin32ErrorIsStillAFailure) {
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    DWORD transferred = 0;
    for (const ULONG_PTR status : {0xC0000120u, 0x80000006u, 0xC0000001u}) {
        overlapped.Internal = status;
        SetLastError(0);
        EXPECT_FALSE(GetOverlappedResult(nullptr, &overlapped, &transferred, TRUE)) << std::hex << status;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE)) << std::hex << status;
    }
    CloseHandle(event);
}

TEST(Win32Layer, ZeroInitialisedLocalBlocksAreZero) {
    auto* block = static_cast<unsigned char*>(LocalAlloc(LPTR, 4096));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 4096; ++i) ASSERT_EQ(block[i], 0) << i;
    EXPECT_EQ(LocalFree(block), nullptr);
}

TEST(Win32Layer, RegistryHandlesToADeletedKeyFailCleanly) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, reinterpret_cast<LPCWSTR>(u"Software\\HalvexTest\\Win32Layer\\Gone"), 0, nullptr,
                              0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, reinterpret_cast<LPCWSTR>(u"Software\\HalvexTest\\Win32Layer")), ERROR_SUCCESS);
    const DWORD value = 1;
    EXPECT_NE(RegSetValueExW(key, nullptr, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value),
              ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

}  // namespace
