// The diagnostic log: one thread per process that writes posted lines, in posting order, as
// values under HKEY_CURRENT_USER "Software\Orvande\Halvex\". Posting never waits for the
// registry.
#pragma once

#include <windows.h>

#include <string>

#include "core/DeviceTable.h"
#include "core/WorkerThread.h"

namespace halvex {

struct TLogLink {
    TLogLink* pNext = nullptr;
    std::u16string LogStr;
};

class TLogThread {
public:
    // Creates the handles, then starts the thread, so it never runs before they exist.
    TLogThread();
    // Writes every line queued before it began, then ends the thread and frees everything.
    ~TLogThread() = default;

    // Queue one line; any thread. Called on a null object it does nothing.
    void PostLog(std::u16string LogStr);
    // Ask the thread to end once every line queued before it is written; any thread.
    void PostKill();

private:
    // A list of links, freed with it.
    struct TLinkChain {
        TLinkChain() = default;
        ~TLinkChain();
        TLinkChain(const TLinkChain&) = delete;
        TLinkChain& operator=(const TLinkChain&) = delete;
        TLogLink* pFirst = nullptr;
    };

    void Body();
    TLogLink* TakeEmptyLink();
    TLogLink* PopFirstLink();
    void ReturnEmptyLink(TLogLink* link);

    TLinkChain emptyLinks_;  // free list, last in first out; guarded by hEmptyMutex
    TOwnedHandle hEmptyMutex;
    TLinkChain queue_;                // oldest queued line first; guarded by hQueueMutex
    TLogLink* pLastLink = nullptr;    // newest queued line; guarded by hQueueMutex
    TOwnedHandle hQueueMutex;
    TOwnedHandle hQueueSem;  // one unit per queued line and per kill request
    // Last: ended, with every line queued before the end written, before the rest is freed.
    TWorkerThread thread_;
};

// The process's log thread, from start-up to unload; null outside.
extern TLogThread* LogThread;

// PostLog / PostKill that tolerate a null log thread.
void PostLog(TLogThread* log, std::u16string line);
void PostKill(TLogThread* log);

}  // namespace halvex
