/* Streams exactly N samples per channel in volts from the first board that can stream, to a
 * callback that gets a context pointer, then ends the stream and waits for the last callback.
 * Usage: stream_volts [samples-per-channel] [channels] [total-rate-Hz] */
#include <halvex/halvex.h>

#include <stdio.h>
#include <stdlib.h>

typedef struct {
    double *volts;   /* channels interleaved, as the board scans them */
    DWORD wanted;    /* samples in all */
    DWORD have;
    HANDLE enough;   /* set once `wanted` samples are in */
} Capture;

static void WINAPI OnVolts(void *context, UINT64 board, DWORD sequencer, DWORD count, double *volts, WORD *status,
                           WORD *timestamp) {
    Capture *capture = (Capture *)context;
    (void)board, (void)sequencer, (void)status, (void)timestamp;
    /* Whole chunks arrive; keep what was asked for and drop the rest of the last one. */
    for (DWORD i = 0; i < count && capture->have < capture->wanted; ++i) capture->volts[capture->have++] = volts[i];
    if (capture->have == capture->wanted) SetEvent(capture->enough);
}

static int Check(const char *what, DWORD code) {
    if (code == 0) return 0;
    fprintf(stderr, "%s: %u %s (%s)\n", what, (unsigned)code, HX_ErrorName(code), HX_ErrorText(code));
    return 1;
}

int main(int argc, char **argv) {
    const DWORD perChannel = argc > 1 ? (DWORD)strtoul(argv[1], NULL, 10) : 1000;
    const DWORD channels = argc > 2 ? (DWORD)strtoul(argv[2], NULL, 10) : 2;
    const double rate = argc > 3 ? strtod(argv[3], NULL) : 100000.0; /* conversions per second, all channels */
    UINT64 board = 0;
    HX_ACQUIRE_STATUS status = {sizeof status};

    /* A chunk is the smallest delivery: 1024 samples here. Boards with 16-bit start/stop
     * registers cannot stream and refuse with 66. */
    while ((INT64)board <= BRD_GetHighestBoardIndex() && HX_SetChunkSize(board, 0, 4096) != 0) ++board;
    if ((INT64)board > BRD_GetHighestBoardIndex()) {
        fprintf(stderr, "no board can stream\n");
        return 1;
    }
    if (Check("ADC_SetChannelCount", ADC_SetChannelCount(board, 0, channels)) ||
        Check("ADC_SetRate", ADC_SetRate(board, 0, rate)))
        return 1;

    Capture capture = {NULL, perChannel * channels, 0, CreateEventW(NULL, TRUE, FALSE, NULL)};
    capture.volts = (double *)malloc(capture.wanted * sizeof(double));
    if (capture.volts == NULL || capture.enough == NULL) return 1;
    if (Check("HX_SetCallbackContext",
              HX_SetCallbackContext(board, 0, ADC_CALLBACK_VOLTS, (void *)OnVolts, &capture)) ||
        Check("ADC_AcquireStream", ADC_AcquireStream(board, 0)))
        return 1;
    /* Ten seconds is far more than the samples take; a stream that failed ends early. */
    WaitForSingleObject(capture.enough, 10000);
    Check("ADC_AcquireEnd", ADC_AcquireEnd(board, 0));
    /* After this the callback is never called again: what it uses may go. */
    Check("HX_AcquireWait", HX_AcquireWait(board, 0, 10000));
    Check("HX_AcquireStatus", HX_AcquireStatus(board, 0, &status));
    CloseHandle(capture.enough);

    printf("board %llu: %u samples per channel on %u channels, %llu delivered, %u failed transfers\n",
           (unsigned long long)board, (unsigned)(capture.have / channels), (unsigned)channels,
           (unsigned long long)status.SamplesDelivered, (unsigned)status.FailedTransfers);
    for (DWORD c = 0; c < channels && capture.have >= channels; ++c)
        printf("channel %u: first %.4f V, last %.4f V\n", (unsigned)c, capture.volts[c],
               capture.volts[capture.have - channels + c]);
    free(capture.volts);
    return capture.have == capture.wanted && status.FailedTransfers == 0 ? 0 : 1;
}
