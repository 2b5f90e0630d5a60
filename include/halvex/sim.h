// Simulated boards: a stand-in for the maker's kernel driver and the boards behind it, in C++.
//
// The simulated bus sits behind the library's driver port exactly where the kernel driver sits
// on Windows, so the library code that runs against it is the code that ships. This header is
// for tests (ours and an application's own): build a bus, pre-set registers, read what the
// library sent, inject failures, and start, detach and restart the library in one process.
//
// It is a convenience over halvex/sim_c.h, which is the simulator's one interface: every
// function here is inline and calls an HXSIM_ function, so the library exports no C++ symbol and
// a program may build this header with any C++20 compiler. Where a C function returns a code,
// the function here throws: std::out_of_range for a board not on the bus (1413, also a sequencer,
// channel or output out of range), std::invalid_argument for an argument it cannot take (87:
// a register access outside the 4 KiB register file or of a width other than 1, 2 or 4, for
// example), std::bad_alloc, or std::runtime_error for any other code.
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
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// Quoted: found beside this header, in the source tree and once installed.
#include "driver_abi.h"
#include "sim_c.h"
#include "test_entries.h"

namespace halvex::sim {

// The driver's binary interface (device-interface class, control codes) under the names tests
// use. The library speaks the same one.
inline constexpr GUID kInterfaceClass = InterfaceClassGuid;

inline constexpr DWORD kIoctlGetDeviceId = IOCTL_GET_DEVICE_ID;
inline constexpr DWORD kIoctlQueryBarBase = IOCTL_QUERY_BAR_BASE;
inline constexpr DWORD kIoctlWaitForIrq = IOCTL_WAIT_FOR_IRQ;
inline constexpr DWORD kIoctlPollForIrq = IOCTL_POLL_FOR_IRQ;
inline constexpr DWORD kIoctlAbortIrqWait = IOCTL_ABORT_IRQ_WAIT;
inline constexpr DWORD kIoctlRegRead = IOCTL_REG_READ;
inline constexpr DWORD kIoctlRegReadBlock = IOCTL_REG_READ_BLOCK;
inline constexpr DWORD kIoctlRegWrite = IOCTL_REG_WRITE;
inline constexpr DWORD kIoctlDmaPiongControl = IOCTL_DMA_PIONG_CONTROL;
inline constexpr DWORD kIoctlDmaPiongIn = IOCTL_DMA_PIONG_IN;

namespace detail {

// A code of an HXSIM_ function as the exception this header documents.
inline void Check(DWORD code, const char* function) {
    switch (code) {
        case ERROR_SUCCESS:
            return;
        case ERROR_INVALID_INDEX:
            throw std::out_of_range(std::string(function) + ": no such board, sequencer, channel or output");
        case ERROR_INVALID_PARAMETER:
            throw std::invalid_argument(std::string(function) + ": an argument the simulator cannot take");
        case ERROR_NOT_ENOUGH_MEMORY:
            throw std::bad_alloc();
        default:
            throw std::runtime_error(std::string(function) + " failed with code " + std::to_string(code));
    }
}

// A wait's code: true when it was met, false when its time ran out.
inline bool Reached(DWORD code, const char* function) {
    if (code == WAIT_TIMEOUT) return false;
    Check(code, function);
    return true;
}

// A list an HXSIM_ function stores with its count, read whole even while it grows.
template <typename T, typename Get>
std::vector<T> List(Get get, const char* function) {
    std::vector<T> items;
    for (;;) {
        UINT64 count = 0;
        const DWORD code = get(items.data(), items.size(), &count);
        if (code == ERROR_MORE_DATA) {
            items.resize(static_cast<std::size_t>(count) + 16);
            continue;
        }
        Check(code, function);
        items.resize(static_cast<std::size_t>(count));
        return items;
    }
}

// A text an HXSIM_ function stores with its length.
template <typename Char, typename Get>
std::basic_string<Char> Text(Get get, const char* function) {
    std::basic_string<Char> text;
    for (;;) {
        DWORD length = 0;
        std::vector<Char> room(text.size() + 1);
        const DWORD code = get(room.data(), static_cast<DWORD>(room.size()), &length);
        if (code == ERROR_MORE_DATA) {
            text.resize(length);
            continue;
        }
        Check(code, function);
        return std::basic_string<Char>(room.data(), length);
    }
}

}  // namespace detail

struct BoardSetup {
    uint32_t deviceId = 0x805C;
    uint32_t baseClock = 40'000'000;  // register 12
    uint32_t firmware = 0;            // register 104
    uint32_t transferBytes = 65536;   // register 32: bytes of one DMA transfer
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
    // For register requests (read, block read, write), the register request as the driver
    // decoded it; 0 for other requests.
    bool IsRegister() const { return isRegister; }
    uint16_t Offset() const { return offset; }
    uint8_t Width() const { return width; }
    uint32_t Value() const { return value; }

