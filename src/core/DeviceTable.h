// The device table: one record per kept board with what the board is (identity, handle,
// register layout) and the locks its calls take. What the modules keep per board (the
// sequencers' acquisitions, the output ranges) lives in their own per-board tables.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

namespace halvex {

enum TImmediateMode : uint8_t { imUnknown = 0, imNative16 = 1, imNative32 = 2, imEmulated = 3 };
enum TRegisterMap : uint8_t { rmUnknown = 0, rmLayout1 = 1, rmLayout2 = 2, rmLayout3 = 3 };

// Layouts 2 and 3 have 32-bit start/stop registers: only they can stream.
constexpr bool HasWideStartStop(TRegisterMap map) { return map == rmLayout2 || map == rmLayout3; }

// How many rows of eight an immediate scan fills on a layout; 0 for a layout scans do not know.
constexpr DWORD ScanRows(TRegisterMap map) {
    switch (map) {
        case rmLayout1:
        case rmLayout3:
            return 2;
        case rmLayout2:
            return 1;
        default:
            return 0;
    }
}

struct TDeviceData {
    std::u16string SymbolicLink;
    HANDLE hDevice = INVALID_HANDLE_VALUE;
    DWORD DeviceID = 0;
    DWORD BaseClock = 0;
    TImmediateMode ImmediateMode = imNative16;
    TRegisterMap RegisterMap = rmLayout1;
    // The board lock, and one lock per sequencer; the board lock is taken first.
    HANDLE hThreadingMutex = INVALID_HANDLE_VALUE;
    HANDLE hSequencerMutex[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
};

// A table with one element per kept board, the index being the board index. Built at start-up,
// never resized until unload, so every thread reads its length and constant fields without a
// lock. Elements are never moved (they may hold atomics and are referenced by index from other
// threads). Its storage is released explicitly at the end of unload (Release), never by a
// static destructor, which could run before the unload notification.
template <typename T>
class TBoardTable {
public:
    constexpr TBoardTable() : storage_() {}
    ~TBoardTable() {}
    TBoardTable(const TBoardTable&) = delete;
    TBoardTable& operator=(const TBoardTable&) = delete;

    T& operator[](std::size_t index) { return storage_.elements[index]; }
    std::size_t size() const { return storage_.elements.size(); }
    auto begin() { return storage_.elements.begin(); }
    auto end() { return storage_.elements.end(); }
    // Fresh elements, `count` of them.
    void Reset(std::size_t count) { storage_.elements = std::vector<T>(count); }
    // Keeps the first `count` elements, destroying the others from the end.
    void Trim(std::size_t count) {
        while (storage_.elements.size() > count) storage_.elements.pop_back();
    }
    void Release() {
        storage_.elements.clear();
        storage_.elements.shrink_to_fit();
    }

private:
    // Holds the vector without ever running its destructor.
    union Storage {
        constexpr Storage() : elements() {}
        ~Storage() {}
        std::vector<T> elements;
    } storage_;
};

extern TBoardTable<TDeviceData> Devices;
// 0 until start-up ran.
extern BYTE OSVersionClass;

int32_t CloseAndInvalidate(HANDLE& handle);
// The same for a driver handle, which the driver port closes.
int32_t CloseDeviceAndInvalidate(HANDLE& handle);

// An event, semaphore or mutex its holder owns, closed with the holder.
class TOwnedHandle {
public:
    explicit TOwnedHandle(HANDLE handle = nullptr) noexcept : handle_(handle) {}
    ~TOwnedHandle() {
        if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    TOwnedHandle(const TOwnedHandle&) = delete;
    TOwnedHandle& operator=(const TOwnedHandle&) = delete;
    HANDLE Get() const { return handle_; }

private:
    HANDLE handle_;
};

// A kernel object the caller cannot do without: throws std::bad_alloc when it was not created.
inline HANDLE Required(HANDLE handle) {
    if (handle == nullptr) throw std::bad_alloc();
    return handle;
}

}  // namespace halvex
