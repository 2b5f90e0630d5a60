/*
 * Halvex — the programming library of the Halvex family of PCI and PCI Express data-acquisition
 * boards.
 *
 * Usable from C and C++. On Windows link against Halvex.dll; on Linux against libhalvex.so,
 * whose boards are simulated (see halvex/sim.h) and whose <windows.h> is Halvex's own
 * (add include/halvex/posix to the include path).
 *
 * Every function is exported under three names: the plain name (BRD_Reset), the same name with
 * a leading underscore (_BRD_Reset, the same entry point) and a name with the prefix VB
 * (VBBRD_Reset, which forwards every argument to the plain function).
 *
 * Board index: the library opens the boards when it is loaded and numbers them 0, 1, 2, ... in
 * the order the driver reports them; boards it cannot open or does not know are left out. The
 * set of boards never changes while the library is loaded.
 *
 * Results: unless said otherwise a function returns a Windows error code, 0 for success:
 *      0 ERROR_SUCCESS             success
 *      6 ERROR_INVALID_HANDLE      called in a child process made by fork() (see "fork()" below)
 *     12 ERROR_INVALID_ACCESS      result pointer null or unwritable (PIO_QueryBARBase)
 *     13 ERROR_INVALID_DATA        a value cannot be converted or is out of range
 *     21 ERROR_NOT_READY           no acquisition on the sequencer
 *     30 ERROR_READ_FAULT          an immediate scan found too few samples
 *     31 ERROR_GEN_FAILURE         a driver request failed without a system code
 *     38 ERROR_HANDLE_EOF          no data ready
 *     50 ERROR_NOT_SUPPORTED       the operation is not provided
 *     66 ERROR_BAD_DEV_TYPE        the board's register layout does not offer the operation
 *     67 ERROR_BAD_NET_NAME        the board-name list is missing from the registry
 *     87 ERROR_INVALID_PARAMETER   a range code or BAR index is not valid
 *    170 ERROR_BUSY                an acquisition runs on the sequencer
 *    487 ERROR_INVALID_ADDRESS     a result or argument pointer is null or unusable
 *    997 ERROR_IO_PENDING          an overlapped request is pending
 *    998 ERROR_NOACCESS            result pointer unwritable (PIO_GetDeviceHandle); a buffer or
 *                                  OVERLAPPED the driver cannot use (block reads, DMA requests)
 *   1349 ERROR_BAD_TOKEN_TYPE      the board's layout is not one the operation handles
 *   1359 ERROR_INTERNAL_ERROR      an unexpected failure inside the library
 *   1413 ERROR_INVALID_INDEX       board, sequencer, channel or count out of range
 *   1426 ERROR_INVALID_HOOK_FILTER unknown callback type
 *   1427 ERROR_INVALID_FILTER_PROC data requested from an acquisition that has a callback
 * Any other code is the driver's. The thread's last error (GetLastError) is set by the board and
 * sequencer checks (0 or 1413) and by every driver request (0 or the request's failure code);
 * a code a function produces itself is returned without changing it.
 *
 * Threads: any thread may call any function at any time. Functions that change a sequencer's
 * configuration are serialized per sequencer and run at time-critical priority while they hold
 * the library's lock; the register, interrupt, DMA, board-information and analog-output
 * functions take no lock. No function throws, and on Windows no structured exception (an access
 * violation inside the library) leaves a function either: it returns 1359 instead.
 *
 * Loading and unloading: the library opens the boards when it is loaded. It runs threads of its
 * own (a diagnostic log thread from load to exit, and three threads per running acquisition),
 * so it stays in the process after the application releases it (FreeLibrary, dlclose; on
 * Windows the DLL pins itself when it loads, so releasing it more often than it was loaded
 * changes nothing either) and closes everything when the process ends: running acquisitions
 * are ended, every handle is closed. Loading it again finds it as it was. On Windows the
 * system has ended every other thread before the library hears of the process end, so there
 * the library only stops the boards' acquisitions with driver requests and waits for nothing:
 * exit() may be called from any thread, a callback included.
 *
 * fork() (Linux): in a child process that fork() made from a process with the library loaded,
 * the library is inert. The child has none of the library's threads, and a lock one of them held
 * at the fork would never be released there, so the library touches none of its boards, locks or
 * threads in the child: every function answers at once with 6 (ERROR_INVALID_HANDLE: the
 * boards' handles belong to the parent) and sets 6 as the last error. BRD_GetHighestBoardIndex
 * returns -1 and PIO_In8/16/32 their read-failure value (0x55, 0xAA55, 0xAA55AA55), both with
 * last error 6. Two functions keep their fixed answers, which touch nothing anyway:
 * ADC_ConfigureAcquire (50) and ADC_AcquireBlock with SampleCt 0 (0). When the child exits, the
 * library neither waits for nor touches the parent's threads and closes nothing; the parent's
 * boards and acquisitions go on undisturbed. The Win32 functions of Halvex's <windows.h> keep
 * working in the child (a mutex that another thread of the parent owned at the fork is abandoned
 * there; the parent's threads never end there). A child that needs the boards runs a new program
 * (exec), which loads the library afresh.
 */
#ifndef HALVEX_HALVEX_H
#define HALVEX_HALVEX_H

#include <windows.h>

#if defined(_WIN32)
#if defined(HALVEX_BUILDING_LIBRARY)
#define HALVEX_API
#else
#define HALVEX_API __declspec(dllimport)
#endif
#else
#define HALVEX_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ==== Board information ====================================================================== */

/* The highest board index: the number of boards minus 1, so -1 when no board was opened.
 * Never fails and does not change the last error (in a forked child: -1, last error 6). */
HALVEX_API INT64 WINAPI BRD_GetHighestBoardIndex(void);

/* Stores the board's device identifier in *pDeviceID.
 * 1413 bad board index; 487 pDeviceID null or unwritable. */
HALVEX_API DWORD WINAPI BRD_GetDeviceID(UINT64 iBoard, DWORD *pDeviceID);

