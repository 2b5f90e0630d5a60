/* A program of someone else's that uses Halvex: it reports the library's version and the boards,
 * and reads one input in volts. Built by tests/consumer/run.cmake in each way a project takes
 * the library. */
#include <halvex/halvex.h>
#include <halvex/version.h>

#include <stdio.h>

int main(void) {
    double volts = 0.0;
    const DWORD r = ADC_GetImmediateV(1, 0, &volts, 0, 0);
    printf("consumer: halvex %s (runs %u), %lld boards, read %s\n", HALVEX_VERSION_STRING, (unsigned)HX_GetVersion(),
           (long long)(BRD_GetHighestBoardIndex() + 1), HX_ErrorName(r));
    return r == 0 && HX_GetVersion() == HALVEX_VERSION ? 0 : 1;
}
