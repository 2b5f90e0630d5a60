/* An application that has functions of its own under names of the library's Win32 layer. The
 * library's own calls must still reach its own layer: none of these may run from inside it. */
#include <halvex/halvex.h>

#include <stdio.h>

static int calls;

DWORD WINAPI GetLastError(void) {
    ++calls;
    return 0xDEAD;
}
void WINAPI SetLastError(DWORD code) {
    (void)code;
    ++calls;
}
BOOL WINAPI CloseHandle(HANDLE handle) {
    (void)handle;
    ++calls;
    return FALSE;
}

int main(void) {
    DWORD id = 0;
    double volts = 0.0;
    const DWORD refused = BRD_GetDeviceID(99, &id);
    const DWORD found = BRD_GetDeviceID(1, &id);
    const DWORD read = ADC_GetImmediateV(1, 0, &volts, 0, 0);
    const DWORD missing = ADC_AcquireEnd(1, 0);
    printf("own_win32: %d calls into the application's functions; codes %u %u %u %u; id %04X\n", calls,
           (unsigned)refused, (unsigned)found, (unsigned)read, (unsigned)missing, (unsigned)id);
    return calls == 0 && refused == ERROR_INVALID_INDEX && found == 0 && read == 0 && missing == ERROR_NOT_READY &&
                   id == 0x805C
               ? 0
               : 1;
}
