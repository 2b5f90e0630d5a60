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
 *    998 ERROR_NOACCESS            result pointer unwritable (PIO_GetDeviceHandle)
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
 * functions take no lock. No function throws.
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
 * Never fails and does not change the last error. */
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
 * Unlike the wide variant, pName is not zeroed: exactly min(NameSize, name length) bytes are
 * written, with no terminator. */
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
 * and the result is the last error after the read. pData must hold Count elements; it is not
 * checked. */
HALVEX_API DWORD WINAPI PIO_INS8(UINT64 iBoard, DWORD Offset, DWORD Count, BYTE *pData);
HALVEX_API DWORD WINAPI PIO_INS16(UINT64 iBoard, DWORD Offset, DWORD Count, WORD *pData);
HALVEX_API DWORD WINAPI PIO_INS32(UINT64 iBoard, DWORD Offset, DWORD Count, DWORD *pData);

/* Write pData[0] to a register. Only Count 1 is provided: any other Count returns 50 at once,
 * without checking the board index or sending anything. */
HALVEX_API DWORD WINAPI PIO_OUTS8(UINT64 iBoard, DWORD Offset, DWORD Count, const BYTE *pData);
HALVEX_API DWORD WINAPI PIO_OUTS16(UINT64 iBoard, DWORD Offset, DWORD Count, const WORD *pData);
HALVEX_API DWORD WINAPI PIO_OUTS32(UINT64 iBoard, DWORD Offset, DWORD Count, const DWORD *pData);

/* ==== Interrupts, DMA ping-pong, BAR query and device handle ================================= */

/* ==== Analog input: ranges, rate, channel count, differential mode ============================ */

/* ==== Analog input: immediate reads =========================================================== */

/* ==== Streaming acquisition and data retrieval ================================================ */

/* ==== Analog output ========================================================================== */

#ifdef __cplusplus
}
#endif

#endif /* HALVEX_HALVEX_H */
