// The board-information exports: identifiers, names from the board-finder list, serial number
// and reset.
#include <cstring>
#include <string>

#include "AnsiCodePage.h"
#include "LibraryFixture.h"

using namespace halvex;
namespace hs = halvex::sim;

namespace {

LPCWSTR W(const char16_t* text) { return reinterpret_cast<LPCWSTR>(text); }

// Writes the board-finder list by hand: company "Acme", one value per entry.
void WriteList(const std::u16string& valueName, DWORD type, const std::u16string& data) {
    hs::RemoveBoardList();
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, W(u"Software\\Slotscan"), 0, nullptr, 0,
                              KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const std::u16string company = u"Acme";
    RegSetValueExW(key, W(u"Company"), 0, REG_SZ, reinterpret_cast<const BYTE*>(company.c_str()),
                   static_cast<DWORD>((company.size() + 1) * 2));
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, W(u"Software\\Acme\\Cardlist"), 0, nullptr, 0,
                              KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, W(valueName.c_str()), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                   static_cast<DWORD>(data.size() * 2));
    RegCloseKey(key);
}

void RemoveAcme() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, W(u"Software\\Acme")); }

}  // namespace

class BoardInfoTest : public LibraryTest {
protected:
    void SetUp() override { Start({Board(0x0C40), Board(0x805C)}); }
    void TearDown() override {
        RemoveAcme();
        LibraryTest::TearDown();
    }
};

