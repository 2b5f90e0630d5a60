// The Win32 semantics the library relies on. Written against the Win32 API alone, so the same
// tests run against our Linux layer and, under Wine or Windows, against the real system.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>
#include <utility>
#include <vector>
#include <memory>
#include <string>

#include "platform/Overlapped.h"

namespace {

// Only a guard against hangs; nothing below waits this long when it works.
constexpr DWORD kGuardMs = 10000;

// A Win32 thread running a lambda; joined (and its handle closed) on destruction.
class TestThread {
public:
    explicit TestThread(std::function<DWORD()> body, DWORD flags = 0) : body_(std::move(body)) {
        handle_ = CreateThread(nullptr, 0, &TestThread::Run, this, flags, nullptr);
        EXPECT_NE(handle_, nullptr);
    }
    ~TestThread() {
        if (!handle_) return;
        ResumeThread(handle_);
        EXPECT_EQ(WaitForSingleObject(handle_, kGuardMs), WAIT_OBJECT_0);
        CloseHandle(handle_);
    }
    TestThread(const TestThread&) = delete;
    TestThread& operator=(const TestThread&) = delete;

    HANDLE handle() const { return handle_; }

    DWORD Join() {
        EXPECT_EQ(WaitForSingleObject(handle_, kGuardMs), WAIT_OBJECT_0);
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeThread(handle_, &code));
        return code;
    }

private:
    static DWORD WINAPI Run(LPVOID self) { return static_cast<TestThread*>(self)->body_(); }

    std::function<DWORD()> body_;
    HANDLE handle_ = nullptr;
};

class Win32Handle {
public:
    explicit Win32Handle(HANDLE handle) : handle_(handle) { EXPECT_NE(handle_, nullptr); }
    ~Win32Handle() {
        if (handle_) CloseHandle(handle_);
    }
    Win32Handle(const Win32Handle&) = delete;
    Win32Handle& operator=(const Win32Handle&) = delete;
    operator HANDLE() const { return handle_; }

private:
    HANDLE handle_;
};

HANDLE NewEvent(bool manualReset, bool initialState = false) {
    return CreateEventW(nullptr, manualReset, initialState, nullptr);
}

// ---- Mutexes ---------------------------------------------------------------------------------

class Win32Mutex : public ::testing::Test {
protected:
    Win32Handle mutex_{CreateMutexW(nullptr, FALSE, nullptr)};
};