/* The board's name, from the board-name list the maker's board-finder tool keeps in the
 * registry (HKLM "Software\Slotscan" names the company; "Software\<company>\Cardlist" holds one
 * string per device identifier, named by the identifier in upper-case hexadecimal).
 *   NameSize     size of pName in characters.
 *   pName        may be null. The first NameSize characters are zeroed, then
 *                min(NameSize, name length) characters of the name are copied: the name is
 *                NUL-terminated only if NameSize is greater than its length.
 *   pNameLength  may be null; receives the full length of the name in characters, also when
 *                pName is too small (0 on failure).
 * An identifier the list does not name gives an empty name and 0.
 * 1413 bad board index; 487 a buffer cannot be written; 67 the list is missing. */
HALVEX_API DWORD WINAPI BRD_GetNameW(UINT64 iBoard, DWORD NameSize, WCHAR *pName, DWORD *pNameLength);

/* As BRD_GetNameW, with the name in the system's ANSI code page and NameSize in bytes.
 * Unlike the wide variant, pName is not zeroed: min(NameSize, name length) bytes are written,
 * with no terminator, and never half of a double-byte character (one that does not fit whole
 * is left out). The name length in *pNameLength is in bytes of the ANSI code page: the length
 * in characters on a single-byte code page, more on a double-byte one. NameSize only limits what
 * is copied: it costs nothing by itself. */
HALVEX_API DWORD WINAPI BRD_GetNameA(UINT64 iBoard, DWORD NameSize, char *pName, DWORD *pNameLength);

/* Not available: stores 0 in *pSerialNumber (if given) and returns 50.
 * 1413 bad board index; 487 pSerialNumber unwritable. */
HALVEX_API DWORD WINAPI BRD_GetSerialNumber(UINT64 iBoard, UINT64 *pSerialNumber);

/* Resets the board through its reset register. It takes no lock and does not look at running
 * acquisitions: end them first.
 * 1413 bad board index; 1349 unknown register layout; otherwise the register write's result. */
HALVEX_API DWORD WINAPI BRD_Reset(UINT64 iBoard);

/* ==== Register access ========================================================================
 * One driver request each; no lock. Offset: byte offset of the register; only its low 16 bits
 * are used. */

/* Read a register of 8, 16 or 32 bits. Failure is reported only through the last error (0 on
 * success); a failed read returns 0xAA55AA55 cut to the width (0x55, 0xAA55, 0xAA55AA55). */
HALVEX_API BYTE WINAPI PIO_In8(UINT64 iBoard, DWORD Offset);
HALVEX_API WORD WINAPI PIO_In16(UINT64 iBoard, DWORD Offset);
HALVEX_API DWORD WINAPI PIO_In32(UINT64 iBoard, DWORD Offset);

/* Write a register of 8, 16 or 32 bits. 1413 bad board index; otherwise the driver's code. */
HALVEX_API DWORD WINAPI PIO_Out8(UINT64 iBoard, DWORD Offset, BYTE Value);
HALVEX_API DWORD WINAPI PIO_Out16(UINT64 iBoard, DWORD Offset, WORD Value);
HALVEX_API DWORD WINAPI PIO_Out32(UINT64 iBoard, DWORD Offset, DWORD Value);

/* Read Count values from one register (a FIFO) into pData. With Count 1 this is one read
 * whose value is stored in pData[0] even when it failed (then 0xAA55AA55 cut to the width),
 * and the result is the last error after the read; 487 when pData[0] cannot be written (checked
 * before the read, so no FIFO word is lost). Any other Count is one block request that the
 * driver refuses with 998 when pData cannot take Count elements. */
HALVEX_API DWORD WINAPI PIO_INS8(UINT64 iBoard, DWORD Offset, DWORD Count, BYTE *pData);
HALVEX_API DWORD WINAPI PIO_INS16(UINT64 iBoard, DWORD Offset, DWORD Count, WORD *pData);
HALVEX_API DWORD WINAPI PIO_INS32(UINT64 iBoard, DWORD Offset, DWORD Count, DWORD *pData);

/* Write pData[0] to a register. Only Count 1 is provided: any other Count returns 50 at once,
 * without checking the board index or sending anything. 487 pData[0] cannot be read (checked
 * before the board index, as the value is taken first). */
HALVEX_API DWORD WINAPI PIO_OUTS8(UINT64 iBoard, DWORD Offset, DWORD Count, const BYTE *pData);
HALVEX_API DWORD WINAPI PIO_OUTS16(UINT64 iBoard, DWORD Offset, DWORD Count, const WORD *pData);
HALVEX_API DWORD WINAPI PIO_OUTS32(UINT64 iBoard, DWORD Offset, DWORD Count, const DWORD *pData);

/* ==== Interrupts, DMA ping-pong, BAR query and device handle ================================= */
/* None of these takes a lock or changes the thread's priority; the interrupt and ping-pong
 * requests go to the driver, which decides what they mean. */

/* Waits, without time-out, until the driver completes an interrupt-wait request for the board:
 * when the board's interrupt is raised, or when PIO_AbortIRQWait (from any thread) or the
 * library's unload ends the wait (a wait they had to cancel returns 995 ERROR_OPERATION_ABORTED).
 * Several threads may wait on one board at once. 0 when the wait was satisfied (the driver's
 * completions "success" and 18 ERROR_NO_MORE_FILES both count: after the latter the last error
 * still reads 18); 31 when the driver refused the request without a code; otherwise the driver's
 * code, e.g. the one it ends an aborted wait with (995 ERROR_OPERATION_ABORTED on the simulated
 * boards). 1413 bad board index (nothing is sent). The last error is set to 0 before the request
 * and then left as the request and the wait set it. */
HALVEX_API DWORD WINAPI PIO_WaitForIRQ(UINT64 iBoard);

/* Asks the driver whether the interrupt was raised; returns at once. 0 when the driver says so,
 * otherwise its answer (the simulated boards answer 996 ERROR_IO_INCOMPLETE when none is
 * pending). 1413 bad board index. */
HALVEX_API DWORD WINAPI PIO_PollForIRQ(UINT64 iBoard);

/* Asks the driver to end the board's pending interrupt waits; the waiting PIO_WaitForIRQ calls
 * return with the driver's completion code. The waits in flight when it is called end within a
 * bound even when the driver ignores the abort or refuses it: those the driver has not ended
 * after 100 ms are cancelled (as CancelIoEx does) and their PIO_WaitForIRQ returns 995
 * ERROR_OPERATION_ABORTED. It returns once those waits have returned, or after at most 1.1 s
 * should the driver hold on to a cancelled request; with no wait in flight it returns at once.
 * Waits that begin after the call are not ended. 0 on success (also with no wait pending), 1413
 * bad board index, otherwise the driver's answer to the abort. */