TEST_F(BoardInfoTest, DeviceIdentifierIsStoredOnlyWhereItCanBe) {
    DWORD id = 0;
    EXPECT_EQ(BRD_GetDeviceID(1, &id), 0u);
    EXPECT_EQ(id, 0x805Cu);
    EXPECT_EQ(BRD_GetDeviceID(1, nullptr), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
    EXPECT_EQ(BRD_GetDeviceID(1, ReadOnlyDword()), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
    EXPECT_EQ(BRD_GetDeviceID(2, &id), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(BRD_GetHighestBoardIndex(), 1);
}

TEST_F(BoardInfoTest, TheWideNameHonoursTheBufferSize) {
    WriteList(u"0C40", REG_SZ, std::u16string(u"Twelve chars") + u'\0');
    char16_t buffer[20];
    DWORD length = 99;

    std::fill(std::begin(buffer), std::end(buffer), u'#');
    EXPECT_EQ(BRD_GetNameW(0, 0, reinterpret_cast<WCHAR*>(buffer), &length), 0u);
    EXPECT_EQ(length, 12u);
    EXPECT_EQ(buffer[0], u'#');

    EXPECT_EQ(BRD_GetNameW(0, 5, reinterpret_cast<WCHAR*>(buffer), &length), 0u);
    EXPECT_EQ(std::u16string(buffer, 6), u"Twelv#");  // no terminator
    EXPECT_EQ(length, 12u);

    std::fill(std::begin(buffer), std::end(buffer), u'#');
    EXPECT_EQ(BRD_GetNameW(0, 20, reinterpret_cast<WCHAR*>(buffer), nullptr), 0u);
    EXPECT_EQ(std::u16string(buffer), u"Twelve chars");
    EXPECT_EQ(buffer[19], u'\0');
}

TEST_F(BoardInfoTest, NamesAreLookedUpByFourDigitUpperCaseHex) {
    WriteList(u"805C", REG_EXPAND_SZ, std::u16string(u"%NOT_EXPANDED%") + u'\0' + u"hidden");
    char16_t buffer[32] = {};
    DWORD length = 0;
    EXPECT_EQ(BRD_GetNameW(1, 32, reinterpret_cast<WCHAR*>(buffer), &length), 0u);
    EXPECT_EQ(std::u16string(buffer), u"%NOT_EXPANDED%");
    EXPECT_EQ(length, 14u);

    // Board 0 (0C40) has no entry: an empty name.
    buffer[0] = u'#';
    EXPECT_EQ(BRD_GetNameW(0, 32, reinterpret_cast<WCHAR*>(buffer), &length), 0u);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(buffer[0], u'\0');
}

TEST_F(BoardInfoTest, AMissingListIsBadNetNameWithZeroedResults) {
    hs::RemoveBoardList();
    RemoveAcme();
    char16_t buffer[4] = {u'#', u'#', u'#', u'#'};
    DWORD length = 99;
    EXPECT_EQ(BRD_GetNameW(0, 3, reinterpret_cast<WCHAR*>(buffer), &length), static_cast<DWORD>(ERROR_BAD_NET_NAME));
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(std::u16string(buffer, 4), std::u16string(u"\0\0\0#", 4));
    EXPECT_EQ(BRD_GetNameA(0, 3, nullptr, &length), static_cast<DWORD>(ERROR_BAD_NET_NAME));
}

TEST_F(BoardInfoTest, ANonStringEntryIsAnInternalError) {
    WriteList(u"0C40", REG_DWORD, std::u16string(2, u'\x1'));
    DWORD length = 0;
    EXPECT_EQ(BRD_GetNameW(0, 0, nullptr, &length), static_cast<DWORD>(ERROR_INTERNAL_ERROR));
}

TEST_F(BoardInfoTest, UnwritableNameBuffersAreRefused) {
    WriteList(u"0C40", REG_SZ, std::u16string(u"Name") + u'\0');
    EXPECT_EQ(BRD_GetNameW(0, 0, nullptr, ReadOnlyDword()), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
    EXPECT_EQ(BRD_GetNameW(0, 2, reinterpret_cast<WCHAR*>(ReadOnlyDword()), nullptr),
              static_cast<DWORD>(ERROR_INVALID_ADDRESS));
    EXPECT_EQ(BRD_GetNameA(0, 4, reinterpret_cast<char*>(ReadOnlyDword()), nullptr),
              static_cast<DWORD>(ERROR_INVALID_ADDRESS));
}

TEST_F(BoardInfoTest, TheAnsiNameIsConvertedAndNotTerminated) {
    WriteList(u"805C", REG_SZ, std::u16string(u"Caf\u00e9 board") + u'\0');
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    DWORD length = 0;
    EXPECT_EQ(BRD_GetNameA(1, 16, buffer, &length), 0u);
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(std::string(buffer, 11), std::string("Caf\xe9 board#"));

    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(BRD_GetNameA(1, 3, buffer, nullptr), 0u);
    EXPECT_EQ(std::string(buffer, 4), "Caf#");
}

TEST_F(BoardInfoTest, TheAnsiNameCostsWhatTheNameTakesWhateverNameSizeSays) {
    WriteList(u"805C", REG_SZ, std::u16string(u"Caf\u00e9 board") + u'\0');
    DWORD length = 0;
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(BRD_GetNameA(1, 0xFFFFFFFF, nullptr, &length), 0u);
    EXPECT_EQ(length, 10u);

    // Exactly the name, nothing after it, however large the buffer claims to be.
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(BRD_GetNameA(1, 0xFFFFFFFF, buffer, nullptr), 0u);
    EXPECT_EQ(std::string(buffer, 11), std::string("Caf\xe9 board#"));
    EXPECT_EQ(GetLastError(), 0u);
}

// Names whose characters take more than one byte in the ANSI code page.
class AnsiBoardName : public BoardInfoTest {
protected:
    void SetUp() override {
        BoardInfoTest::SetUp();
        codePage = UseMultiByteAnsiCodePage();
        if (codePage == 932) {
            expected = "\x83\x65\x83\x58\x83\x67\x94\xd5 7";
            firstCharacter = 2;
        } else if (codePage == CP_UTF8) {
            expected = "\xe3\x83\x86\xe3\x82\xb9\xe3\x83\x88\xe7\x9b\xa4 7";
            firstCharacter = 3;
        } else {
            GTEST_SKIP() << "the ANSI code page here has one byte per character";
        }
        WriteList(u"805C", REG_SZ, std::u16string(u"\u30c6\u30b9\u30c8\u76e4 7") + u'\0');
    }
    void TearDown() override {
        RestoreAnsiCodePage();
        BoardInfoTest::TearDown();
    }

    UINT codePage = 0;
    std::string expected;            // the name in the code page
    std::size_t firstCharacter = 0;  // bytes of its first character
};

TEST_F(AnsiBoardName, TheWholeNameArrivesAndItsLengthIsInBytes) {
    char buffer[32];
    std::memset(buffer, '#', sizeof buffer);
    DWORD length = 0;
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(BRD_GetNameA(1, sizeof buffer, buffer, &length), 0u);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(length, expected.size());
    EXPECT_EQ(std::string(buffer, expected.size() + 1), expected + "#");
}

TEST_F(AnsiBoardName, AShortBufferGetsWholeCharactersOnly) {
    char buffer[32];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(BRD_GetNameA(1, static_cast<DWORD>(firstCharacter + 1), buffer, nullptr), 0u);
    EXPECT_EQ(std::string(buffer, firstCharacter + 1), expected.substr(0, firstCharacter) + "#");
}

TEST_F(BoardInfoTest, TheSimulatedBoardFinderNamesEveryBoard) {
    hs::WriteBoardList();
    char16_t buffer[64] = {};
    DWORD length = 0;
    EXPECT_EQ(BRD_GetNameW(1, 64, reinterpret_cast<WCHAR*>(buffer), &length), 0u);
    EXPECT_GT(length, 0u);
}

TEST_F(BoardInfoTest, TheSerialNumberIsNotAvailable) {
    UINT64 serial = 1234;
    EXPECT_EQ(BRD_GetSerialNumber(0, &serial), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(serial, 0u);
    EXPECT_EQ(BRD_GetSerialNumber(0, nullptr), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(BRD_GetSerialNumber(5, &serial), static_cast<DWORD>(ERROR_INVALID_INDEX));
}

TEST_F(BoardInfoTest, ResetWritesTheResetRegisterOfTheBoardsLayout) {
    hs::ClearRequests(0);
    hs::ClearRequests(1);
    EXPECT_EQ(BRD_Reset(0), 0u);
    EXPECT_EQ(BRD_Reset(1), 0u);
    EXPECT_EQ(hs::RegisterWrites(0), (std::vector<hs::RegisterWrite>{{0, 1, 0xFF}}));
    EXPECT_EQ(hs::RegisterWrites(1), (std::vector<hs::RegisterWrite>{{0, 4, 1}}));
    EXPECT_EQ(BRD_Reset(2), static_cast<DWORD>(ERROR_INVALID_INDEX));
    Devices[1].RegisterMap = rmUnknown;
    EXPECT_EQ(BRD_Reset(1), static_cast<DWORD>(ERROR_BAD_TOKEN_TYPE));
    Devices[1].RegisterMap = rmLayout2;
}
