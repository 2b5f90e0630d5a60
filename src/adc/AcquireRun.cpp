#include "adc/AcquireRun.h"

#include <chrono>

namespace halvex {

namespace {
std::atomic<int64_t> liveThreads{0};
std::atomic<TThreadFaultForTest> gInjectedFault{TThreadFaultForTest::None};
int* volatile gNowhere = nullptr;
}  // namespace

bool IsCallbackType(DWORD tag) {
    return tag == kCallbackTypeRaw || tag == kCallbackTypeCounts || tag == kCallbackTypeVolts;
}

TAcquireRecord::TAcquireRecord(DWORD chunkSize, bool callback) : ChunkSize(chunkSize), partsLeft_(callback ? 2 : 1) {}

void TAcquireRecord::PartDone() {
    {
        std::lock_guard lock(mutex_);
        --partsLeft_;
    }
    settled_.notify_all();
}

bool TAcquireRecord::WaitSettled(DWORD timeoutMs) {
    std::unique_lock lock(mutex_);
    const auto done = [&] { return partsLeft_ <= 0; };
    if (timeoutMs == INFINITE) {
        settled_.wait(lock, done);
        return true;
    }
    return settled_.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
}

void TAcquireRecord::Failed(DWORD code) {
    LastFailure.store(code);
    FailedTransfers.fetch_add(1);
}

TLiveStreamThread::TLiveStreamThread() { liveThreads.fetch_add(1); }

TLiveStreamThread::~TLiveStreamThread() { liveThreads.fetch_sub(1); }

int64_t LiveStreamThreadCount() { return liveThreads.load(); }

void InjectThreadFaultForTest(TThreadFaultForTest where) { gInjectedFault.store(where); }

void FaultIfInjected(TThreadFaultForTest where) {
    if (gInjectedFault.load(std::memory_order_relaxed) != where) return;
    TThreadFaultForTest expected = where;
    if (gInjectedFault.compare_exchange_strong(expected, TThreadFaultForTest::None)) *gNowhere = 1;
}

}  // namespace halvex