TEST_F(Win32Mutex, TakenTwiceByItsOwnerIsFreeOnlyAfterTheSecondRelease) {
    ASSERT_EQ(WaitForSingleObject(mutex_, 0), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(mutex_, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ReleaseMutex(mutex_));

    TestThread stillOwned([&] { return WaitForSingleObject(mutex_, 0); });
    EXPECT_EQ(stillOwned.Join(), static_cast<DWORD>(WAIT_TIMEOUT));

    ASSERT_TRUE(ReleaseMutex(mutex_));
    TestThread nowFree([&] {
        const DWORD result = WaitForSingleObject(mutex_, 0);
        if (result == WAIT_OBJECT_0) ReleaseMutex(mutex_);
        return result;
    });
    EXPECT_EQ(nowFree.Join(), static_cast<DWORD>(WAIT_OBJECT_0));

    // A third release is one too many, even for the thread that last owned it.
    EXPECT_FALSE(ReleaseMutex(mutex_));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
}

TEST_F(Win32Mutex, ReleaseByAThreadThatDoesNotOwnItFails) {
    ASSERT_EQ(WaitForSingleObject(mutex_, 0), WAIT_OBJECT_0);
    TestThread intruder([&]() -> DWORD { return ReleaseMutex(mutex_) ? 0 : GetLastError(); });
    EXPECT_EQ(intruder.Join(), static_cast<DWORD>(ERROR_NOT_OWNER));
    EXPECT_TRUE(ReleaseMutex(mutex_));  // still owned here, once
    EXPECT_FALSE(ReleaseMutex(mutex_));
}

TEST_F(Win32Mutex, InitialOwnerOwnsIt) {
    Win32Handle owned(CreateMutexW(nullptr, TRUE, nullptr));
    TestThread other([&] { return WaitForSingleObject(owned, 0); });
    EXPECT_EQ(other.Join(), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(ReleaseMutex(owned));
}

TEST_F(Win32Mutex, OwnerEndingWhileAnotherWaitsHandsItOverAsAbandoned) {
    Win32Handle taken(NewEvent(true));
    Win32Handle finish(NewEvent(true));
    TestThread owner([&]() -> DWORD {
        WaitForSingleObject(mutex_, kGuardMs);
        WaitForSingleObject(mutex_, kGuardMs);  // owned twice: abandonment drops both
        SetEvent(taken);
        WaitForSingleObject(finish, kGuardMs);
        return 0;
    });
    ASSERT_EQ(WaitForSingleObject(taken, kGuardMs), WAIT_OBJECT_0);
    TestThread waiter([&] {
        const DWORD result = WaitForSingleObject(mutex_, kGuardMs);
        ReleaseMutex(mutex_);
        return result;
    });
    SetEvent(finish);
    EXPECT_EQ(waiter.Join(), static_cast<DWORD>(WAIT_ABANDONED));

    // Abandonment is reported once; the mutex then behaves as usual.
    EXPECT_EQ(WaitForSingleObject(mutex_, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex_));
}

TEST_F(Win32Mutex, AnyKindOfThreadEndingAbandonsWhatItOwns) {
    std::thread([&] { EXPECT_EQ(WaitForSingleObject(mutex_, 0), WAIT_OBJECT_0); }).join();
    EXPECT_EQ(WaitForSingleObject(mutex_, 0), static_cast<DWORD>(WAIT_ABANDONED));
    EXPECT_TRUE(ReleaseMutex(mutex_));
}

// ---- Semaphores ------------------------------------------------------------------------------

TEST(Win32Semaphore, RefusesToPassItsMaximumAndKeepsItsCount) {
    Win32Handle semaphore(CreateSemaphoreW(nullptr, 1, 2, nullptr));
    LONG previous = -1;
    ASSERT_TRUE(ReleaseSemaphore(semaphore, 1, &previous));
    EXPECT_EQ(previous, 1);

    EXPECT_FALSE(ReleaseSemaphore(semaphore, 1, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TOO_MANY_POSTS));

    EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0);
    EXPECT_FALSE(ReleaseSemaphore(semaphore, 2, nullptr));  // 1 + 2 > 2: nothing is added
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TOO_MANY_POSTS));
    EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(semaphore, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

// ---- Events ----------------------------------------------------------------------------------

class Win32Event : public ::testing::Test {
protected:
    static constexpr int kWaiters = 3;

    void StartWaiters(HANDLE event) {
        for (auto& waiter : waiters_)
            waiter = std::make_unique<TestThread>([event] { return WaitForSingleObject(event, kGuardMs); });
        for (int i = 0; i < kWaiters; ++i) handles_[i] = waiters_[i]->handle();
    }

    std::unique_ptr<TestThread> waiters_[kWaiters];
    HANDLE handles_[kWaiters] = {};
};

TEST_F(Win32Event, AutoResetReleasesOneWaiterPerSet) {
    Win32Handle event(NewEvent(false));
    StartWaiters(event);
    std::vector<HANDLE> running(handles_, handles_ + kWaiters);
    while (!running.empty()) {
        ASSERT_TRUE(SetEvent(event));
        const DWORD finished = WaitForMultipleObjects(static_cast<DWORD>(running.size()), running.data(), FALSE, kGuardMs);
        ASSERT_LT(finished, running.size());
        running.erase(running.begin() + finished);
        // The set was used up by that one waiter: nobody else gets through.
        EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
        if (!running.empty()) {
            EXPECT_EQ(WaitForMultipleObjects(static_cast<DWORD>(running.size()), running.data(), FALSE, 20),
                      static_cast<DWORD>(WAIT_TIMEOUT));
        }
    }
    for (auto& waiter : waiters_) EXPECT_EQ(waiter->Join(), static_cast<DWORD>(WAIT_OBJECT_0));
}

TEST_F(Win32Event, ManualResetReleasesEveryWaiterAndStaysSet) {
    Win32Handle event(NewEvent(true));
    StartWaiters(event);
    ASSERT_TRUE(SetEvent(event));
    for (auto& waiter : waiters_) EXPECT_EQ(waiter->Join(), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

// ---- Waits on several objects ----------------------------------------------------------------

TEST(Win32WaitMultiple, AnyTakesTheFirstReadyObjectAndLeavesTheOthers) {
    Win32Handle manual(NewEvent(true));
    Win32Handle automatic(NewEvent(false));
    const HANDLE both[] = {manual, automatic};

    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(automatic);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // taken by the wait

    // With both ready the lower index wins, and the other object is not taken.
    SetEvent(automatic);
    SetEvent(manual);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);

    // A wait that has to block ends through whichever object is set later, and takes it.
    ResetEvent(manual);
    TestThread setter([&]() -> DWORD { return SetEvent(automatic); });
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, kGuardMs), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(setter.Join(), static_cast<DWORD>(TRUE));
    EXPECT_EQ(WaitForSingleObject(automatic, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(Win32WaitMultiple, ABadHandleFailsTheWait) {
    Win32Handle event(NewEvent(true, true));
    const HANDLE handles[] = {event, reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FFFFF00))};
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// ---- Threads ---------------------------------------------------------------------------------

TEST(Win32Thread, CreatedSuspendedRunsOnlyAfterResume) {
    std::atomic<bool> ran{false};
    TestThread thread(
        [&]() -> DWORD {
            ran = true;
            return 42;
        },
        CREATE_SUSPENDED);
    EXPECT_EQ(WaitForSingleObject(thread.handle(), 50), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_FALSE(ran);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread.handle(), &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));

    EXPECT_EQ(ResumeThread(thread.handle()), 1u);
    EXPECT_EQ(thread.Join(), 42u);
    EXPECT_TRUE(ran);
    EXPECT_EQ(ResumeThread(thread.handle()), 0u);
}

TEST(Win32Thread, HandleIsSignalledWhenTheRoutineReturns) {
    Win32Handle release(NewEvent(true));
    TestThread thread([&]() -> DWORD {
        WaitForSingleObject(release, kGuardMs);
        return 7;
    });
    EXPECT_EQ(WaitForSingleObject(thread.handle(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(release);
    EXPECT_EQ(thread.Join(), 7u);
    EXPECT_EQ(WaitForSingleObject(thread.handle(), 0), WAIT_OBJECT_0);  // and stays signalled
}

class Win32ThreadPriority : public ::testing::Test {
protected:
    void TearDown() override { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL); }
};

TEST_F(Win32ThreadPriority, ReadsBackExactlyWhatWasSet) {
    for (int priority : {THREAD_PRIORITY_IDLE, THREAD_PRIORITY_LOWEST, THREAD_PRIORITY_BELOW_NORMAL,
                         THREAD_PRIORITY_NORMAL, THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                         THREAD_PRIORITY_TIME_CRITICAL}) {
        ASSERT_TRUE(SetThreadPriority(GetCurrentThread(), priority)) << priority;
        EXPECT_EQ(GetThreadPriority(GetCurrentThread()), priority);
    }
}

TEST_F(Win32ThreadPriority, IsPerThreadAndVisibleThroughTheThreadHandle) {
    ASSERT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL));
    Win32Handle selfSet(NewEvent(true));
    Win32Handle finish(NewEvent(true));
    TestThread thread(
        [&]() -> DWORD {
            const int inherited = GetThreadPriority(GetCurrentThread());
            SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_LOWEST);
            SetEvent(selfSet);
            WaitForSingleObject(finish, kGuardMs);
            return static_cast<DWORD>(inherited);
        },
        CREATE_SUSPENDED);
    // Set from outside before it runs, read inside through the pseudo-handle.
    ASSERT_TRUE(SetThreadPriority(thread.handle(), THREAD_PRIORITY_TIME_CRITICAL));
    EXPECT_EQ(GetThreadPriority(thread.handle()), THREAD_PRIORITY_TIME_CRITICAL);
    ResumeThread(thread.handle());
    ASSERT_EQ(WaitForSingleObject(selfSet, kGuardMs), WAIT_OBJECT_0);
    EXPECT_EQ(GetThreadPriority(thread.handle()), THREAD_PRIORITY_LOWEST);
    SetEvent(finish);
    EXPECT_EQ(static_cast<int>(thread.Join()), THREAD_PRIORITY_TIME_CRITICAL);
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_TIME_CRITICAL);
}

