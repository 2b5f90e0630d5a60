// Loads the built library the way an application does and checks its export surface: every
// function of the export table under its three names, the plain and underscore names as one
// entry point, the VB name as its own, and a clean unload followed by a fresh start.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#ifndef _WIN32
#include <dlfcn.h>
#endif

namespace {

struct ExportName {
    const char* plain;
    const char* underscore;
    const char* vb;
};

#define HX_EXPORT(result, name, params, args) {#name, "_" #name, "VB" #name},
constexpr ExportName kExports[] = {
#include "ExportTable.inc"
};
#undef HX_EXPORT

#if defined(HALVEX_SIM_BACKEND)
// The simulated bus of a library nobody configured holds the default set of three boards.
constexpr INT64 kExpectedHighestIndex = 2;
#else
// The kernel backend finds no board on a test machine.
constexpr INT64 kExpectedHighestIndex = -1;
#endif
constexpr DWORD kErrorInvalidIndex = 1413;

using GetHighestBoardIndexFn = INT64 (*)(void);
using GetDeviceIdFn = DWORD (*)(UINT64, DWORD*);

#ifdef _WIN32
class Library {
public:
    bool Load() {
        const std::string name = HALVEX_LIBRARY_PATH;
        module_ = LoadLibraryW(std::wstring(name.begin(), name.end()).c_str());
        return module_ != nullptr;
    }
    bool Unload() {
        const bool ok = FreeLibrary(module_) != FALSE;
        module_ = nullptr;
        return ok;
    }
    bool Loaded() const { return module_ != nullptr; }
    // Whether the process still maps the library after it was released.
    static bool StillMapped() {
        const std::string name = HALVEX_LIBRARY_PATH;
        return GetModuleHandleW(std::wstring(name.begin(), name.end()).c_str()) != nullptr;
    }
    void* Resolve(const char* name) const { return reinterpret_cast<void*>(GetProcAddress(module_, name)); }
    static std::string LastFailure() { return "error " + std::to_string(GetLastError()); }

private:
    HMODULE module_ = nullptr;
};
#else
class Library {
public:
    bool Load() {
        module_ = dlopen(Path(), RTLD_NOW | RTLD_LOCAL);
        return module_ != nullptr;
    }
    bool Unload() {
        const bool ok = dlclose(module_) == 0;
        module_ = nullptr;
        return ok;
    }
    bool Loaded() const { return module_ != nullptr; }
    static bool StillMapped() {
        void* handle = dlopen(Path(), RTLD_NOW | RTLD_NOLOAD);
        if (handle != nullptr) dlclose(handle);
        return handle != nullptr;
    }
    void* Resolve(const char* name) const { return dlsym(module_, name); }
    static std::string LastFailure() {
        const char* text = dlerror();
        return text != nullptr ? text : "no dlerror text";
    }

private:
    // The test runs in the library's folder; a bare name would go through the search path.
    static const char* Path() { return "./" HALVEX_LIBRARY_PATH; }
    void* module_ = nullptr;
};
#endif

class LoadedLibrary : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(library_.Load()) << HALVEX_LIBRARY_PATH << ": " << Library::LastFailure(); }
    void TearDown() override {
        if (library_.Loaded()) {
            EXPECT_TRUE(library_.Unload()) << Library::LastFailure();
        }
    }

    template <typename Fn>
    std::vector<Fn> AllThreeNames(const char* plain) const {
        std::vector<Fn> functions;
        for (const std::string& name : {std::string(plain), "_" + std::string(plain), "VB" + std::string(plain)}) {
            void* address = library_.Resolve(name.c_str());
            EXPECT_NE(address, nullptr) << name;
            if (address != nullptr) functions.push_back(reinterpret_cast<Fn>(address));
        }
        return functions;
    }

    Library library_;
};

