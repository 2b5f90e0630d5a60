/* The simulator's C interface driven from a C program, with the results checked through the
 * public API: a bus of its own, a constant and a loopback source read back by immediate reads,
 * the command spacing, a register, injected failures, the interrupt, a short block acquisition
 * and its stream status, the request log, texts and lists given into the caller's room, and the
 * codes for what the interface refuses. */
#include <halvex/halvex.h>
#include <halvex/sim_c.h>

#include <math.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

static int failures = 0;

#define CHECK(condition)                                                      \
    do {                                                                      \
        if (!(condition)) {                                                   \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                       \
        }                                                                     \
    } while (0)

#define CHECK_CODE(expected, call) CHECK((DWORD)(call) == (DWORD)(expected))

static int Near(double a, double b) { return a - b < 1e-9 && b - a < 1e-9; }

/* The maker's register-read control code. */
#define REG_READ_CODE 0x80FF6080u
#define SCRATCH_REGISTER 0x200u

/* Board 0 streams (32-bit start/stop registers) with 256-sample transfers; board 1 takes 32-bit
 * immediate commands. */
static void BuildBus(void) {
    UINT64 position = 99;
    UINT64 count = 0;
    CHECK_CODE(ERROR_SUCCESS, HXSIM_LibraryDetach());
    CHECK_CODE(ERROR_SUCCESS, HXSIM_ResetBus());
    CHECK_CODE(ERROR_SUCCESS, HXSIM_AddBoard(0x805C, 0, 0, 1024, &position));
    CHECK(position == 0);
    CHECK_CODE(ERROR_SUCCESS, HXSIM_AddBoard(0x80E8, 0x00010002, 0, 0, NULL));
    CHECK_CODE(ERROR_SUCCESS, HXSIM_GetBoardCount(&count));
    CHECK(count == 2);
    CHECK_CODE(ERROR_SUCCESS, HXSIM_LibraryStart());
    CHECK(BRD_GetHighestBoardIndex() == 1);
}

static void SourcesReadBackThroughTheLibrary(void) {
    double volts = 0.0;
    DWORD kind = 99, range = 99, counts = 0;

    CHECK_CODE(ERROR_SUCCESS, HXSIM_SetInputSource(0, 0, 3, HXSIM_SOURCE_CONSTANT, 1.25, 0.0, 0.0, 0));
    CHECK_CODE(ERROR_SUCCESS, ADC_GetImmediateV(0, 0, &volts, 3, HALVEX_AI_RANGE_5V));
    CHECK(Near(volts, 1.25));
    CHECK_CODE(ERROR_SUCCESS, HXSIM_GetInputSource(0, 0, 3, &kind, &volts, NULL, NULL, NULL));
    CHECK(kind == HXSIM_SOURCE_CONSTANT && Near(volts, 1.25));

    /* Output 2 wired to input 7 of sequencer 0 on the other board. */
    CHECK_CODE(ERROR_SUCCESS, HXSIM_SetInputSource(1, 0, 7, HXSIM_SOURCE_LOOPBACK, 0.0, 0.0, 0.0, 2));
    CHECK_CODE(ERROR_SUCCESS, DAC_OutputV(1, 2, -1.25));
    CHECK_CODE(ERROR_SUCCESS, HXSIM_GetAnalogOutput(1, 2, &range, &counts, &volts));
    CHECK(range == 3 && counts == 28672 && Near(volts, -1.25));
    CHECK_CODE(ERROR_SUCCESS, ADC_GetImmediateV(1, 0, &volts, 7, HALVEX_AI_RANGE_5V));
    CHECK(Near(volts, -1.25));

    /* Commands spaced further apart than the library waits are dropped: a short FIFO. */
    CHECK_CODE(ERROR_SUCCESS, HXSIM_SetCommandSpacing(1, 1e6));
    CHECK_CODE(ERROR_READ_FAULT, ADC_GetImmediateV(1, 0, &volts, 7, HALVEX_AI_RANGE_5V));
    CHECK_CODE(ERROR_SUCCESS, HXSIM_SetCommandSpacing(1, 15.0));
}

