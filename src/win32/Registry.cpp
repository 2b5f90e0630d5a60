// The registry: one in-memory store per process with the HKEY_LOCAL_MACHINE and
// HKEY_CURRENT_USER roots. Key and value names compare case-insensitively, as on Windows.
#include "Kernel.h"

#include <cstring>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace halvex::win32 {
namespace {

constexpr LSTATUS kErrorKeyDeleted = 1018;

struct RegistryValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

struct RegistryKey {
    // Keyed by folded name. A deleted key stays alive while handles refer to it, marked deleted.
    std::map<std::u16string, std::shared_ptr<RegistryKey>> subkeys;
    std::map<std::u16string, RegistryValue> values;
    bool deleted = false;
};

struct Registry {
    std::mutex lock;  // guards everything below and every key's contents
    std::shared_ptr<RegistryKey> localMachine = std::make_shared<RegistryKey>();
    std::shared_ptr<RegistryKey> currentUser = std::make_shared<RegistryKey>();
    std::unordered_map<std::uintptr_t, std::shared_ptr<RegistryKey>> openKeys;
};

Registry& TheRegistry() {
    static Registry* registry = new Registry;  // leaked: usable during static destruction
    return *registry;
}

// Folds the letters of ASCII and Latin-1, the names this library and its tools use.
char16_t FoldCase(char16_t c) {
    if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
    return c;
}

std::u16string FoldedName(LPCWSTR name) {
    std::u16string folded;
    if (name) {
        for (; *name; ++name) folded.push_back(FoldCase(*name));
    }
    return folded;
}

// Splits a backslash-separated path into folded components; empty components (a trailing
// backslash, say) are skipped.
std::vector<std::u16string> SplitPath(LPCWSTR path) {
    std::vector<std::u16string> parts;
    std::u16string part;
    for (; path && *path; ++path) {
        if (*path == u'\\') {
            if (!part.empty()) parts.push_back(std::move(part));
            part.clear();
        } else {
            part.push_back(FoldCase(*path));
        }
    }
    if (!part.empty()) parts.push_back(std::move(part));
    return parts;
}

// Registry lock held.
LSTATUS ResolveKey(HKEY hKey, std::shared_ptr<RegistryKey>& key) {
    Registry& registry = TheRegistry();
    if (hKey == HKEY_LOCAL_MACHINE) {
        key = registry.localMachine;
    } else if (hKey == HKEY_CURRENT_USER) {
        key = registry.currentUser;
    } else {
        auto found = registry.openKeys.find(reinterpret_cast<std::uintptr_t>(hKey));
        if (found == registry.openKeys.end()) return ERROR_INVALID_HANDLE;
        key = found->second;
    }
    return key->deleted ? kErrorKeyDeleted : ERROR_SUCCESS;
}

// Registry lock held.
HKEY OpenHandle(std::shared_ptr<RegistryKey> key) {
    const std::uintptr_t value = NextHandleValue();
    TheRegistry().openKeys.emplace(value, std::move(key));
    return reinterpret_cast<HKEY>(value);
}

void MarkDeleted(RegistryKey& key) {
    key.deleted = true;
    for (auto& [name, subkey] : key.subkeys) MarkDeleted(*subkey);
    key.subkeys.clear();
    key.values.clear();
}

}  // namespace

std::mutex& RegistryLock() { return TheRegistry().lock; }

}  // namespace halvex::win32

using namespace halvex::win32;

extern "C" {

LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(TheRegistry().lock);
    std::shared_ptr<RegistryKey> key;
    if (LSTATUS status = ResolveKey(hKey, key); status != ERROR_SUCCESS) return status;
    for (const auto& part : SplitPath(lpSubKey)) {
        auto found = key->subkeys.find(part);
        if (found == key->subkeys.end()) return ERROR_FILE_NOT_FOUND;
        key = found->second;
    }
    *phkResult = OpenHandle(std::move(key));
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM,
                               const LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
    if (lpSubKey == nullptr || phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(TheRegistry().lock);
    std::shared_ptr<RegistryKey> key;
    if (LSTATUS status = ResolveKey(hKey, key); status != ERROR_SUCCESS) return status;
    bool created = false;
    for (const auto& part : SplitPath(lpSubKey)) {
        auto& subkey = key->subkeys[part];
        if (!subkey) {
            subkey = std::make_shared<RegistryKey>();
            created = true;
        }
        key = subkey;
    }
    *phkResult = OpenHandle(std::move(key));
    if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(TheRegistry().lock);
    std::shared_ptr<RegistryKey> key;
    if (LSTATUS status = ResolveKey(hKey, key); status != ERROR_SUCCESS) return status;
    auto found = key->values.find(FoldedName(lpValueName));
    if (found == key->values.end()) return ERROR_FILE_NOT_FOUND;
    const RegistryValue& value = found->second;
    const auto size = static_cast<DWORD>(value.data.size());
    if (lpType) *lpType = value.type;
    if (lpData == nullptr) {
        if (lpcbData) *lpcbData = size;
        return ERROR_SUCCESS;
    }
    const DWORD room = *lpcbData;
    *lpcbData = size;
    if (room < size) return ERROR_MORE_DATA;
    if (size) std::memcpy(lpData, value.data.data(), size);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) {
    if (lpData == nullptr && cbData != 0) return ERROR_NOACCESS;
    std::lock_guard lock(TheRegistry().lock);
    std::shared_ptr<RegistryKey> key;
    if (LSTATUS status = ResolveKey(hKey, key); status != ERROR_SUCCESS) return status;
    RegistryValue& value = key->values[FoldedName(lpValueName)];
    value.type = dwType;
    value.data.assign(lpData, lpData + cbData);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
    std::lock_guard lock(TheRegistry().lock);
    std::shared_ptr<RegistryKey> key;
    if (LSTATUS status = ResolveKey(hKey, key); status != ERROR_SUCCESS) return status;
    const auto parts = SplitPath(lpSubKey);
    if (parts.empty()) {
        // Without a subkey the key itself stays and loses its contents.
        for (auto& [name, subkey] : key->subkeys) MarkDeleted(*subkey);
        key->subkeys.clear();
        key->values.clear();
        return ERROR_SUCCESS;
    }
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        auto found = key->subkeys.find(parts[i]);
        if (found == key->subkeys.end()) return ERROR_FILE_NOT_FOUND;
        key = found->second;
    }
    auto found = key->subkeys.find(parts.back());
    if (found == key->subkeys.end()) return ERROR_FILE_NOT_FOUND;
    MarkDeleted(*found->second);
    key->subkeys.erase(found);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    if (hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_CURRENT_USER) return ERROR_SUCCESS;
    std::lock_guard lock(TheRegistry().lock);
    return TheRegistry().openKeys.erase(reinterpret_cast<std::uintptr_t>(hKey)) ? ERROR_SUCCESS
                                                                                : ERROR_INVALID_HANDLE;
}

}  // extern "C"
