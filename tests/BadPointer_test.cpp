// Every pointer argument of every export against memory the caller cannot give: null, a page
// without access, a read-only page (where the export stores) and a buffer that ends one element
// short, against a page it cannot use. Each must give its documented code and write nothing
// outside the caller's buffer.
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "Isolated.h"
#include "LibraryFixture.h"
#include "ProtectedPages.h"

namespace {

enum class Use { Store, Load };

// The code each kind of bad pointer gives; kValid where that pointer is a valid argument and
// the case is left out.
constexpr DWORD kValid = 0xFFFFFFFF;
struct Codes {
    DWORD null, noAccess, readOnly, shortByOne;
};
constexpr Codes All(DWORD code) { return {code, code, code, code}; }
constexpr Codes NullAllowed(DWORD nullCode, DWORD code) { return {nullCode, code, code, code}; }

struct PointerArgument {
    std::string what;
    Use use;
    std::size_t elementSize;
    std::size_t count;  // elements the export uses
    Codes codes;
    std::function<DWORD(void*)> call;
};

enum class Kind { Null, NoAccess, ReadOnly, ShortByOne };
const char* Name(Kind kind) {
    switch (kind) {
        case Kind::Null: return "null";
        case Kind::NoAccess: return "no access";
        case Kind::ReadOnly: return "read-only";
        case Kind::ShortByOne: return "one element short";
    }
    return "?";
}

// Where the pointer of `kind` points, or null when the kind is not tried. A buffer one element
// short ends just before the page the export cannot use (read-only for stores, no access for
// loads); a single value straddles that page's first byte.
unsigned char* Place(const ProtectedPages& pages, const PointerArgument& arg, Kind kind) {
    switch (kind) {
        case Kind::Null: return nullptr;
        case Kind::NoAccess: return pages.noAccess();
        case Kind::ReadOnly: return pages.readOnly();
        case Kind::ShortByOne: {
            unsigned char* guard = arg.use == Use::Store ? pages.readOnly() : pages.noAccess();
            return arg.count > 1 ? guard - (arg.count - 1) * arg.elementSize : guard - (arg.elementSize - 1);
        }
    }
    return nullptr;
}

DWORD Expected(const Codes& codes, Kind kind) {
    switch (kind) {
        case Kind::Null: return codes.null;
        case Kind::NoAccess: return codes.noAccess;
        case Kind::ReadOnly: return codes.readOnly;
        case Kind::ShortByOne: return codes.shortByOne;
    }
    return kValid;
}

// Bytes of [from, to) that are not 0x11 any more.
bool Untouched(const unsigned char* from, const unsigned char* to) {
    for (const unsigned char* p = from; p < to; ++p) {
        if (*p != 0x11) return false;
    }
    return true;
}

// Tries every kind on every argument in turn; the text of what went wrong, empty when all held.
std::string Sweep(const std::vector<PointerArgument>& arguments) {
    ProtectedPages pages;
    if (!pages.ok()) return "no protected pages";
    std::ostringstream failures;
    for (const PointerArgument& arg : arguments) {
        for (Kind kind : {Kind::Null, Kind::NoAccess, Kind::ReadOnly, Kind::ShortByOne}) {
            const DWORD expected = Expected(arg.codes, kind);
            // Reading from a read-only page is what loads are for.
            if (expected == kValid || (kind == Kind::ReadOnly && arg.use == Use::Load)) continue;
            std::memset(pages.writable(), 0x11, pages.page());
            unsigned char* p = Place(pages, arg, kind);
            const DWORD code = arg.call(p);
            if (code != expected)
                failures << arg.what << ", " << Name(kind) << ": " << code << " instead of " << expected << "\n";
            // Only the part of a straddling buffer that is the caller's may change.
            const unsigned char* keepUpTo =
                kind == Kind::ShortByOne && arg.use == Use::Store ? p : pages.writable() + pages.page();
            if (!Untouched(pages.writable(), keepUpTo) || !Untouched(pages.readOnly(), pages.noAccess()))
                failures << arg.what << ", " << Name(kind) << ": memory outside the buffer changed\n";
        }
    }
    return failures.str();
}

template <typename T>
T* As(void* p) {
    return static_cast<T*>(p);
}

constexpr UINT64 kLayout1 = 0;  // 1100: 16-bit start/stop registers, two-row scans
constexpr UINT64 kLayout2 = 1;  // 805C: streams, DMA ping-pong

}  // namespace

class BadPointer : public LibraryTest {
protected:
    void SetUp() override { StartDefault(); }

    static void ExpectSweepHolds(const std::vector<PointerArgument>& arguments) {
        const std::string failures = RunIsolated([&] { return Sweep(arguments); });
        EXPECT_TRUE(failures.empty()) << failures;
    }
};

