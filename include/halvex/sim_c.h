/*
 * Simulated boards: the simulator's test API, for C programs, for other languages through their
 * C foreign-function interfaces, and under halvex/sim.h's C++ names. This interface is the
 * contract: the library exports it and nothing else of the simulator (halvex/sim.h only calls it).
 *
 * Usable from C and C++. Exported from libhalvex.so, whose boards are simulated; include
 * include/halvex/posix on the include path for its <windows.h>. These functions are not part
 * of the release Halvex.dll.
 *
 * Boards are numbered by their position on the simulated bus (0, 1, 2, ... in the order they
 * were added), which is also their library board index once the library has started on that
 * bus. The library opens the boards when it starts (when it is loaded, or HXSIM_LibraryStart),
 * so changes to the set of boards (HXSIM_ResetBus, HXSIM_AddBoard, HXSIM_UseDefaultBoards,
 * HXSIM_UseEnvironmentBoards) reach the library at its next start: detach it, set up the bus,
 * start it again. Everything else (sources, registers, failures, interrupts, DMA pacing) acts
 * on the running boards at once.
 *
 * Results: every function returns a Windows error code, 0 for success:
 *      0 ERROR_SUCCESS             success
 *     13 ERROR_INVALID_DATA        HALVEX_SIM_BOARDS cannot be parsed (HXSIM_UseEnvironmentBoards)
 *     87 ERROR_INVALID_PARAMETER   a kind, width, register offset, output or size is not valid
 *    234 ERROR_MORE_DATA           a result does not fit the room given: the room it needs is
 *                                  stored (the count or length arguments say where), nothing else
 *    258 WAIT_TIMEOUT              a wait ran out of time
 *    487 ERROR_INVALID_ADDRESS     a result pointer is null or cannot be written
 *   1359 ERROR_INTERNAL_ERROR      an unexpected failure inside the simulator
 *   1413 ERROR_INVALID_INDEX       no board at that position; sequencer, channel or analog
 *                                  output out of range
 * Unless its description says otherwise, a function that fails changes nothing and stores no
 * result. No function changes the thread's last error, so it still holds what the library's
 * last call set.
 *
 * Threads: any thread may call any function at any time. No function throws; on Windows no
 * structured exception leaves one either.
 */
#ifndef HALVEX_SIM_C_H
#define HALVEX_SIM_C_H

#include <windows.h>

#if defined(_WIN32)
#define HALVEX_SIM_C_API
#else
#define HALVEX_SIM_C_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ==== The bus ================================================================================= */

/* Removes every board, with its injected failures and request log, and the board-finder list
 * from the registry. Never fails. */
HALVEX_SIM_C_API DWORD HXSIM_ResetBus(void);

/* Adds a board at the end of the bus and writes its name into the board-finder list.
 *   DeviceId       the device identifier, e.g. 0x805C.
 *   Firmware       the firmware word (register 104); 0x0001xxxx on boards that take 32-bit
 *                  immediate commands.
 *   BaseClock      the base clock in Hz (register 12); 0 gives 40000000.
 *   TransferBytes  the bytes of one DMA transfer (register 32); 0 gives 65536. (A test that
 *                  wants 0 there sets the register with HXSIM_SetRegister.)
 *   pBoard         may be null; receives the new board's position.
 * 487 pBoard cannot be written (and no board is added). */
HALVEX_SIM_C_API DWORD HXSIM_AddBoard(DWORD DeviceId, DWORD Firmware, DWORD BaseClock, DWORD TransferBytes,
                                      UINT64 *pBoard);

/* Resets the bus and adds the default set: boards 0x1100, 0x805C and 0x80E8 (firmware
 * 0x00010002), one of each register layout. Never fails. */
HALVEX_SIM_C_API DWORD HXSIM_UseDefaultBoards(void);

/* Resets the bus and adds the boards HALVEX_SIM_BOARDS names (the format is in halvex/sim.h), or
 * the default set when the variable is unset.
 * 13 the variable cannot be parsed: the default set is in place. */
