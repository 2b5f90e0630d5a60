/* Puts a voltage out on analog output 2 and reads it back through an input that the simulated
 * board wires to that output. On real hardware the wire is yours to connect; the sim_c.h calls
 * are what only the simulated boards need. Usage: dac_loopback [volts] */
#include <halvex/halvex.h>
#include <halvex/sim_c.h>

#include <math.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv) {
    const double wanted = argc > 1 ? strtod(argv[1], NULL) : -1.25;
    const UINT64 board = 1;
    const DWORD output = 2, sequencer = 0, channel = 7;
    double volts = 0.0;
    DWORD r;

    /* Input 7 of sequencer 0 measures output 2. */
    r = HXSIM_SetInputSource(board, sequencer, channel, HXSIM_SOURCE_LOOPBACK, 0.0, 0.0, 0.0, output);
    if (r == 0) r = DAC_SetRange1(board, output, 3); /* -10 V .. +10 V */
    if (r == 0) r = DAC_OutputV(board, output, wanted);
    /* Range code 1 on every input: -5 V .. +5 V. */
    if (r == 0) r = ADC_GetImmediateV(board, sequencer, &volts, channel, 1);
    if (r != 0) {
        fprintf(stderr, "failed: %u %s (%s)\n", (unsigned)r, HX_ErrorName(r), HX_ErrorText(r));
        return 1;
    }
    printf("output %u: %.4f V out, %.4f V read back on input %u\n", (unsigned)output, wanted, volts,
           (unsigned)channel);
    /* One count of either converter is well under 1 mV on these ranges. */
    return fabs(volts - wanted) < 0.005 ? 0 : 1;
}