TEST_F(Win32ThreadPriority, OutOfRangeValuesAreRefusedAndChangeNothing) {
    ASSERT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL));
    SetLastError(0);
    EXPECT_FALSE(SetThreadPriority(GetCurrentThread(), 100));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_ABOVE_NORMAL);
}

TEST(Win32LastError, IsKeptPerThread) {
    SetLastError(1234);
    TestThread other([]() -> DWORD {
        const DWORD initial = GetLastError();
        SetLastError(5678);
        return GetLastError() == 5678 ? initial : 0xFFFFFFFFu;
    });
    EXPECT_EQ(other.Join(), 0u);
    EXPECT_EQ(GetLastError(), 1234u);
}

// ---- Handles ---------------------------------------------------------------------------------

TEST(Win32Handles, ClosingAClosedOrBogusHandleFailsWithoutHarm) {
    HANDLE event = NewEvent(true);
    ASSERT_TRUE(CloseHandle(event));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FFFFF00))));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(SetEvent(event));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// ---- Overlapped requests ---------------------------------------------------------------------

class Win32Overlapped : public ::testing::Test {
protected:
    void SetUp() override {
        std::memset(&overlapped_, 0, sizeof overlapped_);
        overlapped_.hEvent = event_;
        halvex::platform::MarkPending(&overlapped_);
    }