TEST_F(BadPointer, BoardInformationRefusesUnusableResults) {
    ExpectSweepHolds({
        {"BRD_GetDeviceID pDeviceID", Use::Store, 4, 1, All(ERROR_INVALID_ADDRESS),
         [](void* p) { return BRD_GetDeviceID(kLayout2, As<DWORD>(p)); }},
        {"BRD_GetNameW pName", Use::Store, 2, 8, NullAllowed(ERROR_SUCCESS, ERROR_INVALID_ADDRESS),
         [](void* p) { return BRD_GetNameW(kLayout2, 8, As<WCHAR>(p), nullptr); }},
        {"BRD_GetNameW pNameLength", Use::Store, 4, 1, NullAllowed(ERROR_SUCCESS, ERROR_INVALID_ADDRESS),
         [](void* p) { return BRD_GetNameW(kLayout2, 0, nullptr, As<DWORD>(p)); }},
        {"BRD_GetNameA pName", Use::Store, 1, 8, NullAllowed(ERROR_SUCCESS, ERROR_INVALID_ADDRESS),
         [](void* p) { return BRD_GetNameA(kLayout2, 8, As<char>(p), nullptr); }},
        {"BRD_GetNameA pNameLength", Use::Store, 4, 1, NullAllowed(ERROR_SUCCESS, ERROR_INVALID_ADDRESS),
         [](void* p) { return BRD_GetNameA(kLayout2, 0, nullptr, As<DWORD>(p)); }},
        {"BRD_GetSerialNumber pSerialNumber", Use::Store, 8, 1,
         NullAllowed(ERROR_NOT_SUPPORTED, ERROR_INVALID_ADDRESS),
         [](void* p) { return BRD_GetSerialNumber(kLayout2, As<UINT64>(p)); }},
        {"HX_GetChunkLimits pMinBytes", Use::Store, 4, 1, NullAllowed(ERROR_SUCCESS, ERROR_INVALID_ADDRESS),
         [](void* p) { return HX_GetChunkLimits(As<DWORD>(p), nullptr); }},
        {"HX_GetChunkLimits pMaxBytes", Use::Store, 4, 1, NullAllowed(ERROR_SUCCESS, ERROR_INVALID_ADDRESS),
         [](void* p) { return HX_GetChunkLimits(nullptr, As<DWORD>(p)); }},
    });
}

TEST_F(BadPointer, SingleRegisterTransfersRefuseUnusableData) {
    ExpectSweepHolds({
        {"PIO_INS8 pData, Count 1", Use::Store, 1, 1, All(ERROR_INVALID_ADDRESS),
         [](void* p) { return PIO_INS8(kLayout1, 0x40, 1, As<BYTE>(p)); }},
        {"PIO_INS16 pData, Count 1", Use::Store, 2, 1, All(ERROR_INVALID_ADDRESS),
         [](void* p) { return PIO_INS16(kLayout1, 0x40, 1, As<WORD>(p)); }},
        {"PIO_INS32 pData, Count 1", Use::Store, 4, 1, All(ERROR_INVALID_ADDRESS),
         [](void* p) { return PIO_INS32(kLayout1, 0x40, 1, As<DWORD>(p)); }},
        // Unreadable data wins over a bad board index: the value is read first.
        {"PIO_OUTS8 pData, Count 1", Use::Load, 1, 1, All(ERROR_INVALID_ADDRESS),
         [](void* p) { return PIO_OUTS8(99, 0x40, 1, As<const BYTE>(p)); }},
        {"PIO_OUTS16 pData, Count 1", Use::Load, 2, 1, All(ERROR_INVALID_ADDRESS),
         [](void* p) { return PIO_OUTS16(kLayout1, 0x40, 1, As<const WORD>(p)); }},
        {"PIO_OUTS32 pData, Count 1", Use::Load, 4, 1, All(ERROR_INVALID_ADDRESS),
         [](void* p) { return PIO_OUTS32(kLayout1, 0x40, 1, As<const DWORD>(p)); }},
    });
}

TEST_F(BadPointer, BlockReadsAreRefusedByTheDriver) {
    ExpectSweepHolds({
        {"PIO_INS8 pData, Count 4", Use::Store, 1, 4, All(ERROR_NOACCESS),
         [](void* p) { return PIO_INS8(kLayout1, 0x40, 4, As<BYTE>(p)); }},
        {"PIO_INS16 pData, Count 4", Use::Store, 2, 4, All(ERROR_NOACCESS),
         [](void* p) { return PIO_INS16(kLayout1, 0x40, 4, As<WORD>(p)); }},
        {"PIO_INS32 pData, Count 4", Use::Store, 4, 4, All(ERROR_NOACCESS),
         [](void* p) { return PIO_INS32(kLayout1, 0x40, 4, As<DWORD>(p)); }},
    });
}

