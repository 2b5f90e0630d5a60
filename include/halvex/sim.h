// Simulated boards: a stand-in for the maker's kernel driver and the boards behind it.
//
// The simulated bus sits behind the library's driver port exactly where the kernel driver sits
// on Windows, so the library code that runs against it is the code that ships. This header is
// for tests (ours and an application's own): build a bus, pre-set registers, read what the
// library sent, inject failures, and start, detach and restart the library in one process.
// halvex/sim_c.h offers the same simulator to C programs and other languages.
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
#include <optional>
#include <string>
#include <vector>

// Quoted: found beside this header, in the source tree and once installed.
#include "driver_abi.h"
#include "test_entries.h"

#if defined(_WIN32)
#define HALVEX_SIM_API
#else
#define HALVEX_SIM_API __attribute__((visibility("default")))
#endif

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
struct HALVEX_SIM_API Request {
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
HALVEX_SIM_API void Reset();
// Adds a board at the end of the bus and returns its position (its enumeration order).
// Also writes the board's name into the board-finder list.
HALVEX_SIM_API std::size_t AddBoard(const BoardSetup& setup);
// Reset, then the default set of three boards.
HALVEX_SIM_API void UseDefaultBoards();
// Reset, then the boards named by HALVEX_SIM_BOARDS, or the default set when it is unset.
// False (and the default set) when the variable cannot be parsed.
HALVEX_SIM_API bool UseEnvironmentBoards();
// The first entry of a HALVEX_SIM_BOARDS value that cannot be parsed, trimmed (empty for the
// empty entry a trailing comma makes); nullopt when the whole value parses.
HALVEX_SIM_API std::optional<std::string> BadBoardListEntry(const std::string& text);
HALVEX_SIM_API std::size_t BoardCount();
// The board as the bus holds it: a made-up path and name are filled in.
HALVEX_SIM_API BoardSetup BoardSetupOf(std::size_t board);
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
// The board's newest 65536 requests, oldest first.
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

// ---- Analog outputs, interrupts and the DMA ping-pong requests --------------------------------
// Functions taking a board position throw std::out_of_range for a board not on the bus, and for
// a channel above 3.
namespace halvex::sim {

// The DAC of each board: the range code (0-4; 3 at power-up) and counts (0x8000 at power-up) the
// command register last set on an output, and the voltage it puts out (what a loopback input
// reads).
HALVEX_SIM_API uint32_t AnalogOutputRange(std::size_t board, unsigned channel);
HALVEX_SIM_API uint32_t AnalogOutputCounts(std::size_t board, unsigned channel);
HALVEX_SIM_API double AnalogOutputVolts(std::size_t board, unsigned channel);

// Interrupts. Raising completes every pending wait with the satisfied code; with no wait pending
// the interrupt is kept and satisfies the next wait or poll. IOCTL_ABORT_IRQ_WAIT completes every
// pending wait with the aborted code. Defaults: satisfied 0 (success), aborted 995
// (ERROR_OPERATION_ABORTED); 18 (ERROR_NO_MORE_FILES) is another satisfied code drivers use.
HALVEX_SIM_API void RaiseInterrupt(std::size_t board);
HALVEX_SIM_API void SetInterruptCompletion(std::size_t board, DWORD satisfied, DWORD aborted);
// A driver that ignores the abort (false at power-up): IOCTL_ABORT_IRQ_WAIT is answered with
// success and ends no wait, so only a cancellation (CancelIoEx), the interrupt or closing the
// handle ends one. PIO_AbortIRQWait then cancels the waits itself.
HALVEX_SIM_API void IgnoreInterruptAbort(std::size_t board, bool ignore);
HALVEX_SIM_API std::size_t PendingInterruptWaits(std::size_t board);
// Blocks until at least `count` waits are pending on the board; false after `timeoutMs`.
HALVEX_SIM_API bool AwaitInterruptWaits(std::size_t board, std::size_t count, DWORD timeoutMs);
// The event handle in the OVERLAPPED of every interrupt-wait request the board received (null
// for a request without one), oldest first: lets a test see that a caller closed its events.
HALVEX_SIM_API std::vector<HANDLE> InterruptWaitEvents(std::size_t board);
// Raises the interrupt every `periodMs` milliseconds from a thread of the board (0 stops it).
HALVEX_SIM_API void StartInterruptTimer(std::size_t board, DWORD periodMs);
HALVEX_SIM_API void StopInterruptTimer(std::size_t board);

// DMA ping-pong. A control request is answered with its own bytes, up to the caller's capacity;
// a first byte 0x10 (stop) ends every pending data request with ERROR_OPERATION_ABORTED. A data
// request pends until it is filled (by the board's DMA engine, or here) or stopped.
HALVEX_SIM_API std::size_t PendingDmaRequests(std::size_t board);
// Blocks until at least `count` data requests are pending; false after `timeoutMs`.
HALVEX_SIM_API bool AwaitDmaRequests(std::size_t board, std::size_t count, DWORD timeoutMs);
// Fills the oldest pending data request with `data` (cut to the caller's size) and completes it
// with success. False when none is pending.
HALVEX_SIM_API bool CompleteDmaRequest(std::size_t board, const std::vector<uint8_t>& data);

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
HALVEX_SIM_API void SetInputSource(std::size_t board, unsigned sequencer, unsigned channel, const InputSource& source);
HALVEX_SIM_API InputSource InputSourceOf(std::size_t board, unsigned sequencer, unsigned channel);
// The power-up source of a channel.
HALVEX_SIM_API InputSource DefaultInputSource(unsigned sequencer, unsigned channel);
// The word a board delivers for `volts` on input range `rangeCode` at `channel`.
HALVEX_SIM_API uint32_t PackedConversion(double volts, uint32_t rangeCode, unsigned channel);
// On boards that take 32-bit immediate commands: how soon after the previous command a new one
// is taken (15 µs at power-up); sooner ones are dropped. A long spacing makes the next scan find
// a short FIFO. Throws std::invalid_argument for a spacing below 0, above 10^12 µs or not a
// number.
HALVEX_SIM_API void SetCommandSpacing(std::size_t board, double microseconds);

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

HALVEX_SIM_API void SetDmaPacing(std::size_t board, DmaPacing pacing);
// Replaces every converted value by the sample's index since the run started: counts = index
// modulo 65536, with the channel and range code the scan gives it. Lets a test prove that every
// sample arrived once and in order. Off at power-up.
HALVEX_SIM_API void SetStreamIndexSource(std::size_t board, bool on);
HALVEX_SIM_API void SetStreamFifoDepth(std::size_t board, std::size_t samples);
HALVEX_SIM_API StreamStatus StreamStatusOf(std::size_t board);
// Blocks until the engine is running (`running` true) or stopped; false after `timeoutMs`.
HALVEX_SIM_API bool AwaitStreamRunning(std::size_t board, bool running, DWORD timeoutMs);
// Blocks until the engine has stopped at least `stops` times in all; false after `timeoutMs`.
HALVEX_SIM_API bool AwaitStreamStops(std::size_t board, uint64_t stops, DWORD timeoutMs);
// When the last completed data requests (up to 65536) were completed, oldest first, in
// nanoseconds of std::chrono::steady_clock.
HALVEX_SIM_API std::vector<int64_t> DmaCompletionTimes(std::size_t board);
// The word the index source delivers for sample `index` on `channel` with range code `rangeCode`.
inline uint32_t IndexSampleWord(uint64_t index, unsigned channel, uint32_t rangeCode) {
    return static_cast<uint32_t>(index & 0xFFFF) | (rangeCode & 7) << 16 | (channel & 0xF) << 20;
}

}  // namespace halvex::sim
