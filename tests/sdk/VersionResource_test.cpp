// The version resource of the built Halvex.dll, read the way Explorer and installers read it:
// its numbers agree with the headers the SDK ships and with what the library itself reports,
// and its strings name the product. The DLL's file name is the first argument.
#include <gtest/gtest.h>

#include <windows.h>

#include <halvex/version.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

std::wstring gDllPath = L"Halvex.dll";

class VersionResource : public ::testing::Test {
protected:
    void SetUp() override {
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeW(gDllPath.c_str(), &ignored);
        ASSERT_NE(size, 0u) << "no version resource, error " << GetLastError();
        block_.resize(size);
        ASSERT_TRUE(GetFileVersionInfoW(gDllPath.c_str(), 0, size, block_.data())) << GetLastError();
    }

    const VS_FIXEDFILEINFO* Fixed() {
        void* value = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(block_.data(), L"\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO))
            return nullptr;
        return static_cast<const VS_FIXEDFILEINFO*>(value);
    }

    // A string of the first translation the resource lists, as a caller without a preferred
    // language looks it up; empty when absent.
    std::wstring String(const wchar_t* name) {
        struct Translation {
            WORD language;
            WORD codePage;
        };
        void* value = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(block_.data(), L"\\VarFileInfo\\Translation", &value, &length) ||
            length < sizeof(Translation))
            return {};
        const auto* translation = static_cast<const Translation*>(value);
        wchar_t key[96];
        swprintf(key, sizeof key / sizeof key[0], L"\\StringFileInfo\\%04x%04x\\%ls", translation->language,
                 translation->codePage, name);
        if (!VerQueryValueW(block_.data(), key, &value, &length) || length == 0)
            return {};
        return std::wstring(static_cast<const wchar_t*>(value));
    }

    std::vector<unsigned char> block_;
};

std::wstring Widen(const char* text) {
    return std::wstring(text, text + strlen(text));
}

constexpr DWORD kMostSignificant = (HALVEX_VERSION_MAJOR << 16) | HALVEX_VERSION_MINOR;
constexpr DWORD kLeastSignificant = HALVEX_VERSION_PATCH << 16;

TEST_F(VersionResource, FixedFileAndProductVersionsAreTheHeaderVersion) {
    const VS_FIXEDFILEINFO* fixed = Fixed();
    ASSERT_NE(fixed, nullptr);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, kMostSignificant);
    EXPECT_EQ(fixed->dwFileVersionLS, kLeastSignificant);
    EXPECT_EQ(fixed->dwProductVersionMS, kMostSignificant);
    EXPECT_EQ(fixed->dwProductVersionLS, kLeastSignificant);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
}

TEST_F(VersionResource, StringsNameTheProductItsMakerAndTheFile) {
    EXPECT_EQ(String(L"ProductName"), L"Halvex");
    EXPECT_EQ(String(L"CompanyName"), L"Orvande");
    EXPECT_EQ(String(L"OriginalFilename"), L"Halvex.dll");
    EXPECT_EQ(String(L"FileVersion"), Widen(HALVEX_VERSION_STRING));
    EXPECT_EQ(String(L"ProductVersion"), Widen(HALVEX_VERSION_STRING));
    EXPECT_FALSE(String(L"FileDescription").empty());
}

// The resource is written at build time, the library's answer in code: they must not drift.
TEST_F(VersionResource, AgreesWithTheVersionTheLibraryReports) {
    HMODULE library = LoadLibraryW(gDllPath.c_str());
    ASSERT_NE(library, nullptr) << GetLastError();
    using GetVersionFn = DWORD (*)(void);
    auto getVersion = reinterpret_cast<GetVersionFn>(reinterpret_cast<void*>(GetProcAddress(library, "HX_GetVersion")));
    ASSERT_NE(getVersion, nullptr);
    const DWORD reported = getVersion();
    FreeLibrary(library);

    const VS_FIXEDFILEINFO* fixed = Fixed();
    ASSERT_NE(fixed, nullptr);
    const DWORD fromResource = (HIWORD(fixed->dwFileVersionMS) << 16) | (LOWORD(fixed->dwFileVersionMS) << 8) |
                               HIWORD(fixed->dwFileVersionLS);
    EXPECT_EQ(reported, fromResource);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc > 1)
        gDllPath = Widen(argv[1]);
    return RUN_ALL_TESTS();
}