TEST_F(BadPointer, DmaAndBarRequestsRefuseUnusableBuffers) {
    ExpectSweepHolds({
        {"PIO_DMAPiongControl pData, sent", Use::Load, 1, 4, All(ERROR_NOACCESS),
         [](void* p) { return PIO_DMAPiongControl(kLayout2, As<BYTE>(p), 4, nullptr); }},
        {"PIO_DMAPiongControl pData, answered", Use::Store, 1, 4, All(ERROR_NOACCESS),
         [](void* p) {
             DWORD capacity = 4;
             return PIO_DMAPiongControl(kLayout2, As<BYTE>(p), 0, &capacity);
         }},
        {"PIO_DMAPiongControl pOutSize", Use::Store, 4, 1, NullAllowed(kValid, ERROR_INVALID_ADDRESS),
         [](void* p) {
             BYTE data[4] = {0x42, 0, 0, 0};
             return PIO_DMAPiongControl(kLayout2, data, 1, As<DWORD>(p));
         }},
        {"PIO_DMAPiongIn pData", Use::Store, 1, 64, All(ERROR_NOACCESS),
         [](void* p) { return PIO_DMAPiongIn(kLayout2, As<BYTE>(p), 64, nullptr); }},
        {"PIO_DMAPiongIn pOverlapped", Use::Store, sizeof(OVERLAPPED), 1, NullAllowed(kValid, ERROR_NOACCESS),
         [](void* p) {
             BYTE data[64];
             return PIO_DMAPiongIn(kLayout2, data, sizeof data, As<OVERLAPPED>(p));
         }},
        {"PIO_DMAChPiongIn pData", Use::Store, 1, 64, All(ERROR_NOACCESS),
         [](void* p) { return PIO_DMAChPiongIn(kLayout2, 1, As<BYTE>(p), 64, nullptr); }},
        {"PIO_DMAChPiongIn pOverlapped", Use::Store, sizeof(OVERLAPPED), 1, NullAllowed(kValid, ERROR_NOACCESS),
         [](void* p) {
             BYTE data[64];
             return PIO_DMAChPiongIn(kLayout2, 1, data, sizeof data, As<OVERLAPPED>(p));
         }},
        {"PIO_GetDeviceHandle pHandle", Use::Store, sizeof(HANDLE), 1, All(ERROR_NOACCESS),
         [](void* p) { return PIO_GetDeviceHandle(kLayout2, As<HANDLE>(p)); }},
        {"PIO_QueryBARBase pBase", Use::Store, 4, 1, All(ERROR_INVALID_ACCESS),
         [](void* p) { return PIO_QueryBARBase(kLayout2, 0, As<DWORD>(p)); }},
    });
}

TEST_F(BadPointer, AnalogInputRefusesUnusableArraysAndResults) {
    ExpectSweepHolds({
        {"ADC_SetRangeAll pRanges", Use::Load, 4, 8, All(ERROR_INVALID_ADDRESS),
         [](void* p) { return ADC_SetRangeAll(kLayout1, 0, 8, As<const DWORD>(p)); }},
        {"ADC_GetRate pHz", Use::Store, 8, 1, All(ERROR_INVALID_ADDRESS),
         [](void* p) { return ADC_GetRate(kLayout1, 0, As<double>(p)); }},
        {"ADC_GetImmediateV pV", Use::Store, 8, 1, All(ERROR_INVALID_ADDRESS),
         [](void* p) { return ADC_GetImmediateV(kLayout1, 0, As<double>(p), 0, HALVEX_KEEP_RANGES); }},
        {"ADC_GetImmediateRaw pData", Use::Store, 4, 1, All(ERROR_INVALID_ADDRESS),
         [](void* p) { return ADC_GetImmediateRaw(kLayout1, 0, As<DWORD>(p), 0, HALVEX_KEEP_RANGES); }},
        {"ADC_GetImmediateScanV pV", Use::Store, 8, 16, All(ERROR_INVALID_ADDRESS),
         [](void* p) { return ADC_GetImmediateScanV(kLayout1, As<double>(p), HALVEX_KEEP_RANGES); }},
        {"ADC_GetImmediateScanRaw pData", Use::Store, 4, 16, All(ERROR_INVALID_ADDRESS),
         [](void* p) { return ADC_GetImmediateScanRaw(kLayout1, As<DWORD>(p), HALVEX_KEEP_RANGES); }},
    });
}

TEST_F(BadPointer, AnalogOutputRefusesAnUnreadableRangeArray) {
    ExpectSweepHolds({
        {"DAC_SetRangeAll Ranges", Use::Load, 4, 4, All(ERROR_INVALID_ADDRESS),
         [](void* p) { return DAC_SetRangeAll(kLayout1, 4, As<const DWORD>(p)); }},
    });
}