static void RegistersFailuresAndTheInterrupt(void) {
    DWORD value = 0;

    CHECK_CODE(ERROR_SUCCESS, HXSIM_SetRegister(0, SCRATCH_REGISTER, 0x12345678, 4));
    CHECK(PIO_In32(0, SCRATCH_REGISTER) == 0x12345678);
    CHECK_CODE(ERROR_SUCCESS, PIO_Out16(0, SCRATCH_REGISTER, 0xBEEF));
    CHECK_CODE(ERROR_SUCCESS, HXSIM_GetRegister(0, SCRATCH_REGISTER, 4, &value));
    CHECK(value == 0x1234BEEF);

    /* One read fails with 31; the next is answered again. The interface leaves the last error
     * the library set. */
    CHECK_CODE(ERROR_SUCCESS, HXSIM_FailRequests(0, REG_READ_CODE, HXSIM_FAIL_NOW, 31, 0, 1));
    CHECK(PIO_In32(0, SCRATCH_REGISTER) != 0x1234BEEF);
    CHECK(GetLastError() == 31);
    CHECK_CODE(ERROR_SUCCESS, HXSIM_ClearFailures(0));
    CHECK(GetLastError() == 31);
    CHECK(PIO_In32(0, SCRATCH_REGISTER) == 0x1234BEEF);

    /* Every read fails until the failures are cleared. */
    CHECK_CODE(ERROR_SUCCESS, HXSIM_FailRequests(0, REG_READ_CODE, HXSIM_FAIL_NOW, 1117, 0, -1));
    PIO_In32(0, SCRATCH_REGISTER);
    CHECK(GetLastError() == 1117);
    PIO_In32(0, SCRATCH_REGISTER);
    CHECK(GetLastError() == 1117);
    CHECK_CODE(ERROR_SUCCESS, HXSIM_ClearFailures(0));
    CHECK(PIO_In32(0, SCRATCH_REGISTER) == 0x1234BEEF);

    CHECK(PIO_PollForIRQ(0) != ERROR_SUCCESS);
    CHECK_CODE(ERROR_SUCCESS, HXSIM_RaiseInterrupt(0));
    CHECK_CODE(ERROR_SUCCESS, PIO_PollForIRQ(0));
}

static void ABlockShowsInTheStreamStatus(void) {
    HXSIM_STREAM_STATUS status;
    HXSIM_STREAM_STATUS part;

    CHECK_CODE(ERROR_SUCCESS, HXSIM_SetDmaPacing(0, HXSIM_PACING_FREE_RUNNING));
    CHECK_CODE(ERROR_SUCCESS, ADC_AcquireBlock(0, 0, 1000));
    CHECK_CODE(ERROR_SUCCESS, HXSIM_AwaitStreamStops(0, 1, 10000));
    CHECK_CODE(ERROR_SUCCESS, ADC_AcquireEnd(0, 0));

    memset(&status, 0, sizeof status);
    status.Size = sizeof status;
    CHECK_CODE(ERROR_SUCCESS, HXSIM_GetStreamStatus(0, &status));
    CHECK(status.Size == sizeof status);
    CHECK(!status.Running && status.Runs == 1 && status.Stops >= 1);
    /* Four whole 256-sample transfers at least; every completed transfer was full. */
    CHECK(status.Completed >= 4 && status.Delivered == status.Completed * 256);
    CHECK(status.Overruns == 0);

    /* A caller that knows the structure only up to Runs gets no more than that. */
    memset(&part, 0xAB, sizeof part);
    part.Size = offsetof(HXSIM_STREAM_STATUS, Runs) + sizeof part.Runs;
    CHECK_CODE(ERROR_SUCCESS, HXSIM_GetStreamStatus(0, &part));
    CHECK(part.Running == FALSE && part.Reserved == 0 && part.Runs == 1);
    CHECK(part.Stops == 0xABABABABABABABABull && part.Completed == 0xABABABABABABABABull);
    /* Not even a whole member fits: nothing is written. */
    memset(&part, 0xAB, sizeof part);
    part.Size = offsetof(HXSIM_STREAM_STATUS, Armed) + 2;
    CHECK_CODE(ERROR_SUCCESS, HXSIM_GetStreamStatus(0, &part));
    CHECK(part.Armed == (BOOL)0xABABABABu);
}

