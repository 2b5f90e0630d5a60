#include "adc/ChunkPool.h"

#include <new>

#include "core/Core.h"

namespace halvex {

namespace {
std::atomic<int64_t> liveChunks{0};
std::atomic<int64_t> livePools{0};

// A push or kill counts only on a pool that has a semaphore.
void ReleaseOnce(HANDLE semaphore) {
    if (semaphore != INVALID_HANDLE_VALUE) ReleaseSemaphore(semaphore, 1, nullptr);
}
}  // namespace

void* AllocChunk(DWORD size) {
    // A zero-byte request still gives a distinct block: a queued chunk pointer is never null.
    void* chunk = LocalAlloc(LMEM_FIXED, size == 0 ? 1 : size);
    if (chunk != nullptr) liveChunks.fetch_add(1, std::memory_order_relaxed);
    return chunk;
}

void FreeChunk(void* chunk) {
    if (chunk == nullptr) return;
    LocalFree(chunk);
    liveChunks.fetch_sub(1, std::memory_order_relaxed);
}

int64_t LiveChunkCount() { return liveChunks.load(); }
int64_t LivePoolCount() { return livePools.load(); }

TChunkPool::TChunkPool(TCounting counting) {
    hPoolMutex = CreateMutexW(nullptr, FALSE, nullptr);
    if (hPoolMutex == nullptr) {
        hPoolMutex = INVALID_HANDLE_VALUE;
        throw std::bad_alloc();
    }
    if (counting == pcCounted) {
        hPoolSem = CreateSemaphoreW(nullptr, 0, 0xFFFFFF, nullptr);
        if (hPoolSem == nullptr) {
            hPoolSem = INVALID_HANDLE_VALUE;
            CloseAndInvalidate(hPoolMutex);
            throw std::bad_alloc();
        }
    }
    livePools.fetch_add(1, std::memory_order_relaxed);
}

TChunkPool::~TChunkPool() {
    // Closed first, so the pops below do not wait on it.
    CloseAndInvalidate(hPoolSem);
    while (void* chunk = PopLast()) FreeChunk(chunk);
    CloseAndInvalidate(hPoolMutex);
    livePools.fetch_sub(1, std::memory_order_relaxed);
}

TPAcqChunkLink TChunkPool::NewLink(void* pData) {
    auto* link = static_cast<TPAcqChunkLink>(LocalAlloc(LMEM_FIXED, sizeof(TAcqChunkLink)));
    if (link == nullptr) throw std::bad_alloc();
    link->pPrev = nullptr;
    link->pNext = nullptr;
    link->pData = pData;
    return link;
}

void* TChunkPool::TakeLink(TPAcqChunkLink link) {
    if (link == nullptr) return nullptr;
    void* chunk = link->pData;
    LocalFree(link);
    return chunk;
}

void TChunkPool::PushLast(void* pData) {
    TPAcqChunkLink link = NewLink(pData);
    {
        MutexHold hold(hPoolMutex);
        link->pPrev = pLast;
        if (pLast != nullptr)
            pLast->pNext = link;
        else
            pFirst = link;
        pLast = link;
        ++count_;
    }
    ReleaseOnce(hPoolSem);
}

void TChunkPool::PushFirst(void* pData) {
    TPAcqChunkLink link = NewLink(pData);
    {
        MutexHold hold(hPoolMutex);
        link->pNext = pFirst;
        if (pFirst != nullptr)
            pFirst->pPrev = link;
        else
            pLast = link;
        pFirst = link;
        ++count_;
    }
    ReleaseOnce(hPoolSem);
}

void TChunkPool::PushKill() { ReleaseOnce(hPoolSem); }

void* TChunkPool::PopFirst() {
    if (hPoolSem != INVALID_HANDLE_VALUE) WaitForSingleObject(hPoolSem, INFINITE);
    TPAcqChunkLink link;
    {
        MutexHold hold(hPoolMutex);
        link = pFirst;
        if (link != nullptr) {
            pFirst = link->pNext;
            --count_;
        }
        if (pFirst != nullptr)
            pFirst->pPrev = nullptr;
        else
            pLast = nullptr;
    }
    return TakeLink(link);
}

void* TChunkPool::PopLast() {
    if (hPoolSem != INVALID_HANDLE_VALUE) WaitForSingleObject(hPoolSem, INFINITE);
    TPAcqChunkLink link;
    {
        MutexHold hold(hPoolMutex);
        link = pLast;
        if (link != nullptr) {
            pLast = link->pPrev;
            --count_;
        }
        if (pLast != nullptr)
            pLast->pNext = nullptr;
        else
            pFirst = nullptr;
    }
    return TakeLink(link);
}

std::size_t TChunkPool::Count() {
    MutexHold hold(hPoolMutex);
    return count_;
}

bool TChunkPool::bGotData() {
    MutexHold hold(hPoolMutex);
    return pLast != nullptr;
}

TPAcqChunkLink TChunkPool::DetachAll() {
    MutexHold hold(hPoolMutex);
    TPAcqChunkLink tail = pLast;
    pFirst = nullptr;
    pLast = nullptr;
    count_ = 0;
    return tail;
}

void TChunkPool::FreeChain(TPAcqChunkLink pLink) {
    while (pLink != nullptr) {
        TPAcqChunkLink prev = pLink->pPrev;
        FreeChunk(pLink->pData);
        LocalFree(pLink);
        pLink = prev;
    }
}

}  // namespace halvex
