// The extension entries that stand apart from any board: the version, the meaning of codes,
// and the boards' facts a program must not copy (chunk limits, ranges).
#include <halvex/halvex.h>
#include <halvex/version.h>

#include <algorithm>
#include <iterator>

#include "board/Ranges.h"
#include "core/CallFrame.h"
#include "platform/Guard.h"

namespace {

using namespace halvex;

struct TCodeText {
    DWORD code;
    const char* name;
    const char* text;
};

// Every code the library returns of its own, and the driver's and the system's that it passes on
// most often. Sorted by code.
constexpr TCodeText kCodes[] = {
    {0, "ERROR_SUCCESS", "done"},
    {1, "ERROR_INVALID_FUNCTION", "the driver does not know the request"},
    {2, "ERROR_FILE_NOT_FOUND", "the device or value does not exist"},
    {5, "ERROR_ACCESS_DENIED", "access to the device was denied"},
    {6, "ERROR_INVALID_HANDLE", "no usable device handle (in a forked child the boards belong to the parent)"},
    {8, "ERROR_NOT_ENOUGH_MEMORY", "not enough memory"},
    {12, "ERROR_INVALID_ACCESS", "the result cannot be stored where the pointer points"},
    {13, "ERROR_INVALID_DATA", "a value is out of range, or the board's transfer size is unusable"},
    {21, "ERROR_NOT_READY", "no acquisition on this sequencer"},
    {30, "ERROR_READ_FAULT", "the board's FIFO held fewer samples than the scan needs"},
    {31, "ERROR_GEN_FAILURE", "the driver or device failed without saying why"},
    {38, "ERROR_HANDLE_EOF", "no data waits"},
    {50, "ERROR_NOT_SUPPORTED", "not provided by this library or board"},
    {66, "ERROR_BAD_DEV_TYPE", "this board cannot do that: it cannot stream (16-bit start/stop registers), or has no such sequencer"},
    {67, "ERROR_BAD_NET_NAME", "the board-finder list is missing"},
    {87, "ERROR_INVALID_PARAMETER", "an argument is not valid"},
    {122, "ERROR_INSUFFICIENT_BUFFER", "the buffer is too small"},
    {170, "ERROR_BUSY", "the sequencer is acquiring"},
    {232, "ERROR_NO_DATA", "no chunk is being delivered here: call it from inside the callback"},
    {234, "ERROR_MORE_DATA", "more data is available than the buffer holds"},
    {259, "ERROR_NO_MORE_ITEMS", "no more items"},
    {487, "ERROR_INVALID_ADDRESS", "a pointer argument is null or cannot be used"},
    {574, "ERROR_UNHANDLED_EXCEPTION", "a fault inside one of the library's threads ended the acquisition"},
    {995, "ERROR_OPERATION_ABORTED", "the request was aborted or cancelled"},
    {996, "ERROR_IO_INCOMPLETE", "the overlapped request has not completed yet"},
    {997, "ERROR_IO_PENDING", "the overlapped request is in progress"},
    {998, "ERROR_NOACCESS", "the buffer or OVERLAPPED cannot be written"},
    {1167, "ERROR_DEVICE_NOT_CONNECTED", "the device is not connected"},
    {1168, "ERROR_NOT_FOUND", "no such request is pending"},
    {1349, "ERROR_BAD_TOKEN_TYPE", "the board's register layout is unknown"},
    {1359, "ERROR_INTERNAL_ERROR", "the library failed inside (out of resources, or a fault it contained)"},
    {1413, "ERROR_INVALID_INDEX", "no such board, sequencer or channel"},
    {1426, "ERROR_INVALID_HOOK_FILTER", "unknown callback type"},
    {1427, "ERROR_INVALID_FILTER_PROC", "the acquisition delivers to a callback, not to the final pool"},
    {1460, "ERROR_TIMEOUT", "the wait timed out"},
};

static_assert(std::is_sorted(std::begin(kCodes), std::end(kCodes),
                             [](const TCodeText& a, const TCodeText& b) { return a.code < b.code; }));

constexpr TCodeText kUnknown = {0, "UNKNOWN", "not a code this library knows (it may come from the driver)"};

const TCodeText& Find(DWORD code) {
    const auto it = std::lower_bound(std::begin(kCodes), std::end(kCodes), code,
                                     [](const TCodeText& entry, DWORD c) { return entry.code < c; });
    return it != std::end(kCodes) && it->code == code ? *it : kUnknown;
}

}  // namespace

extern "C" {

HALVEX_API DWORD WINAPI HX_GetVersion(void) {
    return HALVEX_VERSION_MAJOR << 16 | HALVEX_VERSION_MINOR << 8 | HALVEX_VERSION_PATCH;
}

HALVEX_API const char* WINAPI HX_ErrorName(DWORD Code) { return Find(Code).name; }

HALVEX_API const char* WINAPI HX_ErrorText(DWORD Code) { return Find(Code).text; }

HALVEX_API DWORD WINAPI HX_GetChunkLimits(DWORD* pMinBytes, DWORD* pMaxBytes) {
    return ExportBoundary([&]() -> DWORD {
        if (pMinBytes != nullptr && !platform::GuardedStoreValue<DWORD>(pMinBytes, HX_CHUNK_BYTES_MIN))
            return ERROR_INVALID_ADDRESS;
        if (pMaxBytes != nullptr && !platform::GuardedStoreValue<DWORD>(pMaxBytes, HX_CHUNK_BYTES_MAX))
            return ERROR_INVALID_ADDRESS;
        return ERROR_SUCCESS;
    });
}

HALVEX_API DWORD WINAPI HX_GetRangeInfo(DWORD Kind, DWORD RangeCode, HX_RANGE_INFO* pInfo) {
    return ExportBoundary([&]() -> DWORD {
        return AnswerSizedRecord(pInfo, [&](HX_RANGE_INFO& info) -> DWORD {
            if (Kind == HX_RANGE_INPUT) {
                for (const board::TInputRange& range : board::kInputRanges) {
                    if (RangeCode != range.Code && RangeCode != range.Tag) continue;
                    info.Code = range.Code;
                    info.Tag = range.Tag;
                    info.FullScaleCounts = board::kFullScaleCounts;
                    info.Low = -range.HalfSpan;
                    info.High = range.HalfSpan;
                    info.VoltsPerCount = range.VoltsPerCount;
                    return ERROR_SUCCESS;
                }
            } else if (Kind == HX_RANGE_OUTPUT) {
                for (DWORD code = 0; code < board::kOutputRangeCount; ++code) {
                    const board::TOutputRange& range = board::kOutputRanges[code];
                    if (RangeCode != code && RangeCode != range.Tag) continue;
                    info.Code = code;
                    info.Tag = range.Tag;
                    info.Low = board::OutputRangeLow(range);
                    info.High = board::OutputRangeHigh(range);
                    info.VoltsPerCount = range.Span / board::kOutputCountsPerSpan;
                    return ERROR_SUCCESS;
                }
            }
            return ERROR_INVALID_PARAMETER;
        });
    });
}

}  // extern "C"
