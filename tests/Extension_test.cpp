// The extension entries: a run's status and its end, callbacks with a context, the chunk size,
// the version and the meaning of codes.
#include <halvex/version.h>

#include <atomic>
#include <cstring>
#include <map>
#include <string>

#include "StreamFixture.h"

namespace {

using halvex::sim::FailKind;
using halvex::sim::Failure;

constexpr DWORD kForever = 0xFFFFFFFF;

struct CallContext {
    std::atomic<int> calls{0};
    std::atomic<bool> wrongContext{false};
    std::atomic<uint64_t> samples{0};
    // HX_AcquireWait from inside the callback, without and with finite time-outs.
    std::atomic<DWORD> waitFromInside{0}, waitZeroFromInside{0}, waitShortFromInside{0};
    bool waitInside = false;
};

void WINAPI CountVolts(void* context, UINT64, DWORD iSequencer, DWORD DataCt, double*, WORD*, WORD*) {
    auto* c = static_cast<CallContext*>(context);
    if (iSequencer != 0) c->wrongContext = true;
    c->samples += DataCt;
    // Waiting for its own run's end from inside the callback could only deadlock.
    if (c->waitInside && c->calls == 0) {
        c->waitFromInside = HX_AcquireWait(0, 0, kForever);
        c->waitZeroFromInside = HX_AcquireWait(0, 0, 0);
        c->waitShortFromInside = HX_AcquireWait(0, 0, 50);
    }
    ++c->calls;
}

void WINAPI CheckRaw(void* context, UINT64, DWORD, DWORD DataCt, DWORD* pData) {
    auto* c = static_cast<CallContext*>(context);
    for (DWORD i = 0; i < DataCt; ++i) {
        const uint64_t index = c->samples + i;
        if ((pData[i] & 0xFFFF) != (index & 0xFFFF)) c->wrongContext = true;
    }
    c->samples += DataCt;
    ++c->calls;
}

// A record from a program built against a newer, longer header: the library answers with its own
// size and writes nothing past its own record.
template <typename Record, typename Fill>
void ExpectLargerRecordGetsItsOwnSize(Fill fill) {
    unsigned char larger[sizeof(Record) + 16];
    std::memset(larger, 0xAB, sizeof larger);
    const DWORD largerSize = sizeof larger;
    std::memcpy(larger, &largerSize, sizeof largerSize);
    ASSERT_EQ(fill(reinterpret_cast<Record*>(larger)), 0u);
    DWORD filled = 0;
    std::memcpy(&filled, larger, sizeof filled);
    EXPECT_EQ(filled, sizeof(Record));
    for (std::size_t i = sizeof(Record); i < sizeof larger; ++i)
        EXPECT_EQ(larger[i], 0xAB) << "byte " << i << " past the record was written";
}

}  // namespace

// The run the status and the wait describe: its end is the block's completion, a failure or
// ADC_AcquireEnd, and the wait also covers the callback's last return.
class ExtensionTest : public StreamTest {};

TEST_F(ExtensionTest, ABlockWithAContextCallbackIsWaitedForAndReportedWhole) {
    CallContext context;
    ASSERT_EQ(HX_SetChunkSize(kStreamBoard, 0, 1024), 0u);
    ASSERT_EQ(HX_SetCallbackContext(kStreamBoard, 0, ADC_CALLBACK_VOLTS, reinterpret_cast<void*>(&CountVolts),
                                    &context),
              0u);
    EXPECT_EQ(HX_AcquireWait(kStreamBoard, 0, 0), static_cast<DWORD>(ERROR_NOT_READY));
    ASSERT_EQ(ADC_AcquireBlock(kStreamBoard, 0, 1000), 0u);
    ASSERT_EQ(HX_AcquireWait(kStreamBoard, 0, 20000), 0u);
    // After the wait the callback has returned from every chunk of the run.
    EXPECT_EQ(context.calls.load(), 4);
    EXPECT_EQ(context.samples.load(), 1024u);
    EXPECT_FALSE(context.wrongContext.load());

    HX_ACQUIRE_STATUS status = Status();
    EXPECT_EQ(status.Size, sizeof status);
    EXPECT_EQ(status.Exists, 1u);
    EXPECT_EQ(status.RunEnded, 1u);
    EXPECT_EQ(status.BytesPerChunk, 1024u);
    EXPECT_EQ(status.ChunksDelivered, 4u);
    EXPECT_EQ(status.SamplesDelivered, 1024u);
    EXPECT_EQ(status.ChunksQueued, 0u);
    EXPECT_EQ(status.ChunksPooled, 0u);
    EXPECT_EQ(status.FailedTransfers, 0u);

    // The counters outlive the acquisition, until the next start.
    ASSERT_EQ(ADC_AcquireEnd(kStreamBoard, 0), 0u);
    status = Status();
    EXPECT_EQ(status.Exists, 0u);
    EXPECT_EQ(status.ChunksDelivered, 4u);
    EXPECT_EQ(HX_AcquireWait(kStreamBoard, 0, 0), 0u);

    // The classic entry replaces the context callback.
    ASSERT_EQ(SetCallback(ADC_CALLBACK_RAW), 0u);
    ASSERT_EQ(ADC_AcquireBlock(kStreamBoard, 0, 1), 0u);
    ASSERT_EQ(HX_AcquireWait(kStreamBoard, 0, 20000), 0u);
    EXPECT_EQ(recorder_.Count(), 1u);
    EXPECT_EQ(context.calls.load(), 4);
    EXPECT_EQ(Status().ChunksDelivered, 1u);
}

