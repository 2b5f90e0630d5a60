#include "core/CallFrame.h"

namespace halvex {

DWORD CheckBoardIndex(UINT64 iBoard) {
    try {
        const DWORD result = iBoard < Devices.size() ? ERROR_SUCCESS : ERROR_INVALID_INDEX;
        SetLastError(result);
        return result;
    } catch (...) {
        if (halvex::platform::ForcedUnwinding()) throw;
        return ERROR_INTERNAL_ERROR;
    }
}

DWORD CheckSequencerIndex(UINT64 iBoard, DWORD iSequencer) {
    try {
        const DWORD board = CheckBoardIndex(iBoard);
        if (board != ERROR_SUCCESS) return board;
        const DWORD result = iSequencer < 2 ? ERROR_SUCCESS : ERROR_INVALID_INDEX;
        SetLastError(result);
        return result;
    } catch (...) {
        if (halvex::platform::ForcedUnwinding()) throw;
        return ERROR_INTERNAL_ERROR;
    }
}

TimeCriticalSection::TimeCriticalSection() : previous_(GetThreadPriority(GetCurrentThread())) {
    if (previous_ != THREAD_PRIORITY_TIME_CRITICAL)
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
}

TimeCriticalSection::~TimeCriticalSection() {
    if (previous_ != THREAD_PRIORITY_TIME_CRITICAL) SetThreadPriority(GetCurrentThread(), previous_);
}

}  // namespace halvex