/* A result too big for the room given says how much it needs and stores nothing else. */
static void LogsTextsAndListsFillTheRoomGiven(void) {
    DWORD write = 0, length = 0, base = 0;
    UINT64 count = 0, bytes = 0, position = 0;
    HXSIM_REQUEST records[4];
    BYTE input[64];
    char text[40];
    HXSIM_BOARD_SETUP setup;

    CHECK_CODE(ERROR_SUCCESS, HXSIM_GetControlCode("IOCTL_REG_WRITE", &write));
    CHECK_CODE(ERROR_SUCCESS, HXSIM_GetControlCode("IOCTL_REG_READ", &base));
    CHECK(base == REG_READ_CODE);
    CHECK_CODE(ERROR_INVALID_PARAMETER, HXSIM_GetControlCode("IOCTL_NONE", &base));

    CHECK_CODE(ERROR_SUCCESS, HXSIM_ClearRequests(0));
    CHECK_CODE(ERROR_SUCCESS, PIO_Out32(0, SCRATCH_REGISTER, 7));
    CHECK_CODE(ERROR_MORE_DATA, HXSIM_GetRequests(0, NULL, 0, NULL, 0, &count, &bytes));
    CHECK(count == 1 && bytes == 8);
    records[0].ControlCode = 0;
    CHECK_CODE(ERROR_MORE_DATA, HXSIM_GetRequests(0, records, 4, input, 4, &count, &bytes));
    CHECK(records[0].ControlCode == 0);
    CHECK_CODE(ERROR_SUCCESS, HXSIM_GetRequests(0, records, 4, input, sizeof input, &count, &bytes));
    CHECK(count == 1 && records[0].ControlCode == write && records[0].IsRegister && records[0].InputBytes == 8);
    CHECK(records[0].Offset == SCRATCH_REGISTER && records[0].Width == 4 && records[0].Value == 7);
    CHECK(input[records[0].InputOffset + 4] == 7);

    CHECK_CODE(ERROR_MORE_DATA, HXSIM_GetBoardName(0, text, 4, &length));
    CHECK(length == strlen("HX-805C PCI multifunction board"));
    CHECK_CODE(ERROR_SUCCESS, HXSIM_GetBoardName(0, text, sizeof text, &length));
    CHECK(strcmp(text, "HX-805C PCI multifunction board") == 0);
    CHECK_CODE(ERROR_INVALID_INDEX, HXSIM_GetBarBase(0, 6, &base));

    CHECK_CODE(ERROR_INVALID_DATA, HXSIM_FindBadBoardListEntry("805C, zz ,80E8", text, sizeof text, &length));
    CHECK(length == 2 && strcmp(text, "zz") == 0);
    CHECK_CODE(ERROR_SUCCESS, HXSIM_FindBadBoardListEntry("805C,80E8:fw=00010002", text, sizeof text, &length));
    CHECK(length == 0);

    /* A setup record of an unknown size adds no board. */
    memset(&setup, 0, sizeof setup);
    setup.Size = sizeof setup - 1;
    setup.DeviceId = 0x805C;
    CHECK_CODE(ERROR_SUCCESS, HXSIM_GetBoardCount(&count));
    CHECK_CODE(ERROR_INVALID_PARAMETER, HXSIM_AddBoardEx(&setup, &position));
    CHECK_CODE(ERROR_SUCCESS, HXSIM_GetBoardCount(&bytes));
    CHECK(count == bytes);

    CHECK_CODE(ERROR_NOT_FOUND, HXSIM_CompleteDmaRequest(0, input, 4));
}