HALVEX_SIM_C_API DWORD HXSIM_UseEnvironmentBoards(void);

/* Stores the number of boards on the bus in *pCount.
 * 487 pCount null or unwritable. */
HALVEX_SIM_C_API DWORD HXSIM_GetBoardCount(UINT64 *pCount);

/* A board as HXSIM_AddBoardEx adds it and HXSIM_GetBoardSetup reads it back. */
typedef struct HXSIM_BOARD_SETUP {
    DWORD Size;            /* sizeof(HXSIM_BOARD_SETUP) */
    DWORD DeviceId;        /* e.g. 0x805C */
    DWORD BaseClock;       /* register 12, in Hz */
    DWORD Firmware;        /* register 104 */
    DWORD TransferBytes;   /* register 32: the bytes of one DMA transfer */
    DWORD Reserved;        /* 0 */
    const WCHAR *Path;     /* the device-interface path, NUL-terminated; null or empty: one is made up */
    const WCHAR *PathTail; /* text enumerated after the NUL that ends the path; null: none */
    const char *Name;      /* the name in the board-finder list; null or empty: one by the identifier */
} HXSIM_BOARD_SETUP;

/* As HXSIM_AddBoard, with every part of the board given: the numbers are taken as they are (0
 * included). 87 Size smaller than sizeof(HXSIM_BOARD_SETUP); 487 pSetup or one of its texts
 * unreadable, or pBoard unwritable (and no board is added). */
HALVEX_SIM_C_API DWORD HXSIM_AddBoardEx(const HXSIM_BOARD_SETUP *pSetup, UINT64 *pBoard);

/* The numbers of a board's setup, as the bus holds it; Path, PathTail and Name are set to null
 * (read them with HXSIM_GetBoardPath and HXSIM_GetBoardName).
 * 1413 bad board; 87 Size as for HXSIM_AddBoardEx; 487 pSetup unreadable or unwritable. */
HALVEX_SIM_C_API DWORD HXSIM_GetBoardSetup(UINT64 iBoard, HXSIM_BOARD_SETUP *pSetup);

/* A board's device-interface path (Tail 0; a made-up one is filled in) or the text enumerated
 * after it (Tail nonzero), NUL-terminated into pText of Capacity characters; *pLength receives
 * its length without the NUL. pText may be null when Capacity is 0.
 * 1413 bad board; 234 Capacity below the length + 1; 487 pLength or pText unwritable. */
HALVEX_SIM_C_API DWORD HXSIM_GetBoardPath(UINT64 iBoard, BOOL Tail, WCHAR *pText, DWORD Capacity, DWORD *pLength);

/* A board's name in the board-finder list (a made-up one is filled in), as HXSIM_GetBoardPath. */
HALVEX_SIM_C_API DWORD HXSIM_GetBoardName(UINT64 iBoard, char *pText, DWORD Capacity, DWORD *pLength);

/* The base address IOCTL_QUERY_BAR_BASE reports for BAR Index (0-5) of a board.
 * 1413 bad board or Index above 5; 487 pBase null or unwritable. */
HALVEX_SIM_C_API DWORD HXSIM_GetBarBase(UINT64 iBoard, DWORD Index, DWORD *pBase);

/* Whether the library holds the board open right now (*pOpen 1) or not (0).
 * 1413 bad board; 487 pOpen null or unwritable. */
HALVEX_SIM_C_API DWORD HXSIM_IsOpen(UINT64 iBoard, BOOL *pOpen);

/* Checks a HALVEX_SIM_BOARDS value (Text, NUL-terminated) without using it. 0: it parses, and
 * *pLength is set to 0. 13: it does not, and its first entry that cannot be parsed, trimmed
 * (empty for the empty entry a trailing comma makes), is stored as HXSIM_GetBoardName stores a
 * name. 234 as there; 487 Text unreadable, or pLength or pEntry unwritable. */
HALVEX_SIM_C_API DWORD HXSIM_FindBadBoardListEntry(const char *Text, char *pEntry, DWORD Capacity, DWORD *pLength);

