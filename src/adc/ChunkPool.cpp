#include "adc/ChunkPool.h"

#include <cstddef>
#include <cstdint>
#include <new>

#include "core/CallFrame.h"
#include "port/DriverPort.h"

namespace halvex {

namespace {
std::atomic<int64_t> liveChunks{0};
std::atomic<int64_t> livePools{0};

// A push or kill counts only on a pool that has a semaphore.
void ReleaseOnce(HANDLE semaphore) {
    if (semaphore != INVALID_HANDLE_VALUE) ReleaseSemaphore(semaphore, 1, nullptr);
}
}  // namespace

// The chunk's information sits in one cache line of its own in front of the samples, so the
// samples keep the block's alignment and the driver never writes the information.
constexpr std::size_t kInfoBytes = 64;
static_assert(sizeof(TChunkInfo) <= kInfoBytes);

void* AllocChunk(DWORD size) {
    auto* block = static_cast<std::byte*>(port::AllocTransferMemory(kInfoBytes + size));
    if (block == nullptr) return nullptr;
    new (block) TChunkInfo;
    liveChunks.fetch_add(1, std::memory_order_relaxed);
    return block + kInfoBytes;
}

void FreeChunk(void* chunk) {
    if (chunk == nullptr) return;
    port::FreeTransferMemory(static_cast<std::byte*>(chunk) - kInfoBytes);
    liveChunks.fetch_sub(1, std::memory_order_relaxed);
}

TChunkInfo& ChunkInfoOf(void* chunk) {
    return *std::launder(reinterpret_cast<TChunkInfo*>(static_cast<std::byte*>(chunk) - kInfoBytes));
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
    while (pSpare != nullptr) {
        TPAcqChunkLink next = pSpare->pNext;
        LocalFree(pSpare);
        pSpare = next;
    }
    CloseAndInvalidate(hPoolMutex);
    livePools.fetch_sub(1, std::memory_order_relaxed);
}

bool TChunkPool::Push(void* pData, bool atHead, std::size_t limit) {
    // A link of our own is allocated outside the hold, and only when no spare one is left.
    TPAcqChunkLink fresh = nullptr;
    for (;;) {
        bool pushed = false;
        bool full = false;
        {
            MutexHold hold(hPoolMutex);
            if (count_ >= limit) {
                full = true;
            } else {
                TPAcqChunkLink link = fresh;
                if (link == nullptr && pSpare != nullptr) {
                    link = pSpare;
                    pSpare = link->pNext;
                    --spareCount_;
                }
                if (link != nullptr) {
                    fresh = nullptr;
                    link->pData = pData;
                    if (atHead) {
                        link->pPrev = nullptr;
                        link->pNext = pFirst;
                        if (pFirst != nullptr)
                            pFirst->pPrev = link;
                        else
                            pLast = link;
                        pFirst = link;
                    } else {
                        link->pNext = nullptr;
                        link->pPrev = pLast;
                        if (pLast != nullptr)
                            pLast->pNext = link;
                        else
                            pFirst = link;
                        pLast = link;
                    }
                    ++count_;
                    pushed = true;
                }
            }
        }
        if (pushed) {
            ReleaseOnce(hPoolSem);
            return true;
        }
        if (full) {
            if (fresh != nullptr) LocalFree(fresh);
            return false;
        }
        fresh = static_cast<TPAcqChunkLink>(LocalAlloc(LMEM_FIXED, sizeof(TAcqChunkLink)));
        if (fresh == nullptr) throw std::bad_alloc();
    }
}

void TChunkPool::PushLast(void* pData) { Push(pData, false, SIZE_MAX); }

void TChunkPool::PushFirst(void* pData) { Push(pData, true, SIZE_MAX); }

bool TChunkPool::PushLastWithin(void* pData, std::size_t limit) { return Push(pData, false, limit); }

void TChunkPool::PushKill() { ReleaseOnce(hPoolSem); }

void* TChunkPool::Unlink(bool atHead, TPAcqChunkLink& pDrop) {
    TPAcqChunkLink link = atHead ? pFirst : pLast;
    if (link == nullptr) return nullptr;
    if (atHead) {
        pFirst = link->pNext;
        if (pFirst != nullptr)
            pFirst->pPrev = nullptr;
        else
            pLast = nullptr;
    } else {
        pLast = link->pPrev;
        if (pLast != nullptr)
            pLast->pNext = nullptr;
        else
            pFirst = nullptr;
    }
    --count_;
    void* chunk = link->pData;
    if (spareCount_ < kMaxSpareLinks) {
        link->pNext = pSpare;
        pSpare = link;
        ++spareCount_;
    } else {
        pDrop = link;
    }
    return chunk;
}

void* TChunkPool::PopFirst() {
    if (hPoolSem != INVALID_HANDLE_VALUE) WaitForSingleObject(hPoolSem, INFINITE);
    TPAcqChunkLink drop = nullptr;
    void* chunk;
    {
        MutexHold hold(hPoolMutex);
        chunk = Unlink(true, drop);
    }
    if (drop != nullptr) LocalFree(drop);
    return chunk;
}

void* TChunkPool::PopLast(std::size_t* pLeft) {
    if (hPoolSem != INVALID_HANDLE_VALUE) WaitForSingleObject(hPoolSem, INFINITE);
    TPAcqChunkLink drop = nullptr;
    void* chunk;
    {
        MutexHold hold(hPoolMutex);
        chunk = Unlink(false, drop);
        if (pLeft != nullptr) *pLeft = count_;
    }
    if (drop != nullptr) LocalFree(drop);
    return chunk;
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
