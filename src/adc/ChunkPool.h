// Chunk pools: how filled and empty sample chunks travel between the threads of an acquisition.
//
// A pool is a doubly linked list of chunk pointers guarded by its own mutex, held only for a
// few pointer moves. A pool that a consumer sleeps on also has a counting semaphore (given by
// its owner, never created here): every push releases it once, and a kill releases it without
// queuing anything, so a first-in first-out consumer sees every chunk pushed before the kill and
// then an empty pop, its order to end.
//
// Lock order: a sequencer lock may be held when a pool's mutex is taken, never the reverse.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace halvex {

struct TAcqChunkLink;
using TPAcqChunkLink = TAcqChunkLink*;

// One queued chunk. Allocated by the push that queues it, freed by whatever removes it.
struct TAcqChunkLink {
    TPAcqChunkLink pPrev;  // nearer the head, null at the head
    TPAcqChunkLink pNext;  // nearer the tail, null at the tail
    void* pData;           // the chunk
};

// Chunk memory: fixed local-heap blocks. Counted so tests can prove that every chunk of an
// acquisition is freed exactly once.
void* AllocChunk(DWORD size);
void FreeChunk(void* chunk);
int64_t LiveChunkCount();

class TChunkPool {
public:
    // A counted pool has its semaphore from construction, so no push or kill can go uncounted.
    // Throws std::bad_alloc when a kernel object cannot be created.
    enum TCounting { pcUncounted, pcCounted };
    explicit TChunkPool(TCounting counting = pcUncounted);
    // Frees every chunk still queued, then closes the semaphore (if any) and the mutex.
    virtual ~TChunkPool();
    TChunkPool(const TChunkPool&) = delete;
    TChunkPool& operator=(const TChunkPool&) = delete;

    void PushLast(void* pData);
    void PushFirst(void* pData);
    // The order to end: one semaphore count with nothing queued. No effect without a semaphore.
    void PushKill();
    // With a semaphore these wait for a count first; null when the list is empty.
    void* PopFirst();
    void* PopLast();
    bool bGotData();
    // Chunks queued now.
    std::size_t Count();

    // Takes the whole list at once and returns its tail (null when empty); the caller owns the
    // chain from there towards the head through pPrev. Does not touch the semaphore.
    TPAcqChunkLink DetachAll();
    // Frees a chain returned by DetachAll, chunks included.
    static void FreeChain(TPAcqChunkLink pLink);

    // Counting semaphore of a counted pool, else INVALID_HANDLE_VALUE. Closed by the destructor.
    HANDLE hPoolSem = INVALID_HANDLE_VALUE;
    // Guards pFirst, pLast and the links between them.
    HANDLE hPoolMutex = INVALID_HANDLE_VALUE;

private:
    TPAcqChunkLink NewLink(void* pData);
    void* TakeLink(TPAcqChunkLink link);

    TPAcqChunkLink pFirst = nullptr;  // guarded by hPoolMutex
    TPAcqChunkLink pLast = nullptr;   // guarded by hPoolMutex
    std::size_t count_ = 0;           // guarded by hPoolMutex
};

// Pools and links alive right now, for leak checks in tests.
int64_t LivePoolCount();

}  // namespace halvex