/* The board-finder list in the registry: HKLM "Software\Slotscan" "Company" = Company, and
 * "Software\<Company>\Cardlist" holding one REG_SZ per identifier. The bus writes it for its
 * boards with the company "Orvande"; HXSIM_WriteBoardList writes it again under another company,
 * HXSIM_RemoveBoardList removes it. 487 Company null or unreadable. */
HALVEX_SIM_C_API DWORD HXSIM_WriteBoardList(const char *Company);
HALVEX_SIM_C_API DWORD HXSIM_RemoveBoardList(void);

/* ==== The library's life cycle ================================================================ */

/* Runs the library's start-up as at load: it opens the boards now on the bus. Does nothing when
 * the library is started already. Never fails (boards it cannot open are left out, as at load). */
HALVEX_SIM_C_API DWORD HXSIM_LibraryStart(void);

/* Runs the library's unload: ends its acquisitions and closes its boards. A test may detach and
 * start again any number of times, with a different bus each time. Never fails. */
HALVEX_SIM_C_API DWORD HXSIM_LibraryDetach(void);

/* ==== Analog inputs =========================================================================== */

/* What feeds an input channel. t counts seconds from the moment the board was added. */
#define HXSIM_SOURCE_CONSTANT 0 /* Volts */
#define HXSIM_SOURCE_SINE 1     /* Volts + Amplitude * sin(2 pi Hertz t) */
#define HXSIM_SOURCE_SQUARE 2   /* Volts + Amplitude for the first half of each period, then - */
#define HXSIM_SOURCE_RAMP 3     /* from Volts - Amplitude up to Volts + Amplitude once a period */
#define HXSIM_SOURCE_NOISE 4    /* Volts + a fixed pseudo-random sequence within +-Amplitude */
#define HXSIM_SOURCE_LOOPBACK 5 /* the voltage on the board's analog output Output (0-3) */

/* Sets the source of input Channel (0-7) of Sequencer (0 or 1) on a board. Parameters a kind does
 * not use are kept, so reading the source back gives them again.
 * 1413 bad board, sequencer or channel; 87 Kind unknown, Output above 3 for a loopback, or
 * Volts, Amplitude or Hertz not a finite number. */
HALVEX_SIM_C_API DWORD HXSIM_SetInputSource(UINT64 iBoard, DWORD Sequencer, DWORD Channel, DWORD Kind, double Volts,
                                            double Amplitude, double Hertz, DWORD Output);

/* Reads the source of an input channel back. Each result pointer may be null when that part is
 * not wanted.
 * 1413 bad board, sequencer or channel; 487 a result pointer cannot be written. */
HALVEX_SIM_C_API DWORD HXSIM_GetInputSource(UINT64 iBoard, DWORD Sequencer, DWORD Channel, DWORD *pKind,
                                            double *pVolts, double *pAmplitude, double *pHertz, DWORD *pOutput);

/* The source an input channel has at power-up. As HXSIM_GetInputSource, without a board. */
HALVEX_SIM_C_API DWORD HXSIM_GetDefaultInputSource(DWORD Sequencer, DWORD Channel, DWORD *pKind, double *pVolts,
                                                   double *pAmplitude, double *pHertz, DWORD *pOutput);

/* The word a board delivers for Volts on input range RangeCode at Channel: counts rounded to the
 * nearest (Volts x 16000 / the range's half-span, clipped to 16 bits), the range code in bits
 * 16-18 and the channel in bits 20-23. 487 pWord null or unwritable. */
HALVEX_SIM_C_API DWORD HXSIM_PackConversion(double Volts, DWORD RangeCode, DWORD Channel, DWORD *pWord);

/* On boards that take 32-bit immediate commands: how soon after the previous command a new one
 * is taken, in microseconds (15 at power-up); sooner ones are dropped, so a long spacing makes
 * the next immediate read find a short FIFO.
 * 1413 bad board; 87 Microseconds below 0, above 10^12 or not a number. */
HALVEX_SIM_C_API DWORD HXSIM_SetCommandSpacing(UINT64 iBoard, double Microseconds);