HALVEX_API DWORD WINAPI PIO_AbortIRQWait(UINT64 iBoard);

/* Sends a ping-pong control request: DataSize bytes from pData go to the driver, and its answer
 * comes back into the same buffer.
 *   pOutSize  may be null (nothing comes back); otherwise on entry the capacity of pData for
 *             the answer, on return the number of bytes the driver wrote back.
 * The library's own acquisitions send 0x11 when they start and 0x10 when they stop.
 * 1413 bad board index; 487 pOutSize not readable and writable; 998 pData cannot be read for
 * DataSize bytes or written for the capacity (the driver refuses it); otherwise the driver's
 * code. */
HALVEX_API DWORD WINAPI PIO_DMAPiongControl(UINT64 iBoard, BYTE *pData, DWORD DataSize, DWORD *pOutSize);

/* Sends a ping-pong data request that fills pData with up to DataSize bytes.
 *   pOverlapped  null: returns when the request has completed (0, or the driver's code).
 *                Otherwise the request may stay pending: the result is then 997 and the outcome
 *                arrives in *pOverlapped (its event is signalled; GetOverlappedResult on the handle
 *                of PIO_GetDeviceHandle gives the byte count and code). pData and *pOverlapped
 *                must stay valid and untouched until then.
 * A request pending when the acquisition is stopped (control byte 0x10) ends with a failure.
 * The driver answers for the buffer: 998 when pData cannot take DataSize bytes (also as the
 * outcome of a pending request whose buffer became unusable). 998 also when pOverlapped is
 * given but cannot be written (nothing is sent). 1413 bad board index. */
HALVEX_API DWORD WINAPI PIO_DMAPiongIn(UINT64 iBoard, BYTE *pData, DWORD DataSize, OVERLAPPED *pOverlapped);

/* PIO_DMAPiongIn for DMA channel DMACh, which is passed to the driver unchecked. */
HALVEX_API DWORD WINAPI PIO_DMAChPiongIn(UINT64 iBoard, DWORD DMACh, BYTE *pData, DWORD DataSize,
                                         OVERLAPPED *pOverlapped);

/* Stores the board's driver handle in *pHandle (0 first, and 0 is left on failure). The handle
 * stays the library's: do not close it. It is open for overlapped I/O, so every request sent on
 * it needs an OVERLAPPED. 998 pHandle null or unwritable (checked before the board index);
 * 1413 bad board index. */
HALVEX_API DWORD WINAPI PIO_GetDeviceHandle(UINT64 iBoard, HANDLE *pHandle);

/* Stores the base of the board's PCI base address register BAR (0 to 5) in *pBase (0 first, and
 * 0 is left on failure). 1413 bad board index (checked first); 12 pBase null or unwritable;
 * 87 BAR above 5; otherwise the driver's code. */
HALVEX_API DWORD WINAPI PIO_QueryBARBase(UINT64 iBoard, DWORD BAR, DWORD *pBase);


/* ==== Analog input: ranges, rate, channel count, differential mode ============================ */
/*
 * Each board has two sequencers (0 and 1) of eight input channels each. Only sequencer 0
 * acquires. The settings live in the board's registers only: every function here reads the
 * register, changes its own field and writes the rest back unchanged, under the sequencer's
 * lock. A function that would change a sequencer while an acquisition runs on it returns 170
 * and writes nothing.
 *
 * Samples. Every conversion is one 32-bit packed sample:
 *   bits  0-15  counts, signed 16-bit (-32768 .. 32767)
 *   bits 16-18  the input range code of the conversion
 *   bits 20-23  the channel
 *   bit  31     no sample: the slot was not filled (volts: NaN)
 * Volts = counts x the range's volts per count; 16000 counts are the range's limit.
 *
 * Input ranges: a range is given by its code or by its four-byte tag (the little-endian value
 * of the bytes 'B', 0xE1 and two that name the half-span). 0xFFFFFFFF as a range code leaves
 * the ranges as they are.
 *   code  tag          range       volts per count
 *     0   0x3231E142   +-12 V      0.00075
 *     1   0x3530E142   +-5 V       0.0003125
 *     2   0xBD32E142   +-2.5 V     0.00015625
 *     3   0xBC31E142   +-1.25 V    0.000078125
 *     4   0x3835E142   +-0.625 V   0.0000390625
 *     5   0x3331E142   +-0.3125 V  0.00001953125
 *     7   0x3031E142   +-10 V      0.000625
 * Code 6 is not a range.
 */
#define HALVEX_NO_SAMPLE 0x80000000u
#define HALVEX_KEEP_RANGES 0xFFFFFFFFu
#define HALVEX_ALL_CHANNELS 0xFFFFFFFFu
#define HALVEX_AI_RANGE_12V 0u
#define HALVEX_AI_RANGE_5V 1u
#define HALVEX_AI_RANGE_2V5 2u
#define HALVEX_AI_RANGE_1V25 3u
#define HALVEX_AI_RANGE_0V625 4u
#define HALVEX_AI_RANGE_0V3125 5u
#define HALVEX_AI_RANGE_10V 7u

/* Sets the input range of channel Ch (0-7) of a sequencer, or of all eight with Ch 0xFFFFFFFF.
 * RangeCode 0xFFFFFFFF changes nothing and returns 0 at once (Ch is not looked at).
 * 1413 bad board or sequencer, or Ch out of range; 87 not a range code or tag; 170 the
 * sequencer acquires; otherwise the register access's code. */
HALVEX_API DWORD WINAPI ADC_SetRange1(UINT64 iBoard, DWORD iSequencer, DWORD Ch, DWORD RangeCode);

/* Sets the ranges of channels 0-7 from the first RangeCt codes or tags of pRanges (at most
 * eight are read). When fewer than eight are given, the last one repeats over the remaining
 * channels; an entry 0xFFFFFFFF keeps its channel's range. RangeCt 0 changes nothing and
 * returns 0 without reading pRanges. The caller's array is not changed.
 * 1413 bad board or sequencer; 487 pRanges cannot be read; 87 an entry is not a range (nothing
 * written); 170 the sequencer acquires; otherwise the register write's code. */
