#include "log/LogThreads.h"

#include <utility>

#include "core/CallFrame.h"
#include "platform/HexText.h"

namespace halvex {

TLogThread* LogThread = nullptr;

namespace {

constexpr LONG kQueueSemMaximum = 0x0FFFFFFF;
const char16_t kLogKey[] = u"Software\\Orvande\\Halvex\\";

LPCWSTR W(const char16_t* text) { return reinterpret_cast<LPCWSTR>(text); }

std::u16string LineName(DWORD n) { return HexText<char16_t>(n, 8); }

}  // namespace

TLogThread::TLogThread()
    : hEmptyMutex(CreateMutexW(nullptr, FALSE, nullptr)),
      hQueueMutex(CreateMutexW(nullptr, FALSE, nullptr)),
      hQueueSem(CreateSemaphoreW(nullptr, 0, kQueueSemMaximum, nullptr)),
      thread_([this] { Body(); }, [this] { PostKill(); }) {
    thread_.Start();
}

TLogThread::TLinkChain::~TLinkChain() {
    while (pFirst != nullptr) {
        TLogLink* next = pFirst->pNext;
        delete pFirst;
        pFirst = next;
    }
}

void TLogThread::PostLog(std::u16string LogStr) {
    TLogLink* link = TakeEmptyLink();
    link->pNext = nullptr;
    link->LogStr = std::move(LogStr);
    {
        MutexHold queue(hQueueMutex.Get());
        if (pLastLink != nullptr)
            pLastLink->pNext = link;
        else
            queue_.pFirst = link;
        pLastLink = link;
    }
    // Only after the line is reachable, so a unit is never taken before its line.
    ReleaseSemaphore(hQueueSem.Get(), 1, nullptr);
}

void TLogThread::PostKill() { ReleaseSemaphore(hQueueSem.Get(), 1, nullptr); }

TLogLink* TLogThread::TakeEmptyLink() {
    {
        MutexHold empty(hEmptyMutex.Get());
        if (emptyLinks_.pFirst != nullptr) {
            TLogLink* link = emptyLinks_.pFirst;
            emptyLinks_.pFirst = link->pNext;
            return link;
        }
    }
    return new TLogLink();
}

TLogLink* TLogThread::PopFirstLink() {
    WaitForSingleObject(hQueueSem.Get(), INFINITE);
    MutexHold queue(hQueueMutex.Get());
    TLogLink* link = queue_.pFirst;
    if (link != nullptr) {
        queue_.pFirst = link->pNext;
        if (queue_.pFirst == nullptr) pLastLink = nullptr;
        link->pNext = nullptr;
    }
    return link;
}

void TLogThread::ReturnEmptyLink(TLogLink* link) {
    MutexHold empty(hEmptyMutex.Get());
    link->pNext = emptyLinks_.pFirst;
    emptyLinks_.pFirst = link;
}

void TLogThread::Body() {
    DWORD n = 0;
    HKEY key = nullptr;
    for (;;) {
        TLogLink* link = PopFirstLink();
        if (link == nullptr) break;  // a kill request
        if (key == nullptr &&
            RegCreateKeyExW(HKEY_CURRENT_USER, W(kLogKey), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key, nullptr) != ERROR_SUCCESS) {
            key = nullptr;
            ReturnEmptyLink(link);  // the line in hand is dropped
            break;
        }
        const std::u16string name = LineName(n);
        const DWORD textBytes = static_cast<DWORD>((link->LogStr.size() + 1) * sizeof(char16_t));
        if (RegSetValueExW(key, W(name.c_str()), 0, REG_SZ, reinterpret_cast<const BYTE*>(link->LogStr.c_str()),
                           textBytes) != ERROR_SUCCESS) {
            ReturnEmptyLink(link);
            break;
        }
        ++n;
        if (RegSetValueExW(key, nullptr, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&n), sizeof n) !=
            ERROR_SUCCESS) {
            ReturnEmptyLink(link);
            break;
        }
        link->LogStr.clear();
        ReturnEmptyLink(link);
    }
    if (key != nullptr) RegCloseKey(key);
}

void PostLog(TLogThread* log, std::u16string line) {
    if (log != nullptr) log->PostLog(std::move(line));
}

void PostKill(TLogThread* log) {
    if (log != nullptr) log->PostKill();
}

}  // namespace halvex