/* ==== Injected failures ======================================================================= */

/* How a request fails. */
#define HXSIM_FAIL_NOW 0          /* fails at once with LastError (0 allowed) */
#define HXSIM_FAIL_SHORT 1        /* succeeds but reports only Bytes bytes returned; a DMA data
                                     request is a short transfer: the stream's next Bytes bytes
                                     arrive and it completes with that count */
#define HXSIM_FAIL_PEND_FOREVER 2 /* pends (overlapped) and never completes until its handle closes */

/* Makes the board's requests with control code ControlCode fail as Kind says: the next Count of
 * them, or every one until cleared when Count is -1. Count 0 removes the failure of that code.
 * A later call for the same code replaces the earlier one.
 * 1413 bad board; 87 Kind unknown or Count below -1. */
HALVEX_SIM_C_API DWORD HXSIM_FailRequests(UINT64 iBoard, DWORD ControlCode, DWORD Kind, DWORD LastError, DWORD Bytes,
                                          LONG Count);

/* The control code the driver's interface names Name ("IOCTL_REG_WRITE", as halvex/driver_abi.h
 * names them), for languages that cannot read that header.
 * 87 no such name; 487 Name unreadable, or pCode null or unwritable. */
HALVEX_SIM_C_API DWORD HXSIM_GetControlCode(const char *Name, DWORD *pCode);

/* Removes every failure injected on the board's requests.
 * 1413 bad board. */
HALVEX_SIM_C_API DWORD HXSIM_ClearFailures(UINT64 iBoard);

/* The next opens of the board fail with LastError; 0 lets them succeed again.
 * 1413 bad board. */
HALVEX_SIM_C_API DWORD HXSIM_FailOpen(UINT64 iBoard, DWORD LastError);

/* ==== Registers =============================================================================== */

/* Sets a register of Width bytes (1, 2 or 4, little-endian) at Offset without side effects, as a
 * board holds it at power-up.
 * 1413 bad board; 87 Width not 1, 2 or 4, or the access reaches past the 4 KiB register file. */
HALVEX_SIM_C_API DWORD HXSIM_SetRegister(UINT64 iBoard, DWORD Offset, DWORD Value, DWORD Width);

/* Reads a register without side effects into *pValue.
 * 1413 bad board; 87 as HXSIM_SetRegister; 487 pValue null or unwritable. */
HALVEX_SIM_C_API DWORD HXSIM_GetRegister(UINT64 iBoard, DWORD Offset, DWORD Width, DWORD *pValue);

/* ==== What the library sent =================================================================== */

/* One request as the simulated driver received it. Its input bytes lie at InputOffset of the
 * input bytes HXSIM_GetRequests stores. */
typedef struct HXSIM_REQUEST {
    DWORD ControlCode;
    DWORD OutputBytes; /* the room the caller gave for the answer */
    DWORD InputBytes;
    BOOL Overlapped;   /* sent with an OVERLAPPED */
    UINT64 InputOffset;
    BOOL IsRegister;   /* a register request (read, block read or write): the next three hold it */
    DWORD Offset;
    DWORD Width;
    DWORD Value;
} HXSIM_REQUEST;

/* The board's newest 65536 requests, oldest first: MaxRequests records into pRequests and their
 * input bytes, one after another, into pInput of MaxInputBytes. *pRequestCount and *pInputBytes
 * receive how many there are; with too little room (0 asks for the sizes) nothing else is
 * stored. Either buffer may be null when its room is 0.
 * 1413 bad board; 234 too little room; 487 a buffer or count pointer unwritable. */
HALVEX_SIM_C_API DWORD HXSIM_GetRequests(UINT64 iBoard, HXSIM_REQUEST *pRequests, UINT64 MaxRequests, BYTE *pInput,
                                         UINT64 MaxInputBytes, UINT64 *pRequestCount, UINT64 *pInputBytes);

/* Empties the board's request log. 1413 bad board. */
HALVEX_SIM_C_API DWORD HXSIM_ClearRequests(UINT64 iBoard);

