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

// One queued chunk. A pop keeps a few links aside for the next pushes, so a chunk going round
// the pools costs no heap call; links taken by DetachAll are freed with their chain.
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

// What the acquisition learnt of a filled chunk, kept in front of its samples so that it travels
// with the chunk through every pool. Written by the acquisition thread before the chunk is
// handed on, read by whoever pops it.
struct TChunkInfo {
    DWORD Bytes = 0;  // whole samples the transfer delivered, in bytes; never above the chunk size
    DWORD Flags = 0;  // HX_CHUNK_SHORT, HX_CHUNK_LAST
    uint64_t Sequence = 0;
    uint64_t FirstSample = 0;
    uint64_t CompletedNs = 0;
};
TChunkInfo& ChunkInfoOf(void* chunk);

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
    // PushLast unless `limit` chunks are queued already; false then, and the chunk stays the
    // caller's. Check and push are one hold of the mutex.
    bool PushLastWithin(void* pData, std::size_t limit);
    // The order to end: one semaphore count with nothing queued. No effect without a semaphore.
    void PushKill();
    // With a semaphore these wait for a count first; null when the list is empty. `pLeft`, when
    // given, receives the chunks still queued after the pop, read in the same hold.
    void* PopFirst();
    void* PopLast(std::size_t* pLeft = nullptr);
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
    // Queues at the tail or the head unless `limit` chunks are queued; false when full.
    bool Push(void* pData, bool atHead, std::size_t limit);
    // Unlinks the head or the tail, with the mutex held; the link goes aside (or is returned
    // in `pDrop` for the caller to free after the hold).
    void* Unlink(bool atHead, TPAcqChunkLink& pDrop);

    static constexpr std::size_t kMaxSpareLinks = 64;

    TPAcqChunkLink pFirst = nullptr;  // guarded by hPoolMutex
    TPAcqChunkLink pLast = nullptr;   // guarded by hPoolMutex
    std::size_t count_ = 0;           // guarded by hPoolMutex
    TPAcqChunkLink pSpare = nullptr;  // guarded by hPoolMutex; chained through pNext
    std::size_t spareCount_ = 0;      // guarded by hPoolMutex
};

// Pools and links alive right now, for leak checks in tests.
int64_t LivePoolCount();

}  // namespace halvex
