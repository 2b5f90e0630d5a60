/*
 * Simulated boards from C: the simulator's test API (halvex/sim.h) for C programs and for other
 * languages through their C foreign-function interfaces.
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

#ifdef __cplusplus
}
#endif

#endif /* HALVEX_SIM_C_H */
