// The board-finder list the bus keeps in the registry, and the bus described by the
// environment variable.
#include "SimFixture.h"

#include "sim/Environment.h"

#include <optional>

namespace sim = halvex::sim;

namespace {

// The string value, or nullopt when the key or value is missing.
std::optional<std::u16string> ReadString(const std::u16string& keyPath, const std::u16string& name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<LPCWSTR>(keyPath.c_str()), 0,
                      KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    char16_t buffer[256] = {};
    DWORD type = 0;
    DWORD size = sizeof(buffer) - sizeof(char16_t);
    const LSTATUS status = RegQueryValueExW(key, reinterpret_cast<LPCWSTR>(name.c_str()), nullptr, &type,
                                            reinterpret_cast<LPBYTE>(buffer), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ) return std::nullopt;
    return std::u16string(buffer);
}

bool KeyExists(const std::u16string& keyPath) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<LPCWSTR>(keyPath.c_str()), 0,
                      KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

const std::u16string kSlotscan = u"Software\\Slotscan";
const std::u16string kCardlist = u"Software\\Orvande\\Cardlist";

}  // namespace

using SimBoardList = SimBusTest;

TEST_F(SimBoardList, DefaultBoardsAreNamedByIdentifier) {
    sim::UseDefaultBoards();
    EXPECT_EQ(ReadString(kSlotscan, u"Company"), u"Orvande");
    EXPECT_EQ(ReadString(kCardlist, u"1100"), u"HX-1100 PCI multifunction board");
    EXPECT_EQ(ReadString(kCardlist, u"805C"), u"HX-805C PCI multifunction board");
    EXPECT_EQ(ReadString(kCardlist, u"80E8"), u"HX-80E8 PCI multifunction board");
    EXPECT_EQ(ReadString(kCardlist, u"0805C"), std::nullopt);
}

TEST_F(SimBoardList, NamesUseFourHexDigitsAndTheFirstBoardOfAnIdentifier) {
    sim::BoardSetup named = Setup(0x0C40);
    named.name = "Old ISA-bridge board";
    sim::AddBoard(named);
    named.name = "A second name";
    sim::AddBoard(named);
    sim::AddBoard(Setup(0xC0E8));
    EXPECT_EQ(ReadString(kCardlist, u"0C40"), u"Old ISA-bridge board");
    EXPECT_EQ(ReadString(kCardlist, u"C0E8"), u"HX-C0E8 PCI Express multifunction board");
    EXPECT_EQ(sim::BoardSetupOf(2).name, "HX-C0E8 PCI Express multifunction board");
}

TEST_F(SimBoardList, TheListFollowsTheCompanyAndGoesAwayOnRemoveAndReset) {
    sim::AddBoard(Setup(0x805C));
    sim::WriteBoardList("Acme Instruments");
    EXPECT_EQ(ReadString(kSlotscan, u"Company"), u"Acme Instruments");
    EXPECT_TRUE(ReadString(u"Software\\Acme Instruments\\Cardlist", u"805C").has_value());
    EXPECT_FALSE(KeyExists(kCardlist));

    // A board added later joins the list of the company chosen.
    sim::AddBoard(Setup(0x1100));
    EXPECT_TRUE(ReadString(u"Software\\Acme Instruments\\Cardlist", u"1100").has_value());

    sim::RemoveBoardList();
    EXPECT_FALSE(KeyExists(kSlotscan));
    EXPECT_FALSE(KeyExists(u"Software\\Acme Instruments\\Cardlist"));

    sim::WriteBoardList();
    EXPECT_TRUE(KeyExists(kCardlist));
    sim::Reset();
    EXPECT_FALSE(KeyExists(kSlotscan));
    EXPECT_FALSE(KeyExists(kCardlist));
}

// ---- HALVEX_SIM_BOARDS ---------------------------------------------------------------------

TEST_F(SimBoardList, EnvironmentListNamesBoardsWithFirmwareAndClock) {
    std::vector<sim::BoardSetup> boards;
    ASSERT_TRUE(sim::ParseBoardList("805C,80e8:fw=00010002, 0C40:clock=10000000:fw=2", boards));
    ASSERT_EQ(boards.size(), 3u);
    EXPECT_EQ(boards[0].deviceId, 0x805Cu);
    EXPECT_EQ(boards[0].firmware, 0u);
    EXPECT_EQ(boards[0].baseClock, 40'000'000u);
    EXPECT_EQ(boards[1].deviceId, 0x80E8u);
    EXPECT_EQ(boards[1].firmware, 0x00010002u);
    EXPECT_EQ(boards[2].deviceId, 0x0C40u);
    EXPECT_EQ(boards[2].baseClock, 10'000'000u);
    EXPECT_EQ(boards[2].firmware, 2u);

    ASSERT_TRUE(sim::ParseBoardList("", boards));
    EXPECT_TRUE(boards.empty());
}

TEST_F(SimBoardList, MalformedEnvironmentListsAreRejectedWhole) {
    const char* const bad[] = {"805G",         "805C,",          ",805C",          "805C,,1100",
                               "805C:fw",      "805C:fw=",       "805C:speed=1",   "805C:clock=12x",
                               "805C:clock=0x10", "1FFFFFFFF",   "805C:fw=100000000", ":fw=1"};
    for (const char* text : bad) {
        std::vector<sim::BoardSetup> boards(1);
        EXPECT_FALSE(sim::ParseBoardList(text, boards)) << text;
        EXPECT_EQ(boards.size(), 1u) << text;
    }
}

TEST_F(SimBoardList, TheEnvironmentBuildsTheBusOrFallsBackToTheDefaults) {
    EXPECT_TRUE(sim::UseBoardsFrom("0C40:clock=10000000,805C"));
    ASSERT_EQ(sim::BoardCount(), 2u);
    EXPECT_EQ(sim::GetRegister(0, 12), 10'000'000u);
    EXPECT_EQ(ReadString(kCardlist, u"0C40"), u"HX-0C40 PCI multifunction board");

    EXPECT_TRUE(sim::UseBoardsFrom(""));
    EXPECT_EQ(sim::BoardCount(), 0u);

    EXPECT_FALSE(sim::UseBoardsFrom("zz"));
    ASSERT_EQ(sim::BoardCount(), 3u);
    EXPECT_EQ(sim::BoardSetupOf(2).deviceId, 0x80E8u);

    EXPECT_TRUE(sim::UseBoardsFrom(nullptr));
    EXPECT_EQ(sim::BoardCount(), 3u);
}
