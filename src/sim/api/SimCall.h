// The boundary of the simulator's C interface: every HXSIM_ function runs its body in SimCall,
// which turns what the simulator throws into codes, and reaches caller pointers only through the
// guard.
#pragma once

#include <halvex/sim_c.h>

#include <cstddef>
#include <new>
#include <span>
#include <stdexcept>
#include <string_view>
#include <type_traits>

#include "platform/Contain.h"
#include "platform/ForcedUnwind.h"
#include "platform/Guard.h"

namespace halvex::sim {

// The models report a board, sequencer or channel that is not there as out_of_range, and an
// argument they cannot take as invalid_argument. The caller's last error is kept: a C caller
// reads it for the library's calls, not ours. A body returns its code, or nothing for success.
template <typename Body>
DWORD SimCall(Body&& body) {
    const DWORD lastError = GetLastError();
    DWORD result = ERROR_INTERNAL_ERROR;
    auto guarded = [&] {
        try {
            if constexpr (std::is_void_v<std::invoke_result_t<Body&>>) {
                body();
                result = ERROR_SUCCESS;
            } else {
                result = body();
            }
        } catch (const std::out_of_range&) {
            result = ERROR_INVALID_INDEX;
        } catch (const std::invalid_argument&) {
            result = ERROR_INVALID_PARAMETER;
        } catch (const std::bad_alloc&) {
            result = ERROR_NOT_ENOUGH_MEMORY;
        } catch (...) {
            if (platform::ForcedUnwinding()) throw;
            result = ERROR_INTERNAL_ERROR;
        }
    };
    if (!platform::RunContainedBody(guarded)) result = ERROR_INTERNAL_ERROR;
    SetLastError(lastError);
    return result;
}

static_assert(sizeof(std::size_t) == sizeof(UINT64), "board positions pass through unchanged");
inline std::size_t Position(UINT64 board) { return static_cast<std::size_t>(board); }

// Optional results: null means not wanted; anything else must take the store.
inline bool Writable(void* p, std::size_t size) { return p == nullptr || platform::CanStore(p, size); }

template <typename T>
bool StoreIfWanted(T* p, const T& value) {
    return p == nullptr || platform::GuardedStoreValue(p, value);
}

inline DWORD Stored(bool stored) { return stored ? DWORD{ERROR_SUCCESS} : DWORD{ERROR_INVALID_ADDRESS}; }

// A list into the caller's room of `max` elements: its length into *pCount always, the
// elements only when they all fit (ERROR_MORE_DATA otherwise).
template <typename T>
DWORD StoreList(std::span<const T> items, T* p, UINT64 max, UINT64* pCount) {
    if (!platform::GuardedStoreValue<UINT64>(pCount, items.size())) return ERROR_INVALID_ADDRESS;
    if (items.size() > max) return ERROR_MORE_DATA;
    if (items.empty()) return ERROR_SUCCESS;
    return Stored(platform::GuardedStore(p, items.data(), items.size_bytes()));
}

// Text NUL-terminated into the caller's room of `capacity` characters, its length (without the
// NUL) into *pLength always.
template <typename Char>
DWORD StoreText(std::basic_string_view<Char> text, Char* p, DWORD capacity, DWORD* pLength) {
    if (!platform::GuardedStoreValue<DWORD>(pLength, static_cast<DWORD>(text.size()))) return ERROR_INVALID_ADDRESS;
    if (text.size() >= capacity) return ERROR_MORE_DATA;
    const Char nul{};
    return Stored(platform::GuardedStore(p, text.data(), text.size() * sizeof(Char)) &&
                  platform::GuardedStore(p + text.size(), &nul, sizeof nul));
}

// A NUL-terminated text of the caller's, read through the guard; false when it cannot be read.
template <typename Char>
bool LoadText(const Char* p, std::basic_string<Char>& text) {
    text.clear();
    if (p == nullptr) return false;
    for (;; ++p) {
        Char c{};
        if (!platform::GuardedLoad(&c, p, sizeof c)) return false;
        if (c == Char{}) return true;
        text.push_back(c);
    }
}

}  // namespace halvex::sim
