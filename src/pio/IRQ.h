// The board interrupt as the rest of the library uses it.
#pragma once

#include <windows.h>

namespace halvex {

// How long PIO_AbortIRQWait leaves the driver to end the waits in flight itself before it
// cancels them, and how long an abort or the unload then waits for the cancelled waits to
// return to their callers (a driver may hold on to a cancelled request; nothing more can be
// done about that from here). halvex.h states the sum as the abort's bound.
inline constexpr DWORD kIrqAbortGraceMs = 100;
inline constexpr DWORD kIrqCancelledWaitMs = 1000;

// At unload, before the board's handle closes: cancels the board's interrupt waits in flight
// at once and waits at most kIrqCancelledWaitMs for them to return. Throws nothing but a
// forced unwind.
void EndInterruptWaitsAtDetach(UINT64 iBoard);

}  // namespace halvex
