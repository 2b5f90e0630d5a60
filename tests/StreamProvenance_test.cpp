// Where each chunk came from: short transfers deliver only what arrived, the chunk information
// numbers and places every chunk, and a block counts samples, not chunks.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "StreamFixture.h"

namespace {

using halvex::sim::FailKind;
using halvex::sim::Failure;

// One callback call: the words it received and what HX_GetChunkInfo said of them.
struct Chunk {
    std::vector<uint32_t> words;
    DWORD infoResult = 0;
    HX_CHUNK_INFO info{};
    DWORD otherSequencer = 0;  // HX_GetChunkInfo for sequencer 1 from inside the callback
};

struct Capture {
    std::mutex mutex;
    std::vector<Chunk> chunks;  // guarded by mutex
    // A 16-byte answer to a data request once this many chunks have arrived, then, once its
    // short chunk has arrived, an empty one.
    std::size_t shortAt = SIZE_MAX;

    std::vector<Chunk> Chunks() {
        std::lock_guard lock(mutex);
        return chunks;
    }
};

void WINAPI Record(void* context, UINT64 iBoard, DWORD iSequencer, DWORD DataCt, DWORD* pData) {
    auto* run = static_cast<Capture*>(context);
    Chunk chunk;
    chunk.words.assign(pData, pData + DataCt);
    chunk.info.Size = sizeof chunk.info;
    chunk.infoResult = HX_GetChunkInfo(iBoard, iSequencer, &chunk.info);
    HX_CHUNK_INFO other{};
    other.Size = sizeof other;
    chunk.otherSequencer = HX_GetChunkInfo(iBoard, 1, &other);
    const bool cut = (chunk.info.Flags & HX_CHUNK_SHORT) != 0;
    std::size_t count = 0;
    {
        std::lock_guard lock(run->mutex);
        run->chunks.push_back(std::move(chunk));
        count = run->chunks.size();
    }
    // One injection at a time: a second would replace the first before a request took it.
    if (count == run->shortAt)
        halvex::sim::FailRequests(iBoard, halvex::sim::kIoctlDmaPiongIn, Failure{FailKind::Short, 0, 16, 1});
    if (cut && run->shortAt != SIZE_MAX)
        halvex::sim::FailRequests(iBoard, halvex::sim::kIoctlDmaPiongIn, Failure{FailKind::Short, 0, 0, 1});
}

// The chunks form one unbroken run of the index source from sample 0: numbered without gaps,
// each starting where the one before ended, with no stale and no missing sample, in times
// that do not go backwards. Returns the samples seen.
uint64_t ExpectUnbroken(const std::vector<Chunk>& chunks, DWORD chunkBytes) {
    uint64_t next = 0;
    uint64_t lastCompleted = 0;
    for (std::size_t c = 0; c < chunks.size(); ++c) {
        const Chunk& chunk = chunks[c];
        const HX_CHUNK_INFO& info = chunk.info;
        EXPECT_EQ(chunk.infoResult, 0u) << "chunk " << c;
        EXPECT_EQ(chunk.otherSequencer, static_cast<DWORD>(ERROR_NO_DATA)) << "chunk " << c;
        EXPECT_EQ(info.Size, sizeof info);
        EXPECT_EQ(info.Sequence, c);
        EXPECT_EQ(info.FirstSample, next) << "chunk " << c;
        EXPECT_EQ(info.SampleCt, chunk.words.size()) << "chunk " << c;
        EXPECT_NE(info.SampleCt, 0u) << "a chunk with no sample was delivered";
        EXPECT_EQ((info.Flags & HX_CHUNK_SHORT) != 0, info.SampleCt * 4 < chunkBytes) << "chunk " << c;
        EXPECT_GE(info.CompletedNs, info.StartedNs);
        EXPECT_GE(info.CompletedNs, lastCompleted) << "chunk " << c;
        EXPECT_EQ(info.StartedNs, chunks[0].info.StartedNs);
        EXPECT_EQ(info.ConversionRateHz, 1e6);
        EXPECT_EQ(info.ChannelCt, 1u);
        EXPECT_EQ(info.SampleRateHz, 1e6);
        lastCompleted = info.CompletedNs;
        for (std::size_t i = 0; i < chunk.words.size(); ++i, ++next)
            if ((chunk.words[i] & 0xFFFF) != (next & 0xFFFF)) {
                ADD_FAILURE() << "chunk " << c << " word " << i << " is not sample " << next;
                return next;
            }
    }
    return next;
}

}  // namespace