/* ==== Analog outputs and the interrupt ======================================================== */

/* What analog output Channel (0-3) puts out, as the DAC command register last set it: its range
 * code (3 at power-up), its counts (0x8000 at power-up) and the voltage a loopback input reads.
 * Each result pointer may be null when that part is not wanted.
 * 1413 bad board or channel; 487 a result pointer cannot be written. */
HALVEX_SIM_C_API DWORD HXSIM_GetAnalogOutput(UINT64 iBoard, DWORD Channel, DWORD *pRangeCode, DWORD *pCounts,
                                             double *pVolts);

/* Raises the board's interrupt: every pending wait completes with the satisfied code; with no
 * wait pending, the interrupt is kept for the next wait or poll.
 * 1413 bad board. */
HALVEX_SIM_C_API DWORD HXSIM_RaiseInterrupt(UINT64 iBoard);

/* The codes an interrupt wait completes with when the interrupt comes (Satisfied, 0 at
 * power-up) and when it is aborted (Aborted, 995 at power-up).
 * 1413 bad board. */
HALVEX_SIM_C_API DWORD HXSIM_SetInterruptCompletion(UINT64 iBoard, DWORD Satisfied, DWORD Aborted);

/* A driver that ignores the abort (Ignore non-zero; 0 at power-up): IOCTL_ABORT_IRQ_WAIT is
 * answered with success and ends no wait, so only a cancellation (CancelIoEx), the interrupt or
 * closing the handle ends one. PIO_AbortIRQWait then cancels the waits itself.
 * 1413 bad board. */
HALVEX_SIM_C_API DWORD HXSIM_IgnoreInterruptAbort(UINT64 iBoard, BOOL Ignore);

/* How many interrupt waits are pending on the board, into *pCount.
 * 1413 bad board; 487 pCount null or unwritable. */
HALVEX_SIM_C_API DWORD HXSIM_GetPendingInterruptWaits(UINT64 iBoard, UINT64 *pCount);

/* Waits until at least Count interrupt waits are pending, for at most TimeoutMs milliseconds.
 * 1413 bad board; 258 the time ran out. */
HALVEX_SIM_C_API DWORD HXSIM_AwaitInterruptWaits(UINT64 iBoard, UINT64 Count, DWORD TimeoutMs);

/* The event handle in the OVERLAPPED of every interrupt-wait request the board received (null
 * for a request without one), oldest first: lets a test see that a caller closed its events.
 * MaxEvents handles into pEvents; *pCount receives how many there are.
 * 1413 bad board; 234 too little room; 487 pEvents or pCount unwritable. */
HALVEX_SIM_C_API DWORD HXSIM_GetInterruptWaitEvents(UINT64 iBoard, HANDLE *pEvents, UINT64 MaxEvents, UINT64 *pCount);

/* Raises the interrupt every PeriodMs milliseconds from a thread of the board (0 stops it);
 * HXSIM_StopInterruptTimer stops it. 1413 bad board. */
HALVEX_SIM_C_API DWORD HXSIM_StartInterruptTimer(UINT64 iBoard, DWORD PeriodMs);
HALVEX_SIM_C_API DWORD HXSIM_StopInterruptTimer(UINT64 iBoard);

/* ==== DMA ping-pong requests ================================================================== */
/* A control request is answered with its own bytes, up to the caller's room; a first byte 0x10
 * (stop) ends every pending data request with ERROR_OPERATION_ABORTED. A data request pends until
 * it is filled (by the board's DMA engine, or by HXSIM_CompleteDmaRequest) or stopped. */

/* How many data requests are pending, into *pCount. 1413 bad board; 487 pCount unwritable. */
HALVEX_SIM_C_API DWORD HXSIM_GetPendingDmaRequests(UINT64 iBoard, UINT64 *pCount);

/* Waits until at least Count data requests are pending, for at most TimeoutMs milliseconds.
 * 1413 bad board; 258 the time ran out. */
HALVEX_SIM_C_API DWORD HXSIM_AwaitDmaRequests(UINT64 iBoard, UINT64 Count, DWORD TimeoutMs);