HALVEX_API DWORD WINAPI ADC_SetRangeAll(UINT64 iBoard, DWORD iSequencer, DWORD RangeCt, const DWORD *pRanges);

/* Sets the conversion rate: the divisor base clock / Hz, rounded to the nearest integer (ties to
 * even). Hz 0.0 (either sign) stops the conversion clock. The board converts at base clock /
 * divisor exactly; ADC_GetRate tells the rate obtained. The divisor must be 1 to 4294967295: a
 * rounded quotient outside that (a rate too fast or too slow for the base clock, a negative,
 * infinite or NaN Hz) returns 13 and writes nothing.
 * 1413 bad board or sequencer; 13 the rounded quotient is not 1 to 4294967295; 170 the sequencer
 * acquires; otherwise the register write's code. */
HALVEX_API DWORD WINAPI ADC_SetRate(UINT64 iBoard, DWORD iSequencer, double Hz);

/* Stores the conversion rate in *pHz: base clock / divisor, 0.0 while the clock is stopped.
 * Takes no lock. *pHz is 0.0 when the register read fails.
 * 1413 bad board or sequencer; 487 pHz unwritable; otherwise the register read's code. */
HALVEX_API DWORD WINAPI ADC_GetRate(UINT64 iBoard, DWORD iSequencer, double *pHz);

/* Sets how many channels a scan of the sequencer covers: channels 0 to ChannelCt-1, or
 * 0xFFFFFFFF for all eight. In differential mode a scan covers ChannelCt of the four
 * differential inputs (channels 0, 2, 4, 6), so only 1 to 4 are accepted there.
 * 1413 bad board or sequencer, or a count out of range; 170 the sequencer acquires; otherwise
 * the register write's code. */
HALVEX_API DWORD WINAPI ADC_SetChannelCount(UINT64 iBoard, DWORD iSequencer, DWORD ChannelCt);

/* Puts the inputs of both sequencers into differential mode (non-zero) or single-ended mode
 * (0). In differential mode the four inputs are the channel pairs 0-1, 2-3, 4-5 and 6-7,
 * addressed by their even channel. Holds the board's lock; refuses while either sequencer
 * acquires. Set the channel count again after changing the mode.
 * 1413 bad board; 170 a sequencer acquires (nothing written); 66 unknown register layout;
 * otherwise the first failing register write's code. */
HALVEX_API DWORD WINAPI ADC_SetDifferential(UINT64 iBoard, BOOL bDifferential);

/* ==== Analog input: immediate reads =========================================================== */
/*
 * An immediate read converts every input of the board once, outside any acquisition. A scan
 * array is 16 packed samples in two rows of eight: entry 8*s + k is slot k of sequencer s. In
 * single-ended mode slot k holds channel k; in differential mode slots 0-3 hold the inputs at
 * channels 0, 2, 4 and 6 and slots 4-7 hold HALVEX_NO_SAMPLE. Boards with the 32-bit register
 * layout 2 scan sequencer 0 only (one row).
 *
 * RangeCode: a range code or tag sets every channel of both sequencers to that range, and the
 * ranges stay so after the read; 0xFFFFFFFF uses the ranges already set. The read leaves the
 * start/stop registers holding conversion commands (set the channel count again before an
 * acquisition) and, on boards that take 32-bit commands, sequencer 0's clock stopped.
 * Reading one channel costs a whole scan (up to 16 x 15 us on 32-bit command boards).
 *
 * Results common to all four: 1413 bad board index; 87 not a range code or tag (nothing
 * written); 170 a sequencer the read needs acquires; 30 the board delivered fewer conversions
 * than commanded; 66 the board offers no immediate read; 487 an output cannot be written.
 */

/* Reads one scan into pData: 16 entries (8 on layout-2 boards, which leave the second row
 * untouched). The entries are set to HALVEX_NO_SAMPLE before the board is read, and stay so
 * on failure. */
HALVEX_API DWORD WINAPI ADC_GetImmediateScanRaw(UINT64 iBoard, DWORD *pData, DWORD RangeCode);

/* As ADC_GetImmediateScanRaw, in volts: 16 doubles (8 on layout-2 boards), NaN for a slot
 * without a sample; all NaN on failure. 1349 unknown register layout. */
HALVEX_API DWORD WINAPI ADC_GetImmediateScanV(UINT64 iBoard, double *pV, DWORD RangeCode);

/* The packed sample of slot Ch (0-7) of sequencer iSequencer from one scan. *pData is 0 on
 * failure. 1413 also for a bad sequencer or Ch; 66 also for sequencer 1 of a layout-2 board,
 * whose scans do not measure it. */
HALVEX_API DWORD WINAPI ADC_GetImmediateRaw(UINT64 iBoard, DWORD iSequencer, DWORD *pData, DWORD Ch, DWORD RangeCode);

/* As ADC_GetImmediateRaw, in volts; *pV is NaN on failure (set before anything else). */
HALVEX_API DWORD WINAPI ADC_GetImmediateV(UINT64 iBoard, DWORD iSequencer, double *pV, DWORD Ch, DWORD RangeCode);