class StreamProvenance : public OnEachStreamLayout<StreamTest> {
protected:
    static DWORD SetRecorder(Capture& run) {
        return HX_SetCallbackContext(kStreamBoard, 0, ADC_CALLBACK_RAW, reinterpret_cast<void*>(&Record), &run);
    }
};

TEST_P(StreamProvenance, ShortTransfersMidStreamDeliverExactlyWhatArrivedAndTheRunGoesOn) {
    Capture run;
    run.shortAt = 3;
    ASSERT_EQ(SetRecorder(run), 0u);
    ASSERT_EQ(ADC_AcquireStream(kStreamBoard, 0), 0u);
    // The empty transfer is asked for only once the short chunk has reached the callback.
    ASSERT_TRUE(AwaitTrue([&] { return Status().ShortTransfers == 2; })) << Status().ShortTransfers;
    ASSERT_TRUE(AwaitTrue([&] { return run.Chunks().size() >= 20; }));
    ASSERT_EQ(ADC_AcquireEnd(kStreamBoard, 0), 0u);
    ASSERT_EQ(HX_AcquireWait(kStreamBoard, 0, 20000), 0u);

    const std::vector<Chunk> chunks = run.Chunks();
    const uint64_t samples = ExpectUnbroken(chunks, kChunkBytes);
    const auto shortChunks = std::count_if(chunks.begin(), chunks.end(), [](const Chunk& c) {
        return (c.info.Flags & HX_CHUNK_SHORT) != 0;
    });
    EXPECT_EQ(shortChunks, 1) << "the 16-byte transfer is one short chunk; the empty one delivers nothing";
    for (const Chunk& chunk : chunks) {
        if ((chunk.info.Flags & HX_CHUNK_SHORT) != 0) {
            EXPECT_EQ(chunk.words.size(), 4u);
        }
    }
    const HX_ACQUIRE_STATUS status = Status();
    EXPECT_EQ(status.ShortTransfers, 2u);
    EXPECT_EQ(status.SamplesDelivered, samples);
    EXPECT_EQ(status.ChunksDelivered, chunks.size());
    EXPECT_EQ(status.FailedTransfers, 0u);
}

TEST_P(StreamProvenance, ABlockCountsTheSamplesDeliveredAndMarksItsLastChunk) {
    // The first transfer brings 4 samples, so 1000 samples take five chunks: 4 + 4 × 256.
    halvex::sim::FailRequests(kStreamBoard, halvex::sim::kIoctlDmaPiongIn, Failure{FailKind::Short, 0, 16, 1});
    Capture run;
    ASSERT_EQ(SetRecorder(run), 0u);
    ASSERT_EQ(ADC_AcquireBlock(kStreamBoard, 0, 1000), 0u);
    ASSERT_EQ(HX_AcquireWait(kStreamBoard, 0, 20000), 0u);
    const std::vector<Chunk> chunks = run.Chunks();
    ASSERT_EQ(chunks.size(), 5u);
    EXPECT_EQ(ExpectUnbroken(chunks, kChunkBytes), 1028u);
    for (std::size_t c = 0; c < chunks.size(); ++c)
        EXPECT_EQ((chunks[c].info.Flags & HX_CHUNK_LAST) != 0, c == 4) << "chunk " << c;
    EXPECT_EQ(Status().SamplesDelivered, 1028u);
    EXPECT_EQ(ADC_AcquireEnd(kStreamBoard, 0), 0u);

    // Without a callback the pooled chunks count what they hold, too.
    halvex::sim::FailRequests(kStreamBoard, halvex::sim::kIoctlDmaPiongIn, Failure{FailKind::Short, 0, 0, 1});
    ASSERT_EQ(ADC_SetCallback(kStreamBoard, 0, ADC_CALLBACK_NONE, nullptr), 0u);
    ASSERT_EQ(ADC_AcquireBlock(kStreamBoard, 0, 300), 0u);
    ASSERT_EQ(HX_AcquireWait(kStreamBoard, 0, 20000), 0u);
    const HX_ACQUIRE_STATUS pooled = Status();
    EXPECT_EQ(pooled.ChunksDelivered, 2u);
    EXPECT_EQ(pooled.SamplesDelivered, 512u);
    EXPECT_EQ(pooled.ShortTransfers, 1u);
    EXPECT_EQ(ADC_AcquireEnd(kStreamBoard, 0), 0u);
}

