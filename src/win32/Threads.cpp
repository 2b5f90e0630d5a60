// Threads: creation (optionally suspended), resumption, exit codes, ids and priorities, and the
// per-thread record that abandons a dead thread's mutexes.
#include "Kernel.h"

#include <pthread.h>
#include <unistd.h>

#include <climits>
#include <new>
#include <utility>

namespace halvex::win32 {
namespace {

DWORD NextThreadId() {
    static std::atomic<DWORD> next{4};
    return next.fetch_add(4, std::memory_order_relaxed);
}

struct StartContext {
    std::shared_ptr<ThreadObject> thread;
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
};

void* ThreadEntry(void* argument) {
    std::unique_ptr<StartContext> context(static_cast<StartContext*>(argument));
    ThreadObject& thread = *context->thread;
    ThreadRecord& self = CurrentThreadRecord();
    self.thread = context->thread;
    for (std::uint32_t suspended; (suspended = thread.suspendCount.load(std::memory_order_acquire)) != 0;)
        FutexWait(thread.suspendCount, suspended, nullptr);

    // The thread's end, also when pthread_exit ends it inside the routine (as ExitThread would
    // on Windows, with exit code 0): its handle is signalled either way.
    struct End {
        ThreadObject& thread;
        ThreadRecord& self;
        DWORD exitCode = 0;
        ~End() {
            // Mutexes are abandoned before the handle is signalled, so a thread that saw this
            // one end finds them free at once.
            AbandonOwnedMutexes(self);
            thread.exitCode.store(exitCode, std::memory_order_release);
            ChangeState(thread, [](std::uint64_t& word) {
                word |= state::kSignalled;
                return true;
            });
        }
    } end{thread, self};
    end.exitCode = context->routine(context->parameter);
    return nullptr;
}

std::shared_ptr<ThreadObject> LookupThread(HANDLE handle) {
    if (handle == kCurrentThreadPseudoHandle) return CurrentThreadRecord().thread;
    return LookupHandleAs<ThreadObject>(handle);
}

bool IsThreadPriority(int priority) {
    return priority == THREAD_PRIORITY_IDLE || priority == THREAD_PRIORITY_TIME_CRITICAL ||
           (priority >= THREAD_PRIORITY_LOWEST && priority <= THREAD_PRIORITY_HIGHEST);
}

}  // namespace

ThreadRecord::ThreadRecord() : thread(std::make_shared<ThreadObject>(NextThreadId())) {}

ThreadRecord::~ThreadRecord() { AbandonOwnedMutexes(*this); }

namespace {
// The main thread's record is destroyed at process exit before the atexit handlers run, and the
// library's detach runs in one of them: code that runs after a thread's record is gone gets a
// record of its own that is never freed and keeps the thread's id. These are trivially
// destructible, so they can still be read then.
thread_local bool tRecordGone = false;
thread_local DWORD tGoneId = 0;
thread_local ThreadRecord* tLateRecord = nullptr;

struct RecordSlot {
    ~RecordSlot() {
        tGoneId = record.thread->id;
        tRecordGone = true;
    }
    ThreadRecord record;
};
}  // namespace

ThreadRecord& CurrentThreadRecord() {
    if (tRecordGone) {
        if (tLateRecord == nullptr) {
            tLateRecord = new ThreadRecord;
            tLateRecord->thread = std::make_shared<ThreadObject>(tGoneId);
        }
        return *tLateRecord;
    }
    thread_local RecordSlot slot;
    return slot.record;
}

}  // namespace halvex::win32

using namespace halvex::win32;

extern "C" {

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                           LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId) {
    if (lpStartAddress == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto thread = std::make_shared<ThreadObject>(NextThreadId(), (dwCreationFlags & CREATE_SUSPENDED) ? 1 : 0);
    auto* context = new (std::nothrow) StartContext{thread, lpStartAddress, lpParameter};
    if (context == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    const HANDLE handle = InsertHandle(thread);

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (dwStackSize != 0) {
        const SIZE_T page = static_cast<SIZE_T>(sysconf(_SC_PAGESIZE));
        SIZE_T stack = (dwStackSize + page - 1) / page * page;
        if (stack < static_cast<SIZE_T>(PTHREAD_STACK_MIN)) stack = static_cast<SIZE_T>(PTHREAD_STACK_MIN);
        pthread_attr_setstacksize(&attributes, stack);
    }
    pthread_t id;
    const int failed = pthread_create(&id, &attributes, ThreadEntry, context);
    pthread_attr_destroy(&attributes);
    if (failed) {
        delete context;
        CloseHandle(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (lpThreadId) *lpThreadId = thread->id;
    return handle;
}

DWORD WINAPI ResumeThread(HANDLE hThread) {
    auto thread = LookupThread(hThread);
    if (!thread) return static_cast<DWORD>(-1);
    std::uint32_t previous = thread->suspendCount.load(std::memory_order_relaxed);
    do {
        if (previous == 0) return 0;
    } while (!thread->suspendCount.compare_exchange_weak(previous, previous - 1, std::memory_order_release,
                                                         std::memory_order_relaxed));
    if (previous == 1) FutexWake(&thread->suspendCount, 1);
    return previous;
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    auto thread = LookupThread(hThread);
    if (!thread) return FALSE;
    if (lpExitCode == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpExitCode = thread->exitCode.load(std::memory_order_acquire);
    return TRUE;
}

HANDLE WINAPI GetCurrentThread(void) { return kCurrentThreadPseudoHandle; }

DWORD WINAPI GetCurrentThreadId(void) { return CurrentThreadRecord().thread->id; }

// Priorities are bookkeeping only: the value a caller set is what it reads back. Raising a
// thread's scheduling priority needs privileges these processes usually lack, and lowering it
// could not be undone without them.
int WINAPI GetThreadPriority(HANDLE hThread) {
    auto thread = LookupThread(hThread);
    if (!thread) return THREAD_PRIORITY_ERROR_RETURN;
    return thread->priority.load(std::memory_order_relaxed);
}

BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority) {
    auto thread = LookupThread(hThread);
    if (!thread) return FALSE;
    if (!IsThreadPriority(nPriority)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    thread->priority.store(nPriority, std::memory_order_relaxed);
    return TRUE;
}

}  // extern "C"