    // Completes the request from another thread once the caller is about to wait for it.
    DWORD CompleteFromAnotherThread(DWORD err, DWORD bytes, DWORD* transferred) {
        Win32Handle go(NewEvent(true));
        TestThread completer([&]() -> DWORD {
            WaitForSingleObject(go, kGuardMs);
            std::memset(buffer_, 0x5A, bytes);
            halvex::platform::CompleteOverlapped(&overlapped_, err, bytes);
            return 0;
        });
        SetEvent(go);
        SetLastError(0);
        return GetOverlappedResult(event_, &overlapped_, transferred, TRUE) ? ERROR_SUCCESS : GetLastError();
    }

    Win32Handle event_{NewEvent(true)};
    OVERLAPPED overlapped_{};
    unsigned char buffer_[64] = {};
};

TEST_F(Win32Overlapped, PendingRequestIsIncompleteWithoutWaiting) {
    EXPECT_FALSE(HasOverlappedIoCompleted(&overlapped_));
    DWORD transferred = 0;
    EXPECT_FALSE(GetOverlappedResult(event_, &overlapped_, &transferred, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
    EXPECT_EQ(WaitForSingleObject(event_, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(Win32Overlapped, CompletionWakesTheWaiterWithTheBytesAndTheData) {
    DWORD transferred = 0;
    EXPECT_EQ(CompleteFromAnotherThread(ERROR_SUCCESS, sizeof buffer_, &transferred), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(transferred, sizeof buffer_);
    EXPECT_EQ(buffer_[0], 0x5A);
    EXPECT_EQ(buffer_[sizeof buffer_ - 1], 0x5A);
    EXPECT_TRUE(HasOverlappedIoCompleted(&overlapped_));
    EXPECT_EQ(WaitForSingleObject(event_, 0), WAIT_OBJECT_0);
}

TEST_F(Win32Overlapped, FailedCompletionsReportTheirErrorAndByteCount) {
    for (DWORD err : {DWORD{ERROR_OPERATION_ABORTED}, DWORD{ERROR_NO_MORE_FILES}, DWORD{ERROR_GEN_FAILURE}}) {
        halvex::platform::MarkPending(&overlapped_);
        DWORD transferred = 99;
        EXPECT_EQ(CompleteFromAnotherThread(err, 8, &transferred), err);
        EXPECT_EQ(transferred, 8u);
    }
}

TEST_F(Win32Overlapped, FailureStatusesFailAndWin32OnesCarryTheirError) {
    DWORD transferred = 0;
    // Statuses a kernel driver completes with; what each maps to is the system's business.
    for (const ULONG_PTR status : {0xC0000120u, 0x80000006u, 0xC0000001u}) {
        overlapped_.Internal = status;
        SetLastError(0);
        EXPECT_FALSE(GetOverlappedResult(event_, &overlapped_, &transferred, FALSE)) << std::hex << status;
        EXPECT_NE(GetLastError(), 0u) << std::hex << status;
    }
    overlapped_.Internal = 0xC00703E3u;
    SetLastError(0);
    EXPECT_FALSE(GetOverlappedResult(event_, &overlapped_, &transferred, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}

TEST_F(Win32Overlapped, HelpersLeaveTheCallersLastErrorAlone) {
    SetLastError(4321);
    halvex::platform::CompleteOverlapped(&overlapped_, ERROR_OPERATION_ABORTED, 0);
    halvex::platform::MarkPending(&overlapped_);
    EXPECT_EQ(GetLastError(), 4321u);
}

// ---- Registry --------------------------------------------------------------------------------

LPCWSTR W(const char16_t* text) { return reinterpret_cast<LPCWSTR>(text); }

class Win32Registry : public ::testing::Test {
protected:
    void SetUp() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, W(u"Software\\HalvexTest\\Win32Semantics"));
        DWORD disposition = 0;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, W(u"Software\\HalvexTest\\Win32Semantics\\"), 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key_,
                                  &disposition),
                  ERROR_SUCCESS);
        EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    }
    void TearDown() override {
        RegCloseKey(key_);
        EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, W(u"Software\\HalvexTest\\Win32Semantics")), ERROR_SUCCESS);
    }

    void SetString(const char16_t* name, DWORD type, const char16_t* text) {
        const auto bytes = static_cast<DWORD>((std::char_traits<char16_t>::length(text) + 1) * sizeof(char16_t));
        ASSERT_EQ(RegSetValueExW(key_, W(name), 0, type, reinterpret_cast<const BYTE*>(text), bytes), ERROR_SUCCESS);
    }

    HKEY key_ = nullptr;
};

TEST_F(Win32Registry, ValuesRoundTripWithTheirTypes) {
    SetString(u"Name", REG_SZ, u"Board \u00E9 one");
    SetString(u"Path", REG_EXPAND_SZ, u"%SystemRoot%\\x");
    const DWORD number = 0xA5A50102;
    ASSERT_EQ(RegSetValueExW(key_, W(u"Count"), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number),
              ERROR_SUCCESS);

    HKEY reopened = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, W(u"SOFTWARE\\halvextest\\WIN32SEMANTICS"), 0,
                            KEY_READ | KEY_WOW64_64KEY, &reopened),
              ERROR_SUCCESS);
    char16_t text[32] = {};
    DWORD type = 0;
    DWORD size = sizeof text;
    ASSERT_EQ(RegQueryValueExW(reopened, W(u"name"), nullptr, &type, reinterpret_cast<BYTE*>(text), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 12 * sizeof(char16_t));
    EXPECT_EQ(std::u16string(text), u"Board \u00E9 one");

    size = sizeof text;
    ASSERT_EQ(RegQueryValueExW(reopened, W(u"Path"), nullptr, &type, reinterpret_cast<BYTE*>(text), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(std::u16string(text), u"%SystemRoot%\\x");

    DWORD read = 0;
    size = sizeof read;
    ASSERT_EQ(RegQueryValueExW(reopened, W(u"Count"), nullptr, &type, reinterpret_cast<BYTE*>(&read), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(read, number);
    EXPECT_EQ(RegCloseKey(reopened), ERROR_SUCCESS);
}

TEST_F(Win32Registry, ShortBuffersGetTheSizeTheyNeed) {
    SetString(u"Name", REG_SZ, u"abcdef");
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key_, W(u"Name"), nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 7 * sizeof(char16_t));
    char16_t small[3];
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExW(key_, W(u"Name"), nullptr, nullptr, reinterpret_cast<BYTE*>(small), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 7 * sizeof(char16_t));
}

TEST_F(Win32Registry, MissingKeysAndValuesAreNotFound) {
    HKEY missing = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, W(u"Software\\HalvexTest\\Nowhere"), 0, KEY_READ, &missing),
              ERROR_FILE_NOT_FOUND);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key_, W(u"Absent"), nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
}

TEST_F(Win32Registry, CreatingAnExistingKeyOpensItAndDeletingATreeRemovesItsSubkeys) {
    HKEY again = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, W(u"Software\\HalvexTest\\Win32Semantics"), 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &again, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    RegCloseKey(again);

    HKEY deep = nullptr;
    ASSERT_EQ(RegCreateKeyExW(key_, W(u"A\\B\\C"), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                              &deep, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(deep);
    EXPECT_EQ(RegDeleteTreeW(key_, W(u"A")), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExW(key_, W(u"A\\B"), 0, KEY_READ, &deep), ERROR_FILE_NOT_FOUND);
}

// ---- Code pages ------------------------------------------------------------------------------

constexpr UINT kWindows1252 = 1252;

TEST(Win32CodePage, Windows1252MapsItsHighBytesAndReplacesWhatItCannotShow) {
    const char16_t text[] = u"A\u00E9\u20AC\u0178\u4E00";
    BOOL usedDefault = FALSE;
    EXPECT_EQ(WideCharToMultiByte(kWindows1252, 0, W(text), -1, nullptr, 0, nullptr, nullptr), 6);
    char bytes[6] = {};
    ASSERT_EQ(WideCharToMultiByte(kWindows1252, 0, W(text), -1, bytes, sizeof bytes, nullptr, &usedDefault), 6);
    EXPECT_EQ(std::string(bytes), "A\xE9\x80\x9F?");
    EXPECT_TRUE(usedDefault);
}

TEST(Win32CodePage, Utf8TakesSurrogatePairsWholeAndShortBuffersFail) {
    const char16_t text[] = u"\u00E9\u20AC\U0001F600";
    const int size = WideCharToMultiByte(CP_UTF8, 0, W(text), 4, nullptr, 0, nullptr, nullptr);
    ASSERT_EQ(size, 2 + 3 + 4);
    char bytes[9];
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, W(text), 4, bytes, size, nullptr, nullptr), size);
    EXPECT_EQ(std::string(bytes, 9), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");

    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, W(text), 4, bytes, size - 1, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

}  // namespace