    bool isRegister = false;
    uint16_t offset = 0;
    uint8_t width = 0;
    uint32_t value = 0;
};

enum class FailKind {
    Now,         // fail at once with `lastError` (0 allowed)
    Short,       // succeed but report only `bytes` bytes returned; a DMA data request is a short
                 // transfer: the stream's next `bytes` bytes arrive, it completes with that count
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
inline void Reset() { detail::Check(HXSIM_ResetBus(), "HXSIM_ResetBus"); }
// Adds a board at the end of the bus and returns its position (its enumeration order).
// Also writes the board's name into the board-finder list.
inline std::size_t AddBoard(const BoardSetup& setup) {
    HXSIM_BOARD_SETUP given{};
    given.Size = sizeof given;
    given.DeviceId = setup.deviceId;
    given.BaseClock = setup.baseClock;
    given.Firmware = setup.firmware;
    given.TransferBytes = setup.transferBytes;
    given.Path = reinterpret_cast<const WCHAR*>(setup.path.c_str());
    given.PathTail = reinterpret_cast<const WCHAR*>(setup.pathTail.c_str());
    given.Name = setup.name.c_str();
    UINT64 position = 0;
    detail::Check(HXSIM_AddBoardEx(&given, &position), "HXSIM_AddBoardEx");
    return static_cast<std::size_t>(position);
}
// Reset, then the default set of three boards.
inline void UseDefaultBoards() { detail::Check(HXSIM_UseDefaultBoards(), "HXSIM_UseDefaultBoards"); }
// Reset, then the boards named by HALVEX_SIM_BOARDS, or the default set when it is unset.
// False (and the default set) when the variable cannot be parsed.
inline bool UseEnvironmentBoards() {
    const DWORD code = HXSIM_UseEnvironmentBoards();
    if (code == ERROR_INVALID_DATA) return false;
    detail::Check(code, "HXSIM_UseEnvironmentBoards");
    return true;
}
// The first entry of a HALVEX_SIM_BOARDS value that cannot be parsed, trimmed (empty for the
// empty entry a trailing comma makes); nullopt when the whole value parses.
inline std::optional<std::string> BadBoardListEntry(const std::string& text) {
    std::string entry;
    for (;;) {
        DWORD length = 0;
        std::vector<char> room(entry.size() + 1);
        const DWORD code =
            HXSIM_FindBadBoardListEntry(text.c_str(), room.data(), static_cast<DWORD>(room.size()), &length);
        if (code == ERROR_SUCCESS) return std::nullopt;
        if (code == ERROR_INVALID_DATA) return std::string(room.data(), length);
        if (code != ERROR_MORE_DATA) detail::Check(code, "HXSIM_FindBadBoardListEntry");
        entry.resize(length);
    }
}
inline std::size_t BoardCount() {
    UINT64 count = 0;
    detail::Check(HXSIM_GetBoardCount(&count), "HXSIM_GetBoardCount");
    return static_cast<std::size_t>(count);
}
// The board as the bus holds it: a made-up path and name are filled in.
inline BoardSetup BoardSetupOf(std::size_t board) {
    HXSIM_BOARD_SETUP held{};
    held.Size = sizeof held;
    detail::Check(HXSIM_GetBoardSetup(board, &held), "HXSIM_GetBoardSetup");
    BoardSetup setup;
    setup.deviceId = held.DeviceId;
    setup.baseClock = held.BaseClock;
    setup.firmware = held.Firmware;
    setup.transferBytes = held.TransferBytes;
    const auto path = [board](BOOL tail) {
        const std::basic_string<WCHAR> text = detail::Text<WCHAR>(
            [&](WCHAR* p, DWORD capacity, DWORD* length) { return HXSIM_GetBoardPath(board, tail, p, capacity, length); },
            "HXSIM_GetBoardPath");
        return std::u16string(text.begin(), text.end());
    };
    setup.path = path(FALSE);
    setup.pathTail = path(TRUE);
    setup.name = detail::Text<char>(
        [&](char* p, DWORD capacity, DWORD* length) { return HXSIM_GetBoardName(board, p, capacity, length); },
        "HXSIM_GetBoardName");
    return setup;
}
// The base address IOCTL_QUERY_BAR_BASE reports for BAR `index` (0-5) of a board.
inline uint32_t BarBase(std::size_t board, unsigned index) {
    DWORD base = 0;
    detail::Check(HXSIM_GetBarBase(board, index, &base), "HXSIM_GetBarBase");
    return base;
}
// Functions taking a board position throw std::out_of_range for a board not on the bus; the
// register functions throw std::invalid_argument for an access outside the 4 KiB register
// file or of a width other than 1, 2 or 4.

// ---- Registers ----------------------------------------------------------------------------
// Sets a register without side effects (as a board would hold it at power-up).
inline void SetRegister(std::size_t board, uint32_t offset, uint32_t value, unsigned width = 4) {
    detail::Check(HXSIM_SetRegister(board, offset, value, width), "HXSIM_SetRegister");
}
// Reads a register without side effects.
inline uint32_t GetRegister(std::size_t board, uint32_t offset, unsigned width = 4) {
    DWORD value = 0;
    detail::Check(HXSIM_GetRegister(board, offset, width, &value), "HXSIM_GetRegister");
    return value;
}

// ---- What the library sent ----------------------------------------------------------------
// The board's newest 65536 requests, oldest first.
inline std::vector<Request> Requests(std::size_t board) {
    std::vector<HXSIM_REQUEST> records;
    std::vector<BYTE> input;
    for (;;) {
        UINT64 count = 0, bytes = 0;
        const DWORD code = HXSIM_GetRequests(board, records.data(), records.size(), input.data(), input.size(), &count,
                                             &bytes);
        if (code == ERROR_MORE_DATA) {
            // Room for what arrives before the next call, too.
            records.resize(static_cast<std::size_t>(count) + 64);
            input.resize(static_cast<std::size_t>(bytes) + 64 * 16);
            continue;
        }
        detail::Check(code, "HXSIM_GetRequests");
        records.resize(static_cast<std::size_t>(count));
        break;
    }
    std::vector<Request> requests;
    requests.reserve(records.size());
    for (const HXSIM_REQUEST& record : records) {
        Request request;
        request.code = record.ControlCode;
        const auto first = input.begin() + static_cast<std::ptrdiff_t>(record.InputOffset);
        request.input.assign(first, first + record.InputBytes);
        request.outSize = record.OutputBytes;
        request.overlapped = record.Overlapped != FALSE;
        request.isRegister = record.IsRegister != FALSE;
        request.offset = static_cast<uint16_t>(record.Offset);
        request.width = static_cast<uint8_t>(record.Width);
        request.value = record.Value;
        requests.push_back(std::move(request));
    }
    return requests;
}
inline void ClearRequests(std::size_t board) { detail::Check(HXSIM_ClearRequests(board), "HXSIM_ClearRequests"); }
// Register writes only, in order, as (offset, width, value).
struct RegisterWrite {
    uint16_t offset;
    uint8_t width;
    uint32_t value;
    bool operator==(const RegisterWrite&) const = default;
};
inline std::vector<RegisterWrite> RegisterWrites(std::size_t board) {
    std::vector<RegisterWrite> writes;
    for (const Request& request : Requests(board)) {
        if (request.code == kIoctlRegWrite && request.IsRegister()) {
            writes.push_back({request.Offset(), request.Width(), request.Value()});
        }
    }
    return writes;
}

// ---- Failures -----------------------------------------------------------------------------
inline void FailRequests(std::size_t board, DWORD code, const Failure& failure) {
    detail::Check(HXSIM_FailRequests(board, code, static_cast<DWORD>(failure.kind), failure.lastError, failure.bytes,
                                     failure.count),
                  "HXSIM_FailRequests");
}
inline void ClearFailures(std::size_t board) { detail::Check(HXSIM_ClearFailures(board), "HXSIM_ClearFailures"); }
// The next opens of the board fail with `lastError` (0: opens succeed again).
inline void FailOpen(std::size_t board, DWORD lastError) {
    detail::Check(HXSIM_FailOpen(board, lastError), "HXSIM_FailOpen");
}
// Whether the library holds the board open right now.
inline bool IsOpen(std::size_t board) {
    BOOL open = FALSE;
    detail::Check(HXSIM_IsOpen(board, &open), "HXSIM_IsOpen");
    return open != FALSE;
}

// ---- Board-finder list in the registry ------------------------------------------------------
// HKLM "Software\Slotscan" "Company" = company, and "Software\<company>\Cardlist" holding one
// REG_SZ per identifier. The bus writes it for its boards with the company "Orvande".
inline void WriteBoardList(const std::string& company = "Orvande") {
    detail::Check(HXSIM_WriteBoardList(company.c_str()), "HXSIM_WriteBoardList");
}
inline void RemoveBoardList() { detail::Check(HXSIM_RemoveBoardList(), "HXSIM_RemoveBoardList"); }

}  // namespace halvex::sim

// ---- Analog outputs, interrupts and the DMA ping-pong requests --------------------------------
// Functions taking a board position throw std::out_of_range for a board not on the bus, and for
// a channel above 3.
namespace halvex::sim {

// The DAC of each board: the range code (0-4; 3 at power-up) and counts (0x8000 at power-up) the
// command register last set on an output, and the voltage it puts out (what a loopback input
// reads).
inline uint32_t AnalogOutputRange(std::size_t board, unsigned channel) {
    DWORD range = 0;
    detail::Check(HXSIM_GetAnalogOutput(board, channel, &range, nullptr, nullptr), "HXSIM_GetAnalogOutput");
    return range;
}
inline uint32_t AnalogOutputCounts(std::size_t board, unsigned channel) {
    DWORD counts = 0;
    detail::Check(HXSIM_GetAnalogOutput(board, channel, nullptr, &counts, nullptr), "HXSIM_GetAnalogOutput");
    return counts;
}
inline double AnalogOutputVolts(std::size_t board, unsigned channel) {
    double volts = 0.0;
    detail::Check(HXSIM_GetAnalogOutput(board, channel, nullptr, nullptr, &volts), "HXSIM_GetAnalogOutput");
    return volts;
}

// Interrupts. Raising completes every pending wait with the satisfied code; with no wait pending
// the interrupt is kept and satisfies the next wait or poll. IOCTL_ABORT_IRQ_WAIT completes every
// pending wait with the aborted code. Defaults: satisfied 0 (success), aborted 995
// (ERROR_OPERATION_ABORTED); 18 (ERROR_NO_MORE_FILES) is another satisfied code drivers use.
inline void RaiseInterrupt(std::size_t board) { detail::Check(HXSIM_RaiseInterrupt(board), "HXSIM_RaiseInterrupt"); }
inline void SetInterruptCompletion(std::size_t board, DWORD satisfied, DWORD aborted) {
    detail::Check(HXSIM_SetInterruptCompletion(board, satisfied, aborted), "HXSIM_SetInterruptCompletion");
}
// A driver that ignores the abort (false at power-up): IOCTL_ABORT_IRQ_WAIT is answered with
// success and ends no wait, so only a cancellation (CancelIoEx), the interrupt or closing the
// handle ends one. PIO_AbortIRQWait then cancels the waits itself.
inline void IgnoreInterruptAbort(std::size_t board, bool ignore) {
    detail::Check(HXSIM_IgnoreInterruptAbort(board, ignore ? TRUE : FALSE), "HXSIM_IgnoreInterruptAbort");
}
inline std::size_t PendingInterruptWaits(std::size_t board) {
    UINT64 count = 0;
    detail::Check(HXSIM_GetPendingInterruptWaits(board, &count), "HXSIM_GetPendingInterruptWaits");
    return static_cast<std::size_t>(count);
}
// Blocks until at least `count` waits are pending on the board; false after `timeoutMs`.
inline bool AwaitInterruptWaits(std::size_t board, std::size_t count, DWORD timeoutMs) {
    return detail::Reached(HXSIM_AwaitInterruptWaits(board, count, timeoutMs), "HXSIM_AwaitInterruptWaits");
}
// The event handle in the OVERLAPPED of every interrupt-wait request the board received (null
// for a request without one), oldest first: lets a test see that a caller closed its events.
inline std::vector<HANDLE> InterruptWaitEvents(std::size_t board) {
    return detail::List<HANDLE>(
        [board](HANDLE* p, UINT64 max, UINT64* count) { return HXSIM_GetInterruptWaitEvents(board, p, max, count); },
        "HXSIM_GetInterruptWaitEvents");
}
// Raises the interrupt every `periodMs` milliseconds from a thread of the board (0 stops it).
inline void StartInterruptTimer(std::size_t board, DWORD periodMs) {
    detail::Check(HXSIM_StartInterruptTimer(board, periodMs), "HXSIM_StartInterruptTimer");
}
inline void StopInterruptTimer(std::size_t board) {
    detail::Check(HXSIM_StopInterruptTimer(board), "HXSIM_StopInterruptTimer");
}

// DMA ping-pong. A control request is answered with its own bytes, up to the caller's capacity;
// a first byte 0x10 (stop) ends every pending data request with ERROR_OPERATION_ABORTED. A data
// request pends until it is filled (by the board's DMA engine, or here) or stopped.
inline std::size_t PendingDmaRequests(std::size_t board) {
    UINT64 count = 0;
    detail::Check(HXSIM_GetPendingDmaRequests(board, &count), "HXSIM_GetPendingDmaRequests");
    return static_cast<std::size_t>(count);
}
// Blocks until at least `count` data requests are pending; false after `timeoutMs`.
inline bool AwaitDmaRequests(std::size_t board, std::size_t count, DWORD timeoutMs) {
    return detail::Reached(HXSIM_AwaitDmaRequests(board, count, timeoutMs), "HXSIM_AwaitDmaRequests");
}
// Fills the oldest pending data request with `data` (cut to the caller's size) and completes it
// with success. False when none is pending.
inline bool CompleteDmaRequest(std::size_t board, const std::vector<uint8_t>& data) {
    const DWORD code = HXSIM_CompleteDmaRequest(board, data.data(), data.size());
    if (code == ERROR_NOT_FOUND) return false;
    detail::Check(code, "HXSIM_CompleteDmaRequest");
    return true;
}

}  // namespace halvex::sim

// ---- Analog inputs ----------------------------------------------------------------------------
// Each sequencer has eight input channels of its own (16 inputs a board), each fed by a source.
// At power-up every channel has a constant of its own: ±0.008 V × (channel + 1)², positive on
// sequencer 0 and negative on sequencer 1, so a wrong channel, sequencer or differential pair
// gives a different value on every range. Differential mode reads channel 2j minus 2j + 1.
// A conversion packs counts rounded to the nearest (volts × 16000 ÷ the range's half-span,
// clipped to -32768 .. 32767), the range code in bits 16-18 and the channel in bits 20-23.
namespace halvex::sim {

enum class InputSourceKind {
    Constant,     // volts
    Sine,         // volts + amplitude × sin(2π × hertz × t)
    Square,       // volts + amplitude in the first half of each period, volts - amplitude after
    Ramp,         // rises from volts - amplitude to volts + amplitude once a period
    Noise,        // volts + a fixed pseudo-random sequence within ±amplitude, one step a conversion
    AnalogOutput  // the voltage on the board's analog output `output` (0-3): a loopback wire
};

struct InputSource {
    InputSourceKind kind = InputSourceKind::Constant;
    double volts = 0.0;
    double amplitude = 0.0;
    double hertz = 0.0;
    unsigned output = 0;
};

// t counts seconds from the moment the board was added to the bus.
// These throw std::out_of_range for a board not on the bus, a sequencer above 1 or a channel
// above 7, and std::invalid_argument for a loopback output above 3.
inline void SetInputSource(std::size_t board, unsigned sequencer, unsigned channel, const InputSource& source) {
    detail::Check(HXSIM_SetInputSource(board, sequencer, channel, static_cast<DWORD>(source.kind), source.volts,
                                       source.amplitude, source.hertz, source.output),
                  "HXSIM_SetInputSource");
}
inline InputSource InputSourceOf(std::size_t board, unsigned sequencer, unsigned channel) {
    InputSource source;
    DWORD kind = 0, output = 0;
    detail::Check(HXSIM_GetInputSource(board, sequencer, channel, &kind, &source.volts, &source.amplitude,
                                       &source.hertz, &output),
                  "HXSIM_GetInputSource");
    source.kind = static_cast<InputSourceKind>(kind);
    source.output = output;
    return source;
}
// The power-up source of a channel.
inline InputSource DefaultInputSource(unsigned sequencer, unsigned channel) {
    InputSource source;
    DWORD kind = 0, output = 0;
    detail::Check(HXSIM_GetDefaultInputSource(sequencer, channel, &kind, &source.volts, &source.amplitude,
                                              &source.hertz, &output),
                  "HXSIM_GetDefaultInputSource");
    source.kind = static_cast<InputSourceKind>(kind);
    source.output = output;
    return source;
}
// The word a board delivers for `volts` on input range `rangeCode` at `channel`.
inline uint32_t PackedConversion(double volts, uint32_t rangeCode, unsigned channel) {
    DWORD word = 0;
    detail::Check(HXSIM_PackConversion(volts, rangeCode, channel, &word), "HXSIM_PackConversion");
    return word;
}
// On boards that take 32-bit immediate commands: how soon after the previous command a new one
// is taken (15 µs at power-up); sooner ones are dropped. A long spacing makes the next scan find
// a short FIFO. Throws std::invalid_argument for a spacing below 0, above 10^12 µs or not a
// number.
inline void SetCommandSpacing(std::size_t board, double microseconds) {
    detail::Check(HXSIM_SetCommandSpacing(board, microseconds), "HXSIM_SetCommandSpacing");
}

}  // namespace halvex::sim

// ---- Streaming: the DMA engine of the acquisition sequencer -----------------------------------
// Control byte 0x11 arms the engine; the run bit of sequencer 0's start/stop register (offset 56)
// together with register 64 = 0x10 starts it. It then converts sequencer 0's scan - channels 0 up
// to the stop channel (bits 12-14 of the start/stop register), or only the even channels in
// differential mode (bit 11 clear) - on the ranges of the range register (offset 24), at base
// clock / divisor (register 12 / register 16), and fills the oldest pending data request once a
// request's worth of samples has been converted. With no request pending, samples wait in the
// on-board FIFO; beyond its depth new samples are lost and counted as overrun. Control byte 0x10
// (which also fails a pending request with ERROR_OPERATION_ABORTED), clearing the run bit or
// clearing register 64 stops it.
//
// Register 32 holds the bytes of one transfer, which the library takes as its chunk size: it comes
// up at BoardSetup::transferBytes (64 KiB unless the board's setup says otherwise) and is plain storage.
//
// Functions taking a board position throw std::out_of_range for a board not on the bus.
namespace halvex::sim {

enum class DmaPacing {
    RealTime,    // samples come at the conversion rate; the default
    FreeRunning  // each request is filled the moment it is queued; nothing is ever lost
};

inline constexpr std::size_t kDefaultStreamFifoDepth = 65536;  // samples

struct StreamStatus {
    bool armed = false;
    bool running = false;
    uint64_t runs = 0;          // times the engine started
    uint64_t stops = 0;         // times it stopped
    uint64_t delivered = 0;     // samples written into completed requests (all runs)
    uint64_t overruns = 0;      // samples lost because the FIFO was full (all runs)
    uint64_t fifo = 0;          // samples waiting in the FIFO now
    uint64_t completed = 0;     // requests filled (all runs)
};

inline void SetDmaPacing(std::size_t board, DmaPacing pacing) {
    detail::Check(HXSIM_SetDmaPacing(board, pacing == DmaPacing::RealTime ? HXSIM_PACING_REAL_TIME
                                                                          : HXSIM_PACING_FREE_RUNNING),
                  "HXSIM_SetDmaPacing");
}
// Replaces every converted value by the sample's index since the run started: counts = index
// modulo 65536, with the channel and range code the scan gives it. Lets a test prove that every
// sample arrived once and in order. Off at power-up.
inline void SetStreamIndexSource(std::size_t board, bool on) {
    detail::Check(HXSIM_SetStreamIndexSource(board, on ? TRUE : FALSE), "HXSIM_SetStreamIndexSource");
}
inline void SetStreamFifoDepth(std::size_t board, std::size_t samples) {
    detail::Check(HXSIM_SetStreamFifoDepth(board, samples), "HXSIM_SetStreamFifoDepth");
}
inline StreamStatus StreamStatusOf(std::size_t board) {
    HXSIM_STREAM_STATUS held{};
    held.Size = sizeof held;
    detail::Check(HXSIM_GetStreamStatus(board, &held), "HXSIM_GetStreamStatus");
    StreamStatus status;
    status.armed = held.Armed != FALSE;
    status.running = held.Running != FALSE;
    status.runs = held.Runs;
    status.stops = held.Stops;
    status.delivered = held.Delivered;
    status.overruns = held.Overruns;
    status.fifo = held.Fifo;
    status.completed = held.Completed;
    return status;
}
// Blocks until the engine is running (`running` true) or stopped; false after `timeoutMs`.
inline bool AwaitStreamRunning(std::size_t board, bool running, DWORD timeoutMs) {
    return detail::Reached(HXSIM_AwaitStreamRunning(board, running ? TRUE : FALSE, timeoutMs),
                           "HXSIM_AwaitStreamRunning");
}
// Blocks until the engine has stopped at least `stops` times in all; false after `timeoutMs`.
inline bool AwaitStreamStops(std::size_t board, uint64_t stops, DWORD timeoutMs) {
    return detail::Reached(HXSIM_AwaitStreamStops(board, stops, timeoutMs), "HXSIM_AwaitStreamStops");
}
// When the last completed data requests (up to 65536) were completed, oldest first, in
// nanoseconds of std::chrono::steady_clock.
inline std::vector<int64_t> DmaCompletionTimes(std::size_t board) {
    const std::vector<INT64> times = detail::List<INT64>(
        [board](INT64* p, UINT64 max, UINT64* count) { return HXSIM_GetDmaCompletionTimes(board, p, max, count); },
        "HXSIM_GetDmaCompletionTimes");
    return {times.begin(), times.end()};
}
// The word the index source delivers for sample `index` on `channel` with range code `rangeCode`.
inline uint32_t IndexSampleWord(uint64_t index, unsigned channel, uint32_t rangeCode) {
    return static_cast<uint32_t>(index & 0xFFFF) | (rangeCode & 7) << 16 | (channel & 0xF) << 20;
}

}  // namespace halvex::sim

// ---- Replaying a recording ---------------------------------------------------------------------
// Inline over the C interface (halvex/sim_c.h, "Replaying a recording", which says what a replay
// does and when it diverges).
#include "sim_c.h"

namespace halvex::sim {

struct ReplaySettings {
    bool paced = false;           // completions no sooner than recorded; else at once
    bool acceptTornTail = false;  // a last record cut short is dropped instead of refusing
    DWORD stallMs = 0;            // 0: 10000
};

struct ReplayStatus {
    DWORD state = HXSIM_REPLAY_OFF;
    DWORD request = 0;
    uint64_t answered = 0;
    uint64_t left = 0;
    std::string message, expected, got;
};

// Starts replaying the recording at `path`; the C function's code (0 on success).
inline DWORD Replay(const std::string& path, const ReplaySettings& settings = {}) {
    const DWORD flags = (settings.paced ? HXSIM_REPLAY_PACED : 0) |
                        (settings.acceptTornTail ? HXSIM_REPLAY_ACCEPT_TORN_TAIL : 0);
    return HXSIM_Replay(path.c_str(), flags, settings.stallMs);
}
inline void EndReplay() { HXSIM_ReplayEnd(); }
inline ReplayStatus GetReplayStatus() {
    HXSIM_REPLAY_STATUS raw{};
    raw.Size = sizeof raw;
    ReplayStatus status;
    if (HXSIM_GetReplayStatus(&raw) != 0) return status;
    status.state = raw.State;
    status.request = raw.Request;
    status.answered = raw.Answered;
    status.left = raw.Left;
    status.message = raw.Message;
    status.expected = raw.Expected;
    status.got = raw.Got;
    return status;
}

}  // namespace halvex::sim
