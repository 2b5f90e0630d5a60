// Simulated boards: a stand-in for the maker's kernel driver and the boards behind it.
//
// The simulated bus sits behind the library's driver port exactly where the kernel driver sits
// on Windows, so the library code that runs against it is the code that ships. This header is
// for tests (ours and an application's own): build a bus, pre-set registers, read what the
// library sent, inject failures, and start, detach and restart the library in one process.
//
// Without any call here, the Linux library builds its bus from the environment variable
// HALVEX_SIM_BOARDS when it loads, or takes the default set (one board of each register layout):
//   board 0: identifier 0x1100, 16-bit start/stop registers, 16-bit immediate commands
//   board 1: identifier 0x805C, 32-bit start/stop registers, 32-bit immediate commands
//   board 2: identifier 0x80E8 with firmware word 0x0001xxxx (32-bit immediate commands)
// HALVEX_SIM_BOARDS is a comma-separated list of identifiers in hexadecimal, each optionally
// followed by ":fw=<hex>" (register 104) and ":clock=<decimal Hz>" (register 12), for example
// "805C,80E8:fw=00010002,0C40". An empty value means no board.
//
// Thread safety: every function may be called from any thread. Changing the bus (Reset,
// AddBoard) while the library is started is allowed but only takes effect at the next start.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#if defined(_WIN32)
#define HALVEX_SIM_API
#else
#define HALVEX_SIM_API __attribute__((visibility("default")))
#endif

namespace halvex::sim {

// The class GUID under which the simulated boards publish their device interfaces.
inline constexpr GUID kInterfaceClass = {0xE77894A2, 0x697F, 0x11D0, {0x95, 0x8E, 0xAF, 0x1F, 0xDA, 0xDB, 0x2F, 0x1B}};

// Control codes the simulated driver answers.
inline constexpr DWORD kIoctlGetDeviceId = 0x80FF6000;
inline constexpr DWORD kIoctlQueryBarBase = 0x80FF6004;
inline constexpr DWORD kIoctlWaitForIrq = 0x80FF6040;
inline constexpr DWORD kIoctlPollForIrq = 0x80FF6050;
inline constexpr DWORD kIoctlAbortIrqWait = 0x80FF2048;
inline constexpr DWORD kIoctlRegRead = 0x80FF6080;
inline constexpr DWORD kIoctlRegReadBlock = 0x80FF6084;
inline constexpr DWORD kIoctlRegWrite = 0x80FFA088;
inline constexpr DWORD kIoctlDmaPiongControl = 0x80FFA100;
inline constexpr DWORD kIoctlDmaPiongIn = 0x80FF6102;

struct BoardSpec {
    uint32_t deviceId = 0x805C;
    uint32_t baseClock = 40'000'000;  // register 12
    uint32_t firmware = 0;            // register 104
    std::u16string path;              // device-interface path; empty: one is made up
    std::u16string pathTail;          // text enumerated after a NUL that ends the path
    std::string name;                 // board name in the board-finder list; empty: by identifier
};

// One request as the simulated driver received it.
struct Request {
    DWORD code = 0;
    std::vector<uint8_t> input;
    DWORD outSize = 0;
    bool overlapped = false;
    // For register requests, the decoded RegisterRequest.
    bool IsRegister() const;
    uint16_t Offset() const;
    uint8_t Width() const;
    uint32_t Value() const;
};

enum class FailKind {
    Now,         // fail at once with `lastError` (0 allowed)
    Short,       // succeed but report only `bytes` bytes returned
    PendForever  // return ERROR_IO_PENDING (overlapped) and never complete until the handle closes
};

struct Failure {
    FailKind kind = FailKind::Now;
    DWORD lastError = ERROR_GEN_FAILURE;
    DWORD bytes = 0;
    int count = -1;  // how many requests fail; -1: every one until cleared
};

// ---- The bus ------------------------------------------------------------------------------
// Removes every board, injection and log, and the board-finder list from the registry.
HALVEX_SIM_API void Reset();
// Adds a board at the end of the bus and returns its position (its enumeration order).
// Also writes the board's name into the board-finder list.
HALVEX_SIM_API std::size_t AddBoard(const BoardSpec& spec);
// Reset, then the default set of three boards.
HALVEX_SIM_API void UseDefaultBoards();
// Reset, then the boards named by HALVEX_SIM_BOARDS, or the default set when it is unset.
// False (and the default set) when the variable cannot be parsed.
HALVEX_SIM_API bool UseEnvironmentBoards();
HALVEX_SIM_API std::size_t BoardCount();
// The board as the bus holds it: a made-up path and name are filled in.
HALVEX_SIM_API BoardSpec BoardSpecOf(std::size_t board);
// The base address IOCTL_QUERY_BAR_BASE reports for BAR `index` (0-5) of a board.
HALVEX_SIM_API uint32_t BarBase(std::size_t board, unsigned index);
// Functions taking a board position throw std::out_of_range for a board not on the bus; the
// register functions throw std::invalid_argument for an access outside the 4 KiB register
// file or of a width other than 1, 2 or 4.

// ---- Registers ----------------------------------------------------------------------------
// Sets a register without side effects (as a board would hold it at power-up).
HALVEX_SIM_API void SetRegister(std::size_t board, uint32_t offset, uint32_t value, unsigned width = 4);
// Reads a register without side effects.
HALVEX_SIM_API uint32_t GetRegister(std::size_t board, uint32_t offset, unsigned width = 4);

// ---- What the library sent ----------------------------------------------------------------
HALVEX_SIM_API std::vector<Request> Requests(std::size_t board);
HALVEX_SIM_API void ClearRequests(std::size_t board);
// Register writes only, in order, as (offset, width, value).
struct RegisterWrite {
    uint16_t offset;
    uint8_t width;
    uint32_t value;
    bool operator==(const RegisterWrite&) const = default;
};
HALVEX_SIM_API std::vector<RegisterWrite> RegisterWrites(std::size_t board);

// ---- Failures -----------------------------------------------------------------------------
HALVEX_SIM_API void FailRequests(std::size_t board, DWORD code, const Failure& failure);
HALVEX_SIM_API void ClearFailures(std::size_t board);
// The next opens of the board fail with `lastError` (0: opens succeed again).
HALVEX_SIM_API void FailOpen(std::size_t board, DWORD lastError);
// Whether the library holds the board open right now.
HALVEX_SIM_API bool IsOpen(std::size_t board);

// ---- Board-finder list in the registry ------------------------------------------------------
// HKLM "Software\Slotscan" "Company" = company, and "Software\<company>\Cardlist" holding one
// REG_SZ per identifier. The bus writes it for its boards with the company "Orvande".
HALVEX_SIM_API void WriteBoardList(const std::string& company = "Orvande");
HALVEX_SIM_API void RemoveBoardList();

}  // namespace halvex::sim

// ---- The library's life cycle, for tests -----------------------------------------------------
// Runs the library's start-up (as at load) or its unload (as at unload) in this process. A test
// may detach and start again any number of times, with a different bus each time.
extern "C" {
HALVEX_SIM_API void HxTestLibraryStart(void);
HALVEX_SIM_API void HxTestLibraryDetach(void);
}
