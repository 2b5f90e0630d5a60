// Acquires one block of samples without a callback: the chunks wait in the library, and the
// status says how many arrived. Usage: block [samples]
#include <halvex/halvex.h>

#include <cstdio>
#include <cstdlib>

namespace {

bool Ok(const char* what, DWORD code) {
    if (code == 0) return true;
    std::fprintf(stderr, "%s: %u %s (%s)\n", what, static_cast<unsigned>(code), HX_ErrorName(code),
                 HX_ErrorText(code));
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    const DWORD samples = argc > 1 ? static_cast<DWORD>(std::strtoul(argv[1], nullptr, 10)) : 5000;
    UINT64 board = 0;
    // The first board that streams (boards with 16-bit start/stop registers refuse with 66).
    while (static_cast<INT64>(board) <= BRD_GetHighestBoardIndex() && HX_SetChunkSize(board, 0, 4096) != 0) ++board;
    if (static_cast<INT64>(board) > BRD_GetHighestBoardIndex()) {
        std::fprintf(stderr, "no board can stream\n");
        return 1;
    }
    if (!Ok("ADC_SetCallback", ADC_SetCallback(board, 0, ADC_CALLBACK_NONE, nullptr)) ||
        !Ok("ADC_SetRate", ADC_SetRate(board, 0, 200000.0)) || !Ok("ADC_AcquireBlock", ADC_AcquireBlock(board, 0, samples)) ||
        !Ok("HX_AcquireWait", HX_AcquireWait(board, 0, 10000)))
        return 1;
    HX_ACQUIRE_STATUS status{};
    status.Size = sizeof status;
    if (!Ok("HX_AcquireStatus", HX_AcquireStatus(board, 0, &status))) return 1;
    // Whole chunks: the block is rounded up to a multiple of 1024 samples.
    std::printf("board %llu: block of %u samples: %llu samples in %u chunks waiting\n",
                static_cast<unsigned long long>(board), static_cast<unsigned>(samples),
                static_cast<unsigned long long>(status.SamplesDelivered), static_cast<unsigned>(status.ChunksPooled));
    const bool whole = ADC_PollData(board, 0) == 0 && status.FailedTransfers == 0;
    if (!Ok("ADC_AcquireEnd", ADC_AcquireEnd(board, 0))) return 1;
    return whole ? 0 : 1;
}
