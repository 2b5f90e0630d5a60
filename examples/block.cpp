// Acquires one block of exactly N samples in volts. The samples reach a program only through a
// callback: without one the library keeps the chunks and can tell that they wait, but gives no
// way to read them. So the callback copies what it is given, and the program reads its copy once
// HX_AcquireWait says the last call has returned. Usage: block [samples]
#include <halvex/halvex.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

bool Ok(const char* what, DWORD code) {
    if (code == 0) return true;
    std::fprintf(stderr, "%s: %u %s (%s)\n", what, static_cast<unsigned>(code), HX_ErrorName(code),
                 HX_ErrorText(code));
    return false;
}

struct Block {
    std::vector<double> volts;  // what the program asked for, no more
    std::size_t wanted = 0;
    unsigned chunks = 0;
};

// On the library's thread, one chunk at a time, never two at once. The block comes in whole
// chunks, so the last one may hold more than was asked for.
void WINAPI OnVolts(void* context, UINT64, DWORD, DWORD count, double* volts, WORD*, WORD*) {
    Block& block = *static_cast<Block*>(context);
    ++block.chunks;
    for (DWORD i = 0; i < count && block.volts.size() < block.wanted; ++i) block.volts.push_back(volts[i]);
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
    Block block;
    block.wanted = samples;
    block.volts.reserve(samples);
    if (!Ok("ADC_SetChannelCount", ADC_SetChannelCount(board, 0, 1)) ||
        !Ok("ADC_SetRate", ADC_SetRate(board, 0, 200000.0)) ||
        !Ok("HX_SetCallbackContext",
            HX_SetCallbackContext(board, 0, ADC_CALLBACK_VOLTS, reinterpret_cast<void*>(&OnVolts), &block)) ||
        !Ok("ADC_AcquireBlock", ADC_AcquireBlock(board, 0, samples)))
        return 1;
    // The block ends by itself; after this wait the callback is never called again, so `block`
    // is the program's alone.
    const bool waited = Ok("HX_AcquireWait", HX_AcquireWait(board, 0, 10000));
    HX_ACQUIRE_STATUS status{};
    status.Size = sizeof status;
    const bool known = Ok("HX_AcquireStatus", HX_AcquireStatus(board, 0, &status));
    // Every start needs its end, a block that has completed too.
    if (!Ok("ADC_AcquireEnd", ADC_AcquireEnd(board, 0)) || !waited || !known) return 1;

    std::printf("board %llu: block of %u samples: %zu kept of %llu delivered in %u chunks\n",
                static_cast<unsigned long long>(board), static_cast<unsigned>(samples), block.volts.size(),
                static_cast<unsigned long long>(status.SamplesDelivered), block.chunks);
    if (!block.volts.empty()) {
        double sum = 0.0;
        for (const double v : block.volts) sum += v;
        std::printf("first %.4f V, last %.4f V, mean %.4f V\n", block.volts.front(), block.volts.back(),
                    sum / static_cast<double>(block.volts.size()));
    }
    return block.volts.size() == samples && status.FailedTransfers == 0 ? 0 : 1;
}