/* Fills the oldest pending data request with Bytes bytes of pData (cut to the caller's size) and
 * completes it with success. 1413 bad board; 1168 ERROR_NOT_FOUND no request is pending;
 * 487 pData unreadable. */
HALVEX_SIM_C_API DWORD HXSIM_CompleteDmaRequest(UINT64 iBoard, const BYTE *pData, UINT64 Bytes);

/* ==== Streaming: the DMA engine =============================================================== */

#define HXSIM_PACING_REAL_TIME 0    /* samples come at the conversion rate (power-up) */
#define HXSIM_PACING_FREE_RUNNING 1 /* each transfer is filled the moment it is requested */

/* How the board's DMA engine paces its samples.
 * 1413 bad board; 87 Pacing unknown. */
HALVEX_SIM_C_API DWORD HXSIM_SetDmaPacing(UINT64 iBoard, DWORD Pacing);

/* With On nonzero, every streamed sample carries its index since the run started (counts =
 * index modulo 65536), so a test can prove that each sample arrived once and in order.
 * 1413 bad board. */
HALVEX_SIM_C_API DWORD HXSIM_SetStreamIndexSource(UINT64 iBoard, BOOL On);

/* How many samples the on-board FIFO holds while no transfer is pending (65536 at power-up);
 * beyond that, samples are lost and counted as overruns.
 * 1413 bad board. */
HALVEX_SIM_C_API DWORD HXSIM_SetStreamFifoDepth(UINT64 iBoard, UINT64 Samples);

/* The engine's state and totals since the board was added. Size is set by the caller to the size
 * of the structure it knows (sizeof(HXSIM_STREAM_STATUS) of its header); the simulator fills
 * only the members that lie wholly within Size and leaves Size and anything beyond untouched,
 * so later versions can add members at the end. */
typedef struct HXSIM_STREAM_STATUS {
    DWORD Size;
    BOOL Armed;      /* control byte 0x11 armed the engine */
    BOOL Running;    /* converting now */
    DWORD Reserved;  /* 0 */
    UINT64 Runs;      /* times the engine started */
    UINT64 Stops;     /* times it stopped */
    UINT64 Delivered; /* samples written into completed transfers */
    UINT64 Overruns;  /* samples lost because the on-board FIFO was full */
    UINT64 Fifo;      /* samples waiting in the FIFO now */
    UINT64 Completed; /* transfers filled */
} HXSIM_STREAM_STATUS;

/* Stores the engine's status in *pStatus, as much as pStatus->Size allows.
 * 1413 bad board; 487 pStatus null, or its Size cannot be read or its members written;
 * 87 Size smaller than sizeof(DWORD). */
HALVEX_SIM_C_API DWORD HXSIM_GetStreamStatus(UINT64 iBoard, HXSIM_STREAM_STATUS *pStatus);

/* Waits until the engine has stopped at least Stops times in all (as Stops in the status
 * counts), for at most TimeoutMs milliseconds.
 * 1413 bad board; 258 the time ran out. */
HALVEX_SIM_C_API DWORD HXSIM_AwaitStreamStops(UINT64 iBoard, UINT64 Stops, DWORD TimeoutMs);

/* Waits until the engine runs (Running nonzero) or has stopped (0), for at most TimeoutMs
 * milliseconds. 1413 bad board; 258 the time ran out. */
HALVEX_SIM_C_API DWORD HXSIM_AwaitStreamRunning(UINT64 iBoard, BOOL Running, DWORD TimeoutMs);

/* When the last completed data requests (up to 65536) were completed, oldest first, in
 * nanoseconds of the steady clock (std::chrono::steady_clock; CLOCK_MONOTONIC on Linux):
 * MaxTimes into pTimes; *pCount receives how many there are.
 * 1413 bad board; 234 too little room; 487 pTimes or pCount unwritable. */
HALVEX_SIM_C_API DWORD HXSIM_GetDmaCompletionTimes(UINT64 iBoard, INT64 *pTimes, UINT64 MaxTimes, UINT64 *pCount);

