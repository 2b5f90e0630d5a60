// The diagnostic log: one thread per process that writes posted lines, in posting order, as
// values under HKEY_CURRENT_USER "Software\Orvande\Halvex\". Posting never waits for the
// registry.
#pragma once

#include <windows.h>

#include <string>

#include "core/Core.h"

namespace halvex {

struct TLogLink {
    TLogLink* pNext = nullptr;
    std::u16string LogStr;
};

class TLogThread : public TWorkerThread {
public:
    // Creates the handles, then starts the thread, so it never runs before they exist.
    TLogThread();
    // Writes every line queued before it began, then ends the thread and frees everything.
    ~TLogThread() override;

    // Queue one line; any thread. Called on a null object it does nothing.
    void PostLog(std::u16string LogStr);
    // Ask the thread to end once every line queued before it is written; any thread.
    void PostKill();

protected:
    void Execute() override;

private:
    TLogLink* TakeEmptyLink();
    TLogLink* PopFirstLink();
    void ReturnEmptyLink(TLogLink* link);
    static void FreeLinks(TLogLink* chain);

    TLogLink* pEmptyLink = nullptr;  // free list, last in first out; guarded by hEmptyMutex
    HANDLE hEmptyMutex = INVALID_HANDLE_VALUE;
    TLogLink* pFirstLink = nullptr;  // oldest queued line; guarded by hQueueMutex
    TLogLink* pLastLink = nullptr;   // newest queued line; guarded by hQueueMutex
    HANDLE hQueueMutex = INVALID_HANDLE_VALUE;
    HANDLE hQueueSem = INVALID_HANDLE_VALUE;  // one unit per queued line and per kill request
};

// The process's log thread, from start-up to unload; null outside.
extern TLogThread* LogThread;

// PostLog / PostKill that tolerate a null log thread.
void PostLog(TLogThread* log, std::u16string line);
void PostKill(TLogThread* log);

}  // namespace halvex
