// Reads every input of the first board once (an immediate scan) and prints volts per channel.
// An immediate scan sets the ranges it is given; on boards that take 32-bit commands it also
// stops sequencer 0's conversion clock and changes its channel setup, so set the rate and the
// channel count again before streaming.
#include <halvex/halvex.h>

#include <array>
#include <cmath>
#include <cstdio>

int main() {
    if (BRD_GetHighestBoardIndex() < 0) {
        std::fprintf(stderr, "no board\n");
        return 1;
    }
    constexpr UINT64 board = 0;
    std::array<double, 16> volts{};
    // Range code 0 on every channel; 0xFFFFFFFF would keep the ranges set before.
    if (const DWORD r = ADC_GetImmediateScanV(board, volts.data(), 0)) {
        std::fprintf(stderr, "ADC_GetImmediateScanV: %s (%s)\n", HX_ErrorName(r), HX_ErrorText(r));
        return 1;
    }
    for (unsigned sequencer = 0; sequencer < 2; ++sequencer) {
        std::printf("sequencer %u:", sequencer);
        for (unsigned channel = 0; channel < 8; ++channel) {
            const double v = volts[8 * sequencer + channel];
            // NaN: a slot the scan did not fill (a one-row board, or differential inputs).
            if (std::isnan(v))
                std::printf("       -");
            else
                std::printf(" %7.4f", v);
        }
        std::printf("\n");
    }
    return 0;
}