/* ==== Replaying a recording ================================================================== */

/* A recording (docs/recording-format.md) made through the library's driver port, on a real board
 * (HALVEX_RECORD, HX_StartDriverRecording) or here, replayed by the simulated driver: the library's next
 * start enumerates and opens the recorded boards, and each request on them is answered as
 * recorded; overlapped requests complete in the recorded order. Start a replay with the library
 * detached (HXSIM_LibraryDetach), then start it (HXSIM_LibraryStart). The board-finder list holds
 * each recorded identifier with its default name while the replay runs.
 *
 * A request that is not the recording's (another code, board, input or output size, overlapped or
 * not, or one the recording does not have) is a divergence: it fails with
 * HXSIM_ERROR_REPLAY_DIVERGED, so does every request still pending and every later one, and
 * HXSIM_GetReplayStatus and the library's diagnostic log name the recording's request number,
 * what it expected and what came. Requests of several threads may come in another order than
 * recorded; each is matched with the earliest recorded request like it. A request the recording
 * waits for (one recorded before a completion due) that does not come within StallMs is a
 * divergence too, so a replay never waits for ever.
 *
 * Without any call here, HALVEX_SIM_REPLAY=<path> starts a replay at the first enumeration
 * (HALVEX_SIM_REPLAY_PACED=1 paces it). */

#define HXSIM_REPLAY_PACED 0x1          /* completions no sooner than recorded (default: at once) */
#define HXSIM_REPLAY_ACCEPT_TORN_TAIL 0x2 /* a last record cut short is dropped instead of refusing */
#define HXSIM_ERROR_REPLAY_DIVERGED 776 /* ERROR_REQUEST_OUT_OF_SEQUENCE */

/* Reads and checks the recording at Path (UTF-8 on Linux) and replays it from now on, ending any
 * earlier replay. StallMs: 0 gives 10000.
 * 2 the file does not exist; 5 it cannot be read; 13 it is not a recording this library can
 * replay (truncated, damaged, another format version, not a recording): HXSIM_GetReplayStatus
 * then gives the cause and its byte offset; 87 Flags unknown or Path null. */
HALVEX_SIM_C_API DWORD HXSIM_Replay(const char *Path, DWORD Flags, DWORD StallMs);

/* Ends the replay: its pending requests fail with 995; the simulated bus answers again from the
 * library's next start. Never fails. */
HALVEX_SIM_C_API DWORD HXSIM_ReplayEnd(void);

#define HXSIM_REPLAY_OFF 0       /* no replay has run */
#define HXSIM_REPLAY_RUNNING 1   /* replaying, nothing diverged */
#define HXSIM_REPLAY_FINISHED 2  /* every recorded request was made and answered */
#define HXSIM_REPLAY_DIVERGED 3  /* see Request, Expected, Got */
#define HXSIM_REPLAY_REFUSED 4   /* the last recording given was refused; see Message */

/* Size as for HXSIM_STREAM_STATUS. Texts are NUL-terminated and cut to fit. */
typedef struct HXSIM_REPLAY_STATUS {
    DWORD Size;
    DWORD State;        /* HXSIM_REPLAY_... of the replay running, else of the last one */
    DWORD Request;      /* the recording's number of the request at which it diverged */
    DWORD Reserved;     /* 0 */
    UINT64 Answered;    /* requests answered from the recording */
    UINT64 Left;        /* recorded requests not yet made */
    char Message[768];  /* the divergence or refusal in one line */
    char Expected[256]; /* the request the recording has there */
    char Got[256];      /* the request that came */
} HXSIM_REPLAY_STATUS;

/* Stores the replay's status in *pStatus, as much as pStatus->Size allows.
 * 487 pStatus null, or its Size cannot be read or its members written; 87 Size smaller than
 * sizeof(DWORD). */
HALVEX_SIM_C_API DWORD HXSIM_GetReplayStatus(HXSIM_REPLAY_STATUS *pStatus);

#ifdef __cplusplus
}
#endif

#endif /* HALVEX_SIM_C_H */
