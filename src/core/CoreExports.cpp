// The board-information exports: identifier, name from the board-finder list, serial number, reset.
#include <halvex/halvex.h>

#include <memory>
#include <string>
#include <vector>

#include "board/BoardList.h"
#include "board/Registers.h"
#include "core/CallFrame.h"
#include "core/Registers.h"
#include "platform/Guard.h"

namespace halvex {

namespace {

LPCWSTR W(const char16_t* text) { return reinterpret_cast<LPCWSTR>(text); }

// Reads a string value (REG_SZ or REG_EXPAND_SZ, not expanded), cut at its first NUL. A value
// that is missing reads as empty; any other failure throws.
std::u16string ReadStringValue(HKEY key, const std::u16string& name) {
    DWORD type = 0;
    DWORD size = 0;
    LSTATUS status = RegQueryValueExW(key, W(name.c_str()), nullptr, &type, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) return {};
    if (status != ERROR_SUCCESS) throw status;
    if (type != REG_SZ && type != REG_EXPAND_SZ) throw static_cast<LSTATUS>(ERROR_INVALID_DATA);
    std::u16string text(size / sizeof(char16_t) + 1, u'\0');
    size = static_cast<DWORD>(text.size() * sizeof(char16_t));
    status = RegQueryValueExW(key, W(name.c_str()), nullptr, &type, reinterpret_cast<LPBYTE>(text.data()), &size);
    if (status != ERROR_SUCCESS) throw status;
    text.resize(text.find(u'\0') == std::u16string::npos ? text.size() : text.find(u'\0'));
    return text;
}

struct KeyCloser {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
using KeyHold = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

KeyHold OpenMachineKey(const std::u16string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(path.c_str()), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) !=
        ERROR_SUCCESS)
        return KeyHold{};
    return KeyHold{key};
}

// Zeroes a caller's buffer without allocating its size first: the size is the caller's word.
bool GuardedZero(void* buffer, std::size_t size) {
    static const BYTE zeros[4096] = {};
    auto* p = static_cast<BYTE*>(buffer);
    while (size > 0) {
        const std::size_t n = size < sizeof zeros ? size : sizeof zeros;
        if (!platform::GuardedStore(p, zeros, n)) return false;
        p += n;
        size -= n;
    }
    return true;
}

// The board's name from the board-finder list: 0, or 67 when the list is missing. A value of
// another type throws.
DWORD LookUpBoardName(UINT64 iBoard, std::u16string& name) {
    KeyHold slotscan = OpenMachineKey(board::kSlotscanKey);
    if (!slotscan) return ERROR_BAD_NET_NAME;
    const std::u16string company = ReadStringValue(slotscan.get(), board::kCompanyValue);
    slotscan.reset();
    KeyHold cardlist = OpenMachineKey(board::CardlistKey(company));
    if (!cardlist) return ERROR_BAD_NET_NAME;
    name = ReadStringValue(cardlist.get(), board::BoardListValueName(Devices[iBoard].DeviceID));
    return ERROR_SUCCESS;
}

// Text in the ANSI code page, with where each character ends.
struct AnsiText {
    std::string bytes;
    std::vector<std::size_t> characterEnds;
};

// Converts character by character (a surrogate pair is one character), each sized by a first
// call, so a character of any width in any ANSI code page fits. The last error stays as it was.
bool ToAnsi(const std::u16string& text, AnsiText& ansi) {
    const DWORD lastError = GetLastError();
    bool converted = true;
    for (std::size_t at = 0; at < text.size() && converted;) {
        const bool pair = text[at] >= 0xD800 && text[at] <= 0xDBFF && at + 1 < text.size() &&
                          text[at + 1] >= 0xDC00 && text[at + 1] <= 0xDFFF;
        const int units = pair ? 2 : 1;
        const auto* wide = reinterpret_cast<LPCWCH>(text.data() + at);
        const int size = WideCharToMultiByte(CP_ACP, 0, wide, units, nullptr, 0, nullptr, nullptr);
        const std::size_t start = ansi.bytes.size();
        if (size > 0) {
            ansi.bytes.resize(start + static_cast<std::size_t>(size));
            converted = WideCharToMultiByte(CP_ACP, 0, wide, units, ansi.bytes.data() + start, size, nullptr,
                                            nullptr) == size;
        } else {
            converted = false;
        }
        ansi.characterEnds.push_back(ansi.bytes.size());
        at += static_cast<std::size_t>(units);
    }
    SetLastError(lastError);
    return converted;
}

}  // namespace

}  // namespace halvex

using namespace halvex;