TEST_F(LoadedLibrary, ExportsEveryFunctionUnderThreeNamesWithOneEntryForPlainAndUnderscore) {
    ASSERT_GT(std::size(kExports), 0u);
    for (const ExportName& entry : kExports) {
        void* plain = library_.Resolve(entry.plain);
        void* underscore = library_.Resolve(entry.underscore);
        void* vb = library_.Resolve(entry.vb);
        EXPECT_NE(plain, nullptr) << entry.plain << " is not exported";
        EXPECT_NE(underscore, nullptr) << entry.underscore << " is not exported";
        EXPECT_NE(vb, nullptr) << entry.vb << " is not exported";
        EXPECT_EQ(plain, underscore) << entry.underscore << " is not the entry point of " << entry.plain;
        EXPECT_NE(plain, vb) << entry.vb << " is not a function of its own";
    }
}

TEST_F(LoadedLibrary, ReportsTheSameBoardsThroughEveryName) {
    const auto highest = AllThreeNames<GetHighestBoardIndexFn>("BRD_GetHighestBoardIndex");
    ASSERT_EQ(highest.size(), 3u);
    for (auto fn : highest) EXPECT_EQ(fn(), kExpectedHighestIndex);

    const auto deviceId = AllThreeNames<GetDeviceIdFn>("BRD_GetDeviceID");
    ASSERT_EQ(deviceId.size(), 3u);
    std::vector<DWORD> results;
    std::vector<DWORD> ids;
    for (auto fn : deviceId) {
        DWORD id = 0xDEADBEEF;
        results.push_back(fn(0, &id));
        ids.push_back(id);
    }
    if (kExpectedHighestIndex >= 0) {
        EXPECT_EQ(results, std::vector<DWORD>(3, 0));
        EXPECT_NE(ids[0], 0xDEADBEEFu);
        EXPECT_EQ(ids, std::vector<DWORD>(3, ids[0]));
    } else {
        EXPECT_EQ(results, std::vector<DWORD>(3, kErrorInvalidIndex));
    }
}

// The library's threads keep its code mapped while they run, and its log thread runs from load
// to process exit: releasing the last reference leaves the library in place, started, and
// loading it again finds it as it was. (Waiting for a thread inside the unload notification
// would deadlock on Windows, and unmapping code a thread still returns through would crash.)
TEST_F(LoadedLibrary, StaysMappedAfterItsLastReleaseAndLoadsAgain) {
    const auto before = reinterpret_cast<GetHighestBoardIndexFn>(library_.Resolve("BRD_GetHighestBoardIndex"));
    ASSERT_NE(before, nullptr);
    ASSERT_EQ(before(), kExpectedHighestIndex);

    ASSERT_TRUE(library_.Unload()) << Library::LastFailure();
    EXPECT_TRUE(Library::StillMapped());

    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(library_.Load()) << Library::LastFailure();
        const auto highest = reinterpret_cast<GetHighestBoardIndexFn>(library_.Resolve("BRD_GetHighestBoardIndex"));
        ASSERT_NE(highest, nullptr);
        EXPECT_EQ(highest(), kExpectedHighestIndex) << "round " << round;
        if (round < 2) {
            ASSERT_TRUE(library_.Unload()) << Library::LastFailure();
        }
    }
}

#if defined(HALVEX_SIM_BACKEND)
// Start-up needs none of the library's static state built before it (the library links its
// entry first, so it runs before the other initializers): the simulated board-finder list it
// writes at load is there for the name functions.
TEST_F(LoadedLibrary, NamesTheSimulatedBoardsFromTheStart) {
    using GetNameWFn = DWORD(WINAPI*)(UINT64, DWORD, WCHAR*, DWORD*);
    const auto getName = reinterpret_cast<GetNameWFn>(library_.Resolve("BRD_GetNameW"));
    ASSERT_NE(getName, nullptr);
    WCHAR name[64] = {};
    DWORD length = 0;
    EXPECT_EQ(getName(0, 63, name, &length), 0u);
    EXPECT_GT(length, 0u);
}
#endif

}  // namespace
