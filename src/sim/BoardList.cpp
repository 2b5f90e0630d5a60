#include "sim/BoardList.h"

#include <halvex/sim.h>

#include <set>

#include "board/BoardList.h"
#include "sim/Bus.h"
#include "sim/Text.h"

namespace halvex::sim {
namespace {

LPCWSTR Wide(const std::u16string& text) { return reinterpret_cast<LPCWSTR>(text.c_str()); }


HKEY CreateKey(const std::u16string& path) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, Wide(path), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return nullptr;
    }
    return key;
}

void SetString(HKEY key, const std::u16string& name, const std::u16string& value) {
    RegSetValueExW(key, Wide(name), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(char16_t)));
}

}  // namespace

void RemoveBoardListOf(const std::string& company) {
    HKEY software = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(u"Software"), 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &software) !=
        ERROR_SUCCESS) {
        return;
    }
    // The keys as seen from Software.
    constexpr std::u16string_view kSoftware = u"Software\\";
    RegDeleteTreeW(software, Wide(std::u16string(halvex::board::kSlotscanKey).substr(kSoftware.size())));
    RegDeleteTreeW(software, Wide(halvex::board::CardlistKey(Widen(company)).substr(kSoftware.size())));
    RegCloseKey(software);
}

void WriteBoardListOf(const std::string& company) {
    HKEY slotscan = CreateKey(halvex::board::kSlotscanKey);
    if (slotscan == nullptr) return;
    SetString(slotscan, halvex::board::kCompanyValue, Widen(company));
    RegCloseKey(slotscan);

    HKEY cardlist = CreateKey(halvex::board::CardlistKey(Widen(company)));
    if (cardlist == nullptr) return;
    // One value per identifier: the first board of an identifier names it.
    std::set<uint32_t> named;
    for (const auto& board : Bus::Instance().Boards()) {
        const BoardSetup& setup = board->Setup();
        if (named.insert(setup.deviceId).second) {
            SetString(cardlist, halvex::board::BoardListValueName(setup.deviceId), Widen(setup.name));
        }
    }
    RegCloseKey(cardlist);
}

void WriteBoardListOf(const std::string& company, const std::vector<std::pair<uint32_t, std::string>>& names) {
    HKEY slotscan = CreateKey(halvex::board::kSlotscanKey);
    if (slotscan == nullptr) return;
    SetString(slotscan, halvex::board::kCompanyValue, Widen(company));
    RegCloseKey(slotscan);
    HKEY cardlist = CreateKey(halvex::board::CardlistKey(Widen(company)));
    if (cardlist == nullptr) return;
    for (const auto& [deviceId, name] : names)
        SetString(cardlist, halvex::board::BoardListValueName(deviceId), Widen(name));
    RegCloseKey(cardlist);
}

std::string DefaultBoardName(uint32_t deviceId) {
    const bool express = (deviceId & 0xC000) == 0xC000;
    return "HX-" + Hex(deviceId, 4, true) + (express ? " PCI Express" : " PCI") + " multifunction board";
}

void RefreshBoardList() {
    const std::string company = Bus::Instance().Company();
    RemoveBoardListOf(company);
    WriteBoardListOf(company);
}

}  // namespace halvex::sim