/* ==== Streaming acquisition and data retrieval ================================================ */
/* Sequencer 0 of a board with 32-bit start/stop registers streams packed samples (bits 0-15
 * counts, signed; 16-18 range code; 20-23 channel; 31 no sample) through DMA, one chunk at a
 * time. Boards with 16-bit start/stop registers (identifier 0x1100 and its family) cannot
 * stream: the starts refuse them with 66. The chunk size in bytes is the board's register 32
 * (HX_SetChunkSize sets it; 64 KiB on the simulated boards at power-up), read once when the
 * acquisition starts (4 bytes to 64 MiB); a chunk holds chunk size / 4 samples (fewer when the
 * driver ends a transfer early: only the samples that arrived are delivered, see HX_CHUNK_INFO)
 * and is the smallest delivery, so a small chunk gives early, frequent calls at a low rate.
 * Inside a callback, HX_GetChunkInfo says which samples of the run the chunk holds and when
 * they arrived. The rate,
 * channel count, ranges and differential mode are those configured with the ADC_Set* functions
 * before the start; they cannot change while the sequencer is busy. The rate is conversions
 * per second over all scanned channels: 100 kHz on 4 channels is 25 kS/s per channel. An
 * immediate scan on a board that takes 32-bit commands leaves sequencer 0's conversion clock
 * stopped and its channel setup changed: set the rate and channel count after it, before a
 * start. HX_AcquireStatus tells how a run went (a failed transfer ends it, and ADC_AcquireEnd
 * still returns 0), and HX_AcquireWait waits for its end and its last callback.
 *
 * A sequencer is busy from a successful ADC_AcquireBlock or ADC_AcquireStream until
 * ADC_AcquireEnd, also after a block has completed or a transfer failed: every start needs its
 * ADC_AcquireEnd. While busy, the start functions, ADC_SetCallback and the configuration and
 * immediate-scan functions return 170. This includes the time another thread's ADC_AcquireEnd
 * spends stopping the board, so a new run is never stopped by the old one's stop; once
 * ADC_AcquireEnd has returned, the sequencer is free.
 *
 * Two ways to receive the samples:
 *  - with a callback (ADC_SetCallback before the start): the library calls it once per chunk,
 *    in acquisition order, on a thread of its own (never on the caller's thread, never two
 *    calls at once for one acquisition), holding no lock of the library: the callback may call
 *    any function of the library, ADC_AcquireEnd included. The arrays it receives are valid
 *    only during the call. An exception it throws is caught and ignored, and so, on Windows,
 *    is any structured exception that leaves it: an access violation, an exception of another
 *    runtime (MSVC C++, Delphi, .NET) or RaiseException with any code. The callback's own
 *    frames unwind as their compiler arranges; the next chunk is delivered as usual. A slow
 *    callback delays only later chunks, which queue up in memory; after the acquisition ended (a
 *    completed block, a failed transfer or ADC_AcquireEnd) the chunks already queued are still
 *    delivered, so a callback may run shortly after ADC_AcquireEnd has returned. At unload
 *    the chunks still queued are dropped instead.
 *  - without a callback: chunks pile up in the library; ADC_PollData tells whether any wait
 *    and ADC_ClearData discards them (the samples cannot be read through this interface;
 *    memory grows by one chunk per transfer until they are cleared).
 *
 * Memory: besides the chunks waiting for the callback or in the pile, a stream holds the chunk
 * the board is filling, the one the callback is reading, and a reserve of empty chunks prepared
 * in advance: four, or two when a chunk is over 4 MiB. A callback that keeps up therefore costs
 * about eight chunks at most (512 KiB with 64 KiB chunks). After a slow callback has caught up,
 * the empty chunks beyond the reserve and two more are freed once they have stayed unused for
 * 50 ms (at once when the acquisition has ended), so memory returns to that size.
 * A volts callback adds 12 bytes per sample for its arrays, a counts callback 6.
 *
 * Unloading the library ends every running acquisition (as ADC_AcquireEnd does).
 */

/* Callback types for ADC_SetCallback: four-character tags, little-endian. */
#define ADC_CALLBACK_RAW 0x00776152u    /* "Raw" and a zero byte: TPCallbackProcSRaw */
#define ADC_CALLBACK_COUNTS 0x6E756F43u /* "Coun": TPCallbackProcSCounts */
#define ADC_CALLBACK_VOLTS 0x746C6F56u  /* "Volt": TPCallbackProcSV */
#define ADC_CALLBACK_NONE 0xFFFFFFFFu   /* no callback */

/* The samples of one chunk exactly as the board delivered them (DataCt packed words). */
typedef void(WINAPI *TPCallbackProcSRaw)(UINT64 iBoard, DWORD iSequencer, DWORD DataCt, DWORD *pDataRaw);
/* Per sample: the counts (bits 0-15, to be read as signed 16-bit), the status word (bits 16-31:
 * range code in bits 0-2, channel in bits 4-7, no-sample flag in bit 15) and a timestamp,
 * always 0. */
typedef void(WINAPI *TPCallbackProcSCounts)(UINT64 iBoard, DWORD iSequencer, DWORD DataCt, WORD *pData,
                                            WORD *pStatus, WORD *pTimestamp);
/* As TPCallbackProcSCounts with the samples in volts (NaN for a word with the no-sample flag
 * or range code 6). */
typedef void(WINAPI *TPCallbackProcSV)(UINT64 iBoard, DWORD iSequencer, DWORD DataCt, double *pData,
                                       WORD *pStatus, WORD *pTimestamp);

/* Not provided: always 50, whatever the arguments (the last error is not changed). The chunk
 * size comes from the board. */
HALVEX_API DWORD WINAPI ADC_ConfigureAcquire(UINT64 iBoard, DWORD iSequencer, DWORD NewChunkingType, DWORD Chunk);

/* Registers the callback the next acquisition of the sequencer delivers to. CallbackType is one
 * of ADC_CALLBACK_RAW, _COUNTS, _VOLTS (pCallback then points to a function of that type, cast
 * to void *) or ADC_CALLBACK_NONE; ADC_CALLBACK_NONE or a null pCallback removes the callback.
 * Sequencer 1 accepts a callback, but only sequencer 0 acquires.
 * 1413 bad board or sequencer; 1426 unknown CallbackType (also while busy); 170 busy. */
HALVEX_API DWORD WINAPI ADC_SetCallback(UINT64 iBoard, DWORD iSequencer, DWORD CallbackType, void *pCallback);

/* Starts a block acquisition on sequencer 0 that stops by itself once at least SampleCt samples
 * have arrived. Whole chunks are delivered: 1000 samples with 256-sample chunks give four
 * chunks, 1024 samples. SampleCt 0 returns 0 at once and starts nothing (no check is made).
 * 1413 bad board, or a sequencer other than 0; 66 the board cannot stream (16-bit start/stop
 * registers); 170 busy; 13 (ERROR_INVALID_DATA) register 32 holds a chunk size under 4 bytes
 * or over 64 MiB; 8 no memory for a chunk; the driver's code when register 32 cannot be
 * read. */
HALVEX_API DWORD WINAPI ADC_AcquireBlock(UINT64 iBoard, DWORD iSequencer, DWORD SampleCt);

/* Starts a stream on sequencer 0 that runs until ADC_AcquireEnd or a failed transfer.
 * Results as ADC_AcquireBlock. */
HALVEX_API DWORD WINAPI ADC_AcquireStream(UINT64 iBoard, DWORD iSequencer);