extern "C" {

HALVEX_API INT64 WINAPI BRD_GetHighestBoardIndex(void) {
    if (platform::InForkedChild()) return RefuseInForkedChild<INT64>(-1);
    return static_cast<INT64>(Devices.size()) - 1;
}

HALVEX_API DWORD WINAPI HX_GetBoardInfo(UINT64 iBoard, HX_BOARD_INFO* pInfo) {
    return BoardCall(iBoard, [&]() -> DWORD {
        return AnswerSizedRecord(pInfo, [&](HX_BOARD_INFO& info) -> DWORD {
            const TDeviceData& device = Devices[iBoard];
            info.DeviceID = device.DeviceID;
            info.Layout = device.RegisterMap;
            info.CanStream = HasWideStartStop(device.RegisterMap);
            info.ScanRows = ScanRows(device.RegisterMap);
            info.BaseClock = device.BaseClock;
            return ERROR_SUCCESS;
        });
    });
}

HALVEX_API DWORD WINAPI BRD_GetDeviceID(UINT64 iBoard, DWORD* pDeviceID) {
    return BoardCall(iBoard, [&]() -> DWORD {
        if (pDeviceID == nullptr) return ERROR_INVALID_ADDRESS;
        return platform::GuardedStoreValue(pDeviceID, Devices[iBoard].DeviceID) ? ERROR_SUCCESS
                                                                                : ERROR_INVALID_ADDRESS;
    });
}

HALVEX_API DWORD WINAPI BRD_GetNameW(UINT64 iBoard, DWORD NameSize, WCHAR* pName, DWORD* pNameLength) {
    return BoardCall(iBoard, [&]() -> DWORD {
        if (pNameLength != nullptr && !platform::GuardedStoreValue<DWORD>(pNameLength, 0))
            return ERROR_INVALID_ADDRESS;
        if (NameSize > 0 && pName != nullptr && !GuardedZero(pName, NameSize * sizeof(WCHAR)))
            return ERROR_INVALID_ADDRESS;

        std::u16string name;
        if (const DWORD found = LookUpBoardName(iBoard, name)) return found;

        const DWORD length = static_cast<DWORD>(name.size());
        if (pNameLength != nullptr && !platform::GuardedStoreValue(pNameLength, length))
            return ERROR_INVALID_ADDRESS;
        const DWORD copied = NameSize < length ? NameSize : length;
        if (copied > 0 && pName != nullptr &&
            !platform::GuardedStore(pName, name.data(), copied * sizeof(char16_t)))
            return ERROR_INVALID_ADDRESS;
        return ERROR_SUCCESS;
    });
}

// The name is converted on its own, so NameSize costs nothing beyond the bytes copied.
HALVEX_API DWORD WINAPI BRD_GetNameA(UINT64 iBoard, DWORD NameSize, char* pName, DWORD* pNameLength) {
    return BoardCall(iBoard, [&]() -> DWORD {
        if (pNameLength != nullptr && !platform::GuardedStoreValue<DWORD>(pNameLength, 0))
            return ERROR_INVALID_ADDRESS;

        std::u16string name;
        if (const DWORD found = LookUpBoardName(iBoard, name)) return found;
        AnsiText ansi;
        if (!ToAnsi(name, ansi)) return ERROR_INTERNAL_ERROR;

        // On a double-byte code page the length is what the name takes in bytes, which is what a
        // caller sizes its buffer by; on a single-byte one it is the length in characters.
        const auto length = static_cast<DWORD>(ansi.bytes.size());
        if (pNameLength != nullptr && !platform::GuardedStoreValue(pNameLength, length))
            return ERROR_INVALID_ADDRESS;
        if (pName == nullptr) return ERROR_SUCCESS;
        // Whole characters only: half of a double-byte character would read as another one.
        std::size_t copied = 0;
        for (const std::size_t end : ansi.characterEnds) {
            if (end > NameSize) break;
            copied = end;
        }
        if (copied > 0 && !platform::GuardedStore(pName, ansi.bytes.data(), copied)) return ERROR_INVALID_ADDRESS;
        return ERROR_SUCCESS;
    });
}

HALVEX_API DWORD WINAPI BRD_GetSerialNumber(UINT64 iBoard, UINT64* pSerialNumber) {
    return BoardCall(iBoard, [&]() -> DWORD {
        if (pSerialNumber != nullptr && !platform::GuardedStoreValue<UINT64>(pSerialNumber, 0))
            return ERROR_INVALID_ADDRESS;
        return ERROR_NOT_SUPPORTED;
    });
}

HALVEX_API DWORD WINAPI BRD_Reset(UINT64 iBoard) {
    return BoardCall(iBoard, [&]() -> DWORD {
        switch (Devices[iBoard].RegisterMap) {
            case rmLayout1:
                return RegWrite(1, iBoard, board::kResetRegister, board::kResetByte);
            case rmLayout2:
            case rmLayout3:
                return RegWrite(4, iBoard, board::kResetRegister, board::kResetWord);
            default:
                return ERROR_BAD_TOKEN_TYPE;
        }
    });
}

}  // extern "C"