TEST_F(ExtensionTest, AStreamEndsOnlyWhenEndedAndItsCallbackCannotWaitForItself) {
    CallContext context;
    context.waitInside = true;
    ASSERT_EQ(HX_SetCallbackContext(kStreamBoard, 0, ADC_CALLBACK_VOLTS, reinterpret_cast<void*>(&CountVolts),
                                    &context),
              0u);
    ASSERT_EQ(ADC_AcquireStream(kStreamBoard, 0), 0u);
    EXPECT_EQ(HX_AcquireWait(kStreamBoard, 0, 50), static_cast<DWORD>(ERROR_TIMEOUT));
    EXPECT_EQ(Status().RunEnded, 0u);
    ASSERT_EQ(ADC_AcquireEnd(kStreamBoard, 0), 0u);
    ASSERT_EQ(HX_AcquireWait(kStreamBoard, 0, 20000), 0u);
    const HX_ACQUIRE_STATUS status = Status();
    EXPECT_EQ(status.RunEnded, 1u);
    EXPECT_EQ(status.FailedTransfers, 0u) << "an ended stream is not a failure";
    EXPECT_EQ(status.ChunksDelivered, static_cast<uint64_t>(context.calls.load()));
    EXPECT_GT(context.calls.load(), 0);
    EXPECT_EQ(context.waitFromInside.load(), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_EQ(context.waitZeroFromInside.load(), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_EQ(context.waitShortFromInside.load(), static_cast<DWORD>(ERROR_BUSY));
}

TEST_F(ExtensionTest, AFailedTransferEndsTheRunAndIsReported) {
    CallContext context;
    ASSERT_EQ(HX_SetCallbackContext(kStreamBoard, 0, ADC_CALLBACK_RAW, reinterpret_cast<void*>(&CheckRaw), &context),
              0u);
    halvex::sim::FailRequests(kStreamBoard, halvex::sim::kIoctlDmaPiongIn, Failure{FailKind::Now, 23, 0, 1});
    ASSERT_EQ(ADC_AcquireStream(kStreamBoard, 0), 0u);
    ASSERT_EQ(HX_AcquireWait(kStreamBoard, 0, 20000), 0u);
    HX_ACQUIRE_STATUS status = Status();
    EXPECT_EQ(status.Exists, 1u);
    EXPECT_EQ(status.RunEnded, 1u);
    EXPECT_EQ(status.FailedTransfers, 1u);
    EXPECT_EQ(status.LastFailure, 23u);
    EXPECT_EQ(ADC_AcquireEnd(kStreamBoard, 0), 0u);
    EXPECT_EQ(Status().LastFailure, 23u);
}

TEST_F(ExtensionTest, WithoutACallbackChunksArePooledAndCounted) {
    ASSERT_EQ(ADC_AcquireBlock(kStreamBoard, 0, 1000), 0u);
    ASSERT_EQ(HX_AcquireWait(kStreamBoard, 0, 20000), 0u);
    HX_ACQUIRE_STATUS status = Status();
    EXPECT_EQ(status.ChunksPooled, 4u);
    EXPECT_EQ(status.ChunksDelivered, 4u);
    ASSERT_EQ(ADC_ClearData(kStreamBoard, 0), 0u);
    EXPECT_EQ(Status().ChunksPooled, 0u);
}

TEST_F(ExtensionTest, TheStatusRecordIsSizePrefixedAndGuarded) {
    HX_ACQUIRE_STATUS status;
    std::memset(&status, 0xAB, sizeof status);
    status.Size = 8;
    ASSERT_EQ(HX_AcquireStatus(kStreamBoard, 0, &status), 0u);
    EXPECT_EQ(status.Size, 8u);
    EXPECT_EQ(status.Exists, 0u);
    EXPECT_EQ(status.RunEnded, 0xABABABABu) << "a field beyond Size was written";

    ExpectLargerRecordGetsItsOwnSize<HX_ACQUIRE_STATUS>([](auto* p) { return HX_AcquireStatus(kStreamBoard, 0, p); });

    status.Size = 4;
    EXPECT_EQ(HX_AcquireStatus(kStreamBoard, 0, &status), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(HX_AcquireStatus(kStreamBoard, 0, nullptr), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
    status.Size = sizeof status;
    EXPECT_EQ(HX_AcquireStatus(3, 0, &status), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(HX_AcquireStatus(kStreamBoard, 2, &status), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(HX_AcquireWait(kStreamBoard, 2, 0), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(HX_SetCallbackContext(kStreamBoard, 0, 7, reinterpret_cast<void*>(&CountVolts), nullptr),
              static_cast<DWORD>(ERROR_INVALID_HOOK_FILTER));
}

// Every board the fixture put on the bus: what start-up found is what the exports act on.
TEST_F(ExtensionTest, BoardInfoTellsLayoutStreamingAndScanRows) {
    struct Expected {
        DWORD layout, canStream, rows;
    };
    const std::map<DWORD, Expected> byId = {{0x1100, {1, 0, 2}}, {0x805C, {2, 1, 1}}, {0x80E8, {3, 1, 2}}};
    for (INT64 b = 0; b <= BRD_GetHighestBoardIndex(); ++b) {
        HX_BOARD_INFO info{};
        info.Size = sizeof info;
        ASSERT_EQ(HX_GetBoardInfo(b, &info), 0u) << b;
        EXPECT_EQ(info.Size, sizeof info);
        DWORD id = 0;
        ASSERT_EQ(BRD_GetDeviceID(b, &id), 0u);
        EXPECT_EQ(info.DeviceID, id);
        ASSERT_TRUE(byId.contains(id)) << std::hex << id;
        const Expected& expected = byId.at(id);
        EXPECT_EQ(info.Layout, expected.layout) << b;
        EXPECT_EQ(info.CanStream, expected.canStream) << b;
        EXPECT_EQ(info.ScanRows, expected.rows) << b;
        EXPECT_EQ(info.BaseClock, 40'000'000u) << b;
        // The streaming flag agrees with what the transfer-size entry answers.
        EXPECT_EQ(HX_SetChunkSize(b, 0, 4096) == ERROR_BAD_DEV_TYPE, info.CanStream == 0) << b;
    }
    HX_BOARD_INFO info;
    std::memset(&info, 0xAB, sizeof info);
    info.Size = 8;
    ASSERT_EQ(HX_GetBoardInfo(kStreamBoard, &info), 0u);
    EXPECT_NE(info.DeviceID, 0xABABABABu);
    EXPECT_EQ(info.Layout, 0xABABABABu) << "a field beyond Size was written";
    ExpectLargerRecordGetsItsOwnSize<HX_BOARD_INFO>([](auto* p) { return HX_GetBoardInfo(kStreamBoard, p); });
    info.Size = 7;
    EXPECT_EQ(HX_GetBoardInfo(kStreamBoard, &info), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(HX_GetBoardInfo(kStreamBoard, nullptr), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
    EXPECT_EQ(HX_GetBoardInfo(BRD_GetHighestBoardIndex() + 1, &info), static_cast<DWORD>(ERROR_INVALID_INDEX));
}

TEST_F(ExtensionTest, TheChunkSizeIsCheckedAndWrittenToTheTransferRegister) {
    for (DWORD bytes : {0u, 2u, 6u, (64u << 20) + 4})
        EXPECT_EQ(HX_SetChunkSize(kStreamBoard, 0, bytes), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << bytes;
    EXPECT_EQ(HX_SetChunkSize(kStreamBoard, 1, 4096), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(HX_SetChunkSize(kLayout1Board, 0, 4096), static_cast<DWORD>(ERROR_BAD_DEV_TYPE));
    EXPECT_EQ(HX_SetChunkSize(kStreamBoard, 0, 64u << 20), 0u);
    EXPECT_EQ(halvex::sim::GetRegister(kStreamBoard, 32), 64u << 20);
    ASSERT_EQ(HX_SetChunkSize(kStreamBoard, 0, 4096), 0u);
    ASSERT_EQ(ADC_AcquireStream(kStreamBoard, 0), 0u);
    EXPECT_EQ(HX_SetChunkSize(kStreamBoard, 0, 8192), static_cast<DWORD>(ERROR_BUSY));
    ASSERT_EQ(ADC_AcquireEnd(kStreamBoard, 0), 0u);
    EXPECT_EQ(Status().BytesPerChunk, 4096u);
}

// What HX_GetRangeInfo says of a range is what the boards and the library do on it: an input
// converts High to FullScaleCounts, an output spans 65536 counts of VoltsPerCount from Low.
TEST_F(ExtensionTest, RangesAreDescribedAsTheBoardsConvertOnThem) {
    const auto info = [](DWORD kind, DWORD code, HX_RANGE_INFO& out) {
        out = {};
        out.Size = sizeof out;
        return HX_GetRangeInfo(kind, code, &out);
    };
    HX_RANGE_INFO range, byTag;
    int inputs = 0;
    for (DWORD code = 0; code < 9; ++code) {
        if (code == 6 || code == 8) {
            EXPECT_EQ(info(HX_RANGE_INPUT, code, range), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << code;
            continue;
        }
        ASSERT_EQ(info(HX_RANGE_INPUT, code, range), 0u) << code;
        ++inputs;
        EXPECT_EQ(range.Code, code);
        EXPECT_EQ(range.Low, -range.High);
        EXPECT_EQ(range.VoltsPerCount * range.FullScaleCounts, range.High) << code;
        EXPECT_EQ(halvex::sim::PackedConversion(range.High, code, 0) & 0xFFFF, range.FullScaleCounts) << code;
        ASSERT_EQ(info(HX_RANGE_INPUT, range.Tag, byTag), 0u);
        EXPECT_EQ(byTag.Code, code);
        // The library reads a sample on this range with the same scale.
        halvex::sim::SetInputSource(kStreamBoard, 0, 0, {halvex::sim::InputSourceKind::Constant, range.High / 2});
        double volts = 0.0;
        ASSERT_EQ(ADC_GetImmediateV(kStreamBoard, 0, &volts, 0, code), 0u);
        EXPECT_NEAR(volts, range.High / 2, range.VoltsPerCount) << code;
    }
    EXPECT_EQ(inputs, 7);

    for (DWORD code = 0; code < 5; ++code) {
        ASSERT_EQ(info(HX_RANGE_OUTPUT, code, range), 0u) << code;
        EXPECT_EQ(range.FullScaleCounts, 0u);
        ASSERT_EQ(info(HX_RANGE_OUTPUT, range.Tag, byTag), 0u);
        EXPECT_EQ(byTag.Code, code);
        ASSERT_EQ(DAC_SetRange1(kStreamBoard, 1, code), 0u);
        ASSERT_EQ(DAC_OutputV(kStreamBoard, 1, range.Low), 0u);
        EXPECT_EQ(halvex::sim::AnalogOutputCounts(kStreamBoard, 1), 0u) << code;
        ASSERT_EQ(DAC_OutputV(kStreamBoard, 1, range.High - range.VoltsPerCount), 0u);
        EXPECT_EQ(halvex::sim::AnalogOutputCounts(kStreamBoard, 1), 0xFFFFu) << code;
        EXPECT_EQ(halvex::sim::AnalogOutputVolts(kStreamBoard, 1), range.High - range.VoltsPerCount) << code;
    }
    EXPECT_EQ(info(HX_RANGE_OUTPUT, 5, range), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(info(2, 0, range), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ExpectLargerRecordGetsItsOwnSize<HX_RANGE_INFO>([](auto* p) { return HX_GetRangeInfo(HX_RANGE_INPUT, 0, p); });
    range.Size = 7;
    EXPECT_EQ(HX_GetRangeInfo(HX_RANGE_INPUT, 0, &range), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(HX_GetRangeInfo(HX_RANGE_INPUT, 0, nullptr), static_cast<DWORD>(ERROR_INVALID_ADDRESS));

    DWORD least = 0, most = 0;
    ASSERT_EQ(HX_GetChunkLimits(&least, &most), 0u);
    EXPECT_EQ(least, HX_CHUNK_BYTES_MIN);
    EXPECT_EQ(most, HX_CHUNK_BYTES_MAX);
    EXPECT_EQ(HX_SetChunkSize(kStreamBoard, 0, most), 0u);
    EXPECT_EQ(HX_SetChunkSize(kStreamBoard, 0, most + 4), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Extensions, CodesHaveNamesAndTextsAndTheVersionIsTheHeaders) {
    EXPECT_EQ(HX_GetVersion(), static_cast<DWORD>(HALVEX_VERSION));
    EXPECT_STREQ(HX_ErrorName(170), "ERROR_BUSY");
    EXPECT_STREQ(HX_ErrorName(0), "ERROR_SUCCESS");
    EXPECT_STREQ(HX_ErrorName(1460), "ERROR_TIMEOUT");
    EXPECT_STREQ(HX_ErrorName(0xDEADBEEF), "UNKNOWN");
    for (DWORD code : {0u, 6u, 13u, 21u, 66u, 87u, 170u, 487u, 995u, 1359u, 1413u, 1427u, 0xDEADBEEFu})
        EXPECT_GE(std::strlen(HX_ErrorText(code)), 4u) << code;
}