/* Ends the sequencer's acquisition: stops the board, waits until its transfers have ended and
 * frees the chunks that no callback is going to receive; the sequencer is free again. The wait
 * is bounded: a transfer the driver does not end within half a second of the stop is
 * cancelled (CancelIoEx), and one the driver does not give back even then is left to it, with
 * its memory, rather than freed under it. It does not wait for a callback thread that is still
 * delivering queued chunks, so it may be called from inside the callback. 0 also after a failed transfer or a completed block;
 * 21 no acquisition on the sequencer (never started or already ended); 1413 bad board or
 * sequencer. */
HALVEX_API DWORD WINAPI ADC_AcquireEnd(UINT64 iBoard, DWORD iSequencer);

/* Not provided: 1413 for a bad board or sequencer, otherwise 50. Nothing is read or written
 * through the pointers. */
HALVEX_API DWORD WINAPI ADC_GetDataV(UINT64 iBoard, DWORD iSequencer, DWORD DataCt, ULONG_PTR Reserved, double *pData,
                                     WORD *pStatus, WORD *pTimestamp);
HALVEX_API DWORD WINAPI ADC_GetDataCounts(UINT64 iBoard, DWORD iSequencer, DWORD DataCt, ULONG_PTR Reserved,
                                          WORD *pData, WORD *pStatus, WORD *pTimestamp);
HALVEX_API DWORD WINAPI ADC_GetDataRaw(UINT64 iBoard, DWORD iSequencer, DWORD DataCt, ULONG_PTR Reserved,
                                       DWORD *pDataRaw);

/* Whether chunks wait in an acquisition without a callback; answers at once, never blocks.
 * 0 at least one chunk waits (also after the run ended); 38 none waits; 21 no acquisition;
 * 1427 the acquisition delivers to a callback; 1413 bad board or sequencer. */
HALVEX_API DWORD WINAPI ADC_PollData(UINT64 iBoard, DWORD iSequencer);

/* Discards every chunk waiting in an acquisition without a callback; the acquisition goes on.
 * 0 chunks were discarded; 38 none waited; 21, 1427, 1413 as ADC_PollData. */
HALVEX_API DWORD WINAPI ADC_ClearData(UINT64 iBoard, DWORD iSequencer);


/* ==== Analog output ========================================================================== */
/* Four 16-bit outputs, channels 0 to 3; Ch 0xFFFFFFFF (-1) selects all four. No lock is taken:
 * threads driving the same board at once may interleave their writes.
 *
 * Output ranges, by code or by four-character tag (a DWORD whose little-endian bytes are these):
 *   code  tag                         range
 *     0   0x35303055 "U005"           0 V .. +5 V
 *     1   0x30313055 "U010"           0 V .. +10 V
 *     2   0x3530E142 "B" E1 "05"      -5 V .. +5 V
 *     3   0x3031E142 "B" E1 "10"      -10 V .. +10 V
 *     4   0xBD32E142 "B" E1 "2" BD    -2.5 V .. +2.5 V
 * Range code 0xFFFFFFFF (-1) leaves a range as it is.
 * Counts: on the bipolar ranges offset binary (0 is the bottom, 32768 is 0 V); on the unipolar
 * ranges 0 is 0 V. 65535 is one step below the top of the range.
 *
 * The library remembers the range it last set on each channel (any failed write included) and
 * DAC_OutputV converts for it; a channel it never set is taken to be on code 3. Refusals other
 * than the board index (1413 for Ch, 87, 487, 13) leave the last error at 0. */

/* Sets the range of channel Ch, or of all channels. Ch is checked before the range.
 * 0 also for RangeCode -1 (nothing written). 1413 bad board index or Ch; 87 unknown range;
 * otherwise the register write's result. */
HALVEX_API DWORD WINAPI DAC_SetRange1(UINT64 iBoard, DWORD Ch, DWORD RangeCode);

/* Sets the ranges of channels 0 to 3 from Count entries of Ranges (codes or tags; entries past
 * the fourth are ignored). Channels without an entry take the last entry given, so one entry sets
 * all four. An entry -1 leaves its channel alone. All entries are checked before anything is
 * written. 0 for Count 0 (Ranges not looked at); 487 Ranges null or unreadable; 87 an unknown
 * range; otherwise the first failing register write's result (earlier channels keep theirs). */
HALVEX_API DWORD WINAPI DAC_SetRangeAll(UINT64 iBoard, DWORD Count, const DWORD *Ranges);

/* Puts raw counts out on channel Ch, or on all channels with one command.
 * 1413 bad board index or Ch; 13 Counts above 65535 (nothing written); otherwise the register
 * write's result. */
HALVEX_API DWORD WINAPI DAC_OutputCounts(UINT64 iBoard, DWORD Ch, UINT64 Counts);

/* Puts Volts out on channel Ch, or on each channel in turn, converted for that channel's range
 * (Volts / span * 65536, rounded to the nearest integer, a half to even; +32768 on a bipolar
 * range). The top of a range itself is out of reach.
 * 1413 bad board index or Ch; 13 Volts outside a channel's range or not a number: with all
 * channels, the channels before it have already been written; otherwise the first failing
 * register write's result. */
HALVEX_API DWORD WINAPI DAC_OutputV(UINT64 iBoard, DWORD Ch, double Volts);


/* ==== Extensions =============================================================================== */
/* What the classic functions leave out. Plain names only (no _ or VB twin); the same rules as
 * every other function: indices checked, caller pointers guarded, nothing thrown, codes as
 * documented. In a child made by fork() they answer 6 at once, as the others do, except
 * HX_GetVersion, HX_ErrorName and HX_ErrorText, which touch nothing. */

/* The library's version: major << 16 | minor << 8 | patch. */
HALVEX_API DWORD WINAPI HX_GetVersion(void);

/* The name of a code the library returns ("ERROR_BUSY" for 170) and a one-line meaning of it
 * for a person. Never null: a code the library does not know gives "UNKNOWN" and a text that
 * says so. The texts are static; do not free them. */
HALVEX_API const char *WINAPI HX_ErrorName(DWORD Code);
HALVEX_API const char *WINAPI HX_ErrorText(DWORD Code);

/* What a board is, as the library found it at start-up. Set Size as for HX_ACQUIRE_STATUS:
 * only the first Size bytes are filled. */