TEST_P(StreamProvenance, ChunkInformationIsGivenOnlyInsideACallbackAndOnlyAsFarAsItsSize) {
    HX_CHUNK_INFO info{};
    info.Size = sizeof info;
    EXPECT_EQ(HX_GetChunkInfo(kStreamBoard, 0, &info), static_cast<DWORD>(ERROR_NO_DATA));
    EXPECT_EQ(info.Sequence, 0u);
    EXPECT_EQ(HX_GetChunkInfo(kStreamBoard, 2, &info), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(HX_GetChunkInfo(kStreamBoard, 0, nullptr), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
    info.Size = 4;
    EXPECT_EQ(HX_GetChunkInfo(kStreamBoard, 0, &info), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // A record shorter than today's is filled only as far as its Size; a longer one gets today's.
    static struct {
        DWORD shortResult = 1, longResult = 1;
        HX_CHUNK_INFO shortInfo{};
        unsigned char longInfo[sizeof(HX_CHUNK_INFO) + 8]{};
    } seen;
    seen = {};
    auto callback = [](UINT64 b, DWORD s, DWORD, DWORD*) {
        if (seen.shortResult != 1) return;
        std::memset(&seen.shortInfo, 0xCD, sizeof seen.shortInfo);
        seen.shortInfo.Size = 16;
        seen.shortResult = HX_GetChunkInfo(b, s, &seen.shortInfo);
        std::memset(seen.longInfo, 0xCD, sizeof seen.longInfo);
        const DWORD longSize = sizeof seen.longInfo;
        std::memcpy(seen.longInfo, &longSize, sizeof longSize);
        seen.longResult = HX_GetChunkInfo(b, s, reinterpret_cast<HX_CHUNK_INFO*>(seen.longInfo));
    };
    ASSERT_EQ(ADC_SetCallback(kStreamBoard, 0, ADC_CALLBACK_RAW,
                              reinterpret_cast<void*>(static_cast<TPCallbackProcSRaw>(callback))),
              0u);
    ASSERT_EQ(ADC_AcquireBlock(kStreamBoard, 0, 1), 0u);
    ASSERT_EQ(HX_AcquireWait(kStreamBoard, 0, 20000), 0u);
    EXPECT_EQ(seen.shortResult, 0u);
    EXPECT_EQ(seen.shortInfo.Size, 16u);
    EXPECT_EQ(seen.shortInfo.Flags, static_cast<DWORD>(HX_CHUNK_LAST));
    EXPECT_EQ(seen.shortInfo.Sequence, 0u);
    EXPECT_EQ(seen.shortInfo.FirstSample, 0xCDCDCDCDCDCDCDCDu) << "written past the record's Size";
    EXPECT_EQ(seen.longResult, 0u);
    DWORD filled = 0;
    std::memcpy(&filled, seen.longInfo, sizeof filled);
    EXPECT_EQ(filled, sizeof(HX_CHUNK_INFO));
    EXPECT_TRUE(std::all_of(seen.longInfo + sizeof(HX_CHUNK_INFO), std::end(seen.longInfo),
                            [](unsigned char b) { return b == 0xCD; }))
        << "written past the library's record";
    EXPECT_EQ(ADC_AcquireEnd(kStreamBoard, 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(EachLayout, StreamProvenance, StreamLayouts(), StreamLayoutName);