static void RefusalsChangeNothing(void) {
    DWORD kind = 99;
    double volts = 0.0;
    UINT64 before = 0, after = 0;
    HXSIM_STREAM_STATUS status;

    CHECK_CODE(ERROR_INVALID_INDEX, HXSIM_SetInputSource(2, 0, 0, HXSIM_SOURCE_CONSTANT, 1.0, 0.0, 0.0, 0));
    CHECK_CODE(ERROR_INVALID_INDEX, HXSIM_SetInputSource(0, 2, 0, HXSIM_SOURCE_CONSTANT, 1.0, 0.0, 0.0, 0));
    CHECK_CODE(ERROR_INVALID_INDEX, HXSIM_SetInputSource(0, 0, 8, HXSIM_SOURCE_CONSTANT, 1.0, 0.0, 0.0, 0));
    CHECK_CODE(ERROR_INVALID_PARAMETER, HXSIM_SetInputSource(0, 0, 3, 6, 1.0, 0.0, 0.0, 0));
    CHECK_CODE(ERROR_INVALID_PARAMETER, HXSIM_SetInputSource(0, 0, 3, HXSIM_SOURCE_LOOPBACK, 0.0, 0.0, 0.0, 4));
    CHECK_CODE(ERROR_INVALID_PARAMETER, HXSIM_SetInputSource(0, 0, 3, HXSIM_SOURCE_SINE, NAN, 1.0, 50.0, 0));
    CHECK_CODE(ERROR_SUCCESS, HXSIM_GetInputSource(0, 0, 3, &kind, &volts, NULL, NULL, NULL));
    CHECK(kind == HXSIM_SOURCE_CONSTANT && Near(volts, 1.25));
    CHECK_CODE(ERROR_INVALID_PARAMETER, HXSIM_SetCommandSpacing(1, NAN));
    CHECK_CODE(ERROR_INVALID_PARAMETER, HXSIM_SetCommandSpacing(1, -1.0));
    CHECK_CODE(ERROR_INVALID_PARAMETER, HXSIM_SetCommandSpacing(1, 1e300));

    CHECK_CODE(ERROR_INVALID_ADDRESS, HXSIM_GetRegister(0, SCRATCH_REGISTER, 4, NULL));
    CHECK_CODE(ERROR_INVALID_PARAMETER, HXSIM_SetRegister(0, 4094, 0, 4));
    CHECK_CODE(ERROR_INVALID_PARAMETER, HXSIM_SetRegister(0, SCRATCH_REGISTER, 0, 3));
    CHECK_CODE(ERROR_INVALID_INDEX, HXSIM_GetAnalogOutput(0, 4, NULL, NULL, NULL));
    CHECK_CODE(ERROR_INVALID_INDEX, HXSIM_RaiseInterrupt(7));
    CHECK_CODE(ERROR_INVALID_PARAMETER, HXSIM_FailRequests(0, REG_READ_CODE, 3, 31, 0, 1));
    CHECK_CODE(ERROR_INVALID_PARAMETER, HXSIM_FailRequests(0, REG_READ_CODE, HXSIM_FAIL_NOW, 31, 0, -2));
    CHECK_CODE(ERROR_INVALID_PARAMETER, HXSIM_SetDmaPacing(0, 2));
    CHECK_CODE(ERROR_INVALID_ADDRESS, HXSIM_GetStreamStatus(0, NULL));
    status.Size = 2;
    CHECK_CODE(ERROR_INVALID_PARAMETER, HXSIM_GetStreamStatus(0, &status));
    CHECK_CODE(ERROR_INVALID_ADDRESS, HXSIM_GetBoardCount(NULL));
    CHECK_CODE(WAIT_TIMEOUT, HXSIM_AwaitStreamStops(0, 1000, 0));

    /* A position that cannot be stored adds no board. */
    CHECK_CODE(ERROR_SUCCESS, HXSIM_GetBoardCount(&before));
    CHECK_CODE(ERROR_INVALID_ADDRESS, HXSIM_AddBoard(0x805C, 0, 0, 0, (UINT64 *)(ULONG_PTR)8));
    CHECK_CODE(ERROR_SUCCESS, HXSIM_GetBoardCount(&after));
    CHECK(before == after);
}

int main(void) {
    BuildBus();
    if (failures == 0) {
        SourcesReadBackThroughTheLibrary();
        RegistersFailuresAndTheInterrupt();
        LogsTextsAndListsFillTheRoomGiven();
        ABlockShowsInTheStreamStatus();
        RefusalsChangeNothing();
    }
    CHECK_CODE(ERROR_SUCCESS, HXSIM_LibraryDetach());
    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    printf("sim C interface: all checks passed\n");
    return 0;
}