typedef struct HX_BOARD_INFO {
    DWORD Size;      /* in: bytes of the record; out: bytes filled */
    DWORD DeviceID;  /* as BRD_GetDeviceID */
    DWORD Layout;    /* register layout: 1 16-bit start/stop registers and commands; 2 32-bit
                        start/stop registers and commands; 3 32-bit start/stop registers and
                        commands chosen by the firmware word */
    DWORD CanStream; /* 1 when sequencer 0 can acquire (layouts 2 and 3), else 0 */
    DWORD ScanRows;  /* rows of eight an immediate scan fills: 2, or 1 on layout 2 */
    DWORD BaseClock; /* the conversion clock's base in Hz: the rate is BaseClock / divisor */
} HX_BOARD_INFO;

/* 0; 1413 bad board; 487 pInfo unreadable or unwritable; 87 Size below 8. */
HALVEX_API DWORD WINAPI HX_GetBoardInfo(UINT64 iBoard, HX_BOARD_INFO *pInfo);

/* An acquisition's state, read at once without waiting. Set Size to sizeof(HX_ACQUIRE_STATUS)
 * before the call: the library fills only the first Size bytes, so a program built against an
 * older, shorter record keeps working. The counters belong to the sequencer's latest run and stay
 * readable after ADC_AcquireEnd, until the next start. */
typedef struct HX_ACQUIRE_STATUS {
    DWORD Size;             /* in: bytes of the record; out: bytes filled */
    DWORD Exists;           /* 1 from a successful start until ADC_AcquireEnd */
    DWORD RunEnded;         /* 1 once the run has ended: block complete, a failed transfer or
                               ADC_AcquireEnd */
    DWORD BytesPerChunk;    /* bytes of every chunk of the run (register 32 at its start) */
    UINT64 ChunksDelivered; /* chunks the callback has returned from, or put in the final pool */
    UINT64 SamplesDelivered; /* samples in those chunks (a short chunk counts what it holds) */
    DWORD ChunksQueued;     /* filled chunks waiting for the callback */
    DWORD ChunksPooled;     /* filled chunks waiting in the final pool (no callback) */
    DWORD FailedTransfers;  /* transfers the driver failed; a failure ends the run */
    DWORD LastFailure;      /* the code of the last failed transfer, 0 when none failed; 574
                               (ERROR_UNHANDLED_EXCEPTION) when a fault inside one of the run's
                               threads ended it, 995 when the callback's thread was ended under
                               it (pthread_exit, or a runtime shutting down) */
    DWORD ShortTransfers;   /* transfers that completed with fewer bytes than a chunk holds; each
                               delivered only the whole samples that arrived (see below) */
} HX_ACQUIRE_STATUS;

/* 0, with all counters 0 when the sequencer never acquired; 1413 bad board or sequencer; 487
 * pStatus unreadable or unwritable; 87 Size below 8. */
HALVEX_API DWORD WINAPI HX_AcquireStatus(UINT64 iBoard, DWORD iSequencer, HX_ACQUIRE_STATUS *pStatus);

/* Waits until the sequencer's latest run has ended (block complete, a failed transfer, or
 * ADC_AcquireEnd) and its callback has returned from every chunk it is going to receive; after
 * 0 the callback is never called again for that run, so what it uses may be freed. A stream
 * ends only with ADC_AcquireEnd or a failure. TimeoutMs 0xFFFFFFFF waits without a time-out.
 * 0 done; 1460 (ERROR_TIMEOUT) not within TimeoutMs; 21 the sequencer never acquired;
 * 170 called from that run's own callback (it would wait for itself); 1413 bad board or
 * sequencer. */
HALVEX_API DWORD WINAPI HX_AcquireWait(UINT64 iBoard, DWORD iSequencer, DWORD TimeoutMs);

/* Callbacks that receive the caller's pointer given to HX_SetCallbackContext as their first
 * argument; otherwise as TPCallbackProcSRaw, TPCallbackProcSCounts and TPCallbackProcSV. */
typedef void(WINAPI *HX_CallbackRaw)(void *pContext, UINT64 iBoard, DWORD iSequencer, DWORD DataCt, DWORD *pDataRaw);
typedef void(WINAPI *HX_CallbackCounts)(void *pContext, UINT64 iBoard, DWORD iSequencer, DWORD DataCt, WORD *pData,
                                        WORD *pStatus, WORD *pTimestamp);
typedef void(WINAPI *HX_CallbackVolts)(void *pContext, UINT64 iBoard, DWORD iSequencer, DWORD DataCt, double *pData,
                                       WORD *pStatus, WORD *pTimestamp);

/* As ADC_SetCallback, with a callback of the HX_Callback kind matching CallbackType
 * (ADC_CALLBACK_RAW: HX_CallbackRaw, _COUNTS: HX_CallbackCounts, _VOLTS: HX_CallbackVolts)
 * that gets pContext first. Replaces a callback set either way; ADC_SetCallback replaces this
 * one. Same results as ADC_SetCallback. */
HALVEX_API DWORD WINAPI HX_SetCallbackContext(UINT64 iBoard, DWORD iSequencer, DWORD CallbackType, void *pCallback,
                                              void *pContext);

/* Where a chunk came from. A completed transfer delivers exactly the whole samples that arrived
 * (the driver's byte count / 4): a transfer the driver ends early (a stop byte part way, a short
 * completion) gives a chunk with fewer samples, flagged HX_CHUNK_SHORT, and one that arrived with
 * no whole sample delivers nothing (no call with DataCt 0) while the run goes on. Both count in
 * HX_ACQUIRE_STATUS.ShortTransfers. A block acquisition counts the samples delivered, not chunks,
 * towards its SampleCt. The chunks of a run are numbered 0, 1, 2, ... without gaps, and each
 * chunk's first sample follows the last sample of the chunk before it, so
 * FirstSample + SampleCt of one chunk is the FirstSample of the next.
 *
 * Times are nanoseconds of one monotonic clock: CLOCK_MONOTONIC on Linux (Python's
 * time.monotonic_ns()), QueryPerformanceCounter converted to nanoseconds on Windows (Python's
 * time.perf_counter_ns()). The time of sample FirstSample + i is about
 * StartedNs + (FirstSample + i) * 1e9 / ConversionRateHz; CompletedNs says when the library saw
 * the transfer end, which is a bound on when its samples arrived, not the time of a sample. */
#define HX_CHUNK_SHORT 0x1u /* the transfer completed with fewer bytes than a chunk holds */
#define HX_CHUNK_LAST 0x2u  /* the run's last chunk, where the library knows it: the chunk that
                               completes a block */

typedef struct HX_CHUNK_INFO {
    DWORD Size;              /* in: bytes of the record; out: bytes filled (as HX_ACQUIRE_STATUS) */
    DWORD Flags;             /* HX_CHUNK_SHORT, HX_CHUNK_LAST */
    UINT64 Sequence;         /* the chunk's number in its run: 0, 1, 2, ... */
    UINT64 FirstSample;      /* index of the chunk's first sample since the run started */
    DWORD SampleCt;          /* samples in the chunk: the callback's DataCt */
    DWORD ChannelCt;         /* channels of one scan: sample n is of scan position n % ChannelCt */
    UINT64 CompletedNs;      /* when the library saw the transfer complete */
    UINT64 StartedNs;        /* when the run started the board */
    double ConversionRateHz; /* the run's achieved rate: conversions per second over all channels
                                (base clock / divisor, as ADC_GetRate) */
    double SampleRateHz;     /* the same per channel: ConversionRateHz / ChannelCt */
} HX_CHUNK_INFO;

/* Describes the chunk being delivered: call it from inside a callback (classic or with a
 * context) of the board's sequencer, on the callback's own thread. 0 filled; 232 (ERROR_NO_DATA)
 * not inside such a callback, nothing written; 1413 bad board or sequencer; 487 pInfo
 * unreadable or unwritable; 87 Size below 8. */
HALVEX_API DWORD WINAPI HX_GetChunkInfo(UINT64 iBoard, DWORD iSequencer, HX_CHUNK_INFO *pInfo);

/* Sets the bytes of one transfer, and so of every chunk the next acquisition delivers
 * (register 32; 65536 at power-up on the simulated boards). Bytes / 4 samples make a chunk, the
 * smallest delivery. 0 done; 87 Bytes 0, not a multiple of 4, or above 64 MiB; 170 the sequencer
 * is acquiring; 66 the board cannot stream; 1413 bad board, or a sequencer other than 0; the
 * driver's code when the write fails. */
HALVEX_API DWORD WINAPI HX_SetChunkSize(UINT64 iBoard, DWORD iSequencer, DWORD Bytes);

/* The bytes of a chunk the library accepts: a whole number of 4-byte samples in this span. */
#define HX_CHUNK_BYTES_MIN 4u
#define HX_CHUNK_BYTES_MAX 0x4000000u /* 64 MiB */

/* HX_CHUNK_BYTES_MIN and HX_CHUNK_BYTES_MAX, for languages that cannot read this header. Either
 * pointer may be null when that limit is not wanted. 0; 487 a pointer cannot be written. */
HALVEX_API DWORD WINAPI HX_GetChunkLimits(DWORD *pMinBytes, DWORD *pMaxBytes);

/* The analog ranges, so that no program keeps a copy of them: the input ranges a conversion is
 * made on (codes 0-5 and 7, the HALVEX_AI_RANGE_ names) and the output ranges of the analog
 * outputs (codes 0-4). Every input range is bipolar, High = -Low = FullScaleCounts x
 * VoltsPerCount; a reading beyond FullScaleCounts either way lies outside its range (the
 * converter goes on to the 16-bit limits, but not accurately). An output range spans 65536
 * counts from Low, so counts 65535 give one count below High. */
#define HX_RANGE_INPUT 0u
#define HX_RANGE_OUTPUT 1u

typedef struct HX_RANGE_INFO {
    DWORD Size;            /* in: bytes of the record; out: bytes filled (as HX_ACQUIRE_STATUS) */
    DWORD Code;            /* the range code (the code of a tag given for it) */
    DWORD Tag;             /* the four-byte tag the library also takes for the code */
    DWORD FullScaleCounts; /* input ranges: the counts High stands for; output ranges: 0 */
    double Low;            /* volts at the bottom of the range */
    double High;           /* volts at the top */
    double VoltsPerCount;  /* volts of one count */
} HX_RANGE_INFO;

/* Describes the range of Kind (HX_RANGE_INPUT or _OUTPUT) that RangeCode names, by its code or
 * by its tag. 0; 87 Kind unknown, RangeCode neither a code nor a tag of a range of that kind, or
 * Size below 8; 487 pInfo unreadable or unwritable. */
HALVEX_API DWORD WINAPI HX_GetRangeInfo(DWORD Kind, DWORD RangeCode, HX_RANGE_INFO *pInfo);

/* ==== Recording the driver traffic ============================================================ */
/* Every request the library makes of the driver (the interfaces enumerated and opened, each
 * control request with its answer, the order in which overlapped requests complete with their
 * data, cancellations and closes, with times) written to a file, on any driver. The simulated
 * driver replays such a file (halvex/sim_c.h, HXSIM_Replay), so a session recorded on a machine
 * with boards becomes a test that runs without them. The format is in docs/recording-format.md;
 * a file cut short by a crash reads up to its last whole record.
 *
 * HALVEX_RECORD=<path> in the environment when the library loads starts a recording at once
 * (HALVEX_RECORD_DATA_BYTES=<n>, if set, is its DataBytes). Unloading the library ends it. */

/* DataBytes that keeps every byte of every transfer. */
#define HX_DRIVER_RECORDING_ALL_DATA 0xFFFFFFFFu

/* Starts recording into the file at Path (UTF-8; created or replaced), ending any recording
 * already running. Of each completed overlapped transfer (streamed data, interrupt waits) only the
 * first DataBytes bytes are kept; a replay fills the rest with zeros. Requests already in flight
 * are not in the new file.
 * 0 done; 487 Path null or unreadable; 87 Path empty; 3, 5 or 110 the file cannot be created. */
HALVEX_API DWORD WINAPI HX_StartDriverRecording(const char *Path, DWORD DataBytes);

/* Ends the recording, if one runs, and closes its file; completions of requests still in flight
 * are not written. 0 done (also when none ran); 29 a write to the file failed. */
HALVEX_API DWORD WINAPI HX_StopDriverRecording(void);


#ifdef __cplusplus
}
#endif

#endif /* HALVEX_HALVEX_H */
