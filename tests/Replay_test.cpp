// Recording the driver port and replaying it in the simulated driver: a session on the simulated
// boards replays to the same results and samples; changes and damage are reported, never a
// fault or a hang.
#include <windows.h>

#include <gtest/gtest.h>
#include <halvex/halvex.h>
#include <halvex/sim.h>
#include <halvex/sim_c.h>

#include <atomic>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "LibraryFixture.h"
#include "lifecycle/Lifecycle.h"
#include "port/RecordingFormat.h"

namespace {

namespace rec = halvex::port::recording;
using halvex::IOCTL_DMA_PIONG_IN;
using halvex::IOCTL_REG_WRITE;
constexpr DWORD kIoDeviceError = 1117;  // ERROR_IO_DEVICE

constexpr UINT64 kStream = 0;  // 0x805C: streams
constexpr UINT64 kPlain = 1;   // 0x1100
constexpr DWORD kDivisorWriteRate = 1'000'000;

std::string TempPath(const char* name) {
    return ::testing::TempDir() + "halvex_replay_" + std::to_string(std::random_device{}()) + "_" + name;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

rec::Recording ParseOrFail(const std::vector<uint8_t>& bytes) {
    rec::Recording recording;
    rec::ReadError error;
    EXPECT_TRUE(rec::Parse(bytes.data(), bytes.size(), false, recording, error)) << error.Text();
    return recording;
}

std::vector<uint8_t> Encode(const rec::Recording& recording) {
    std::vector<uint8_t> bytes;
    rec::AppendHeader(bytes, recording.header);
    for (const auto& r : recording.records) rec::AppendRecord(bytes, r);
    return bytes;
}

// What one run of a session showed its caller: every export's result and every sample.
struct Transcript {
    std::vector<uint64_t> results;
    std::vector<std::vector<uint32_t>> chunks;
    void Add(uint64_t value) { results.push_back(value); }
};

std::mutex gChunksMutex;
Transcript* gTranscript = nullptr;

void WINAPI KeepChunk(UINT64, DWORD, DWORD count, DWORD* samples) {
    std::lock_guard lock(gChunksMutex);
    gTranscript->chunks.emplace_back(samples, samples + count);
}

HX_ACQUIRE_STATUS StatusOf(UINT64 board) {
    HX_ACQUIRE_STATUS status{};
    status.Size = sizeof status;
    HX_AcquireStatus(board, 0, &status);
    return status;
}

// A stream on the index source until `chunks` chunks arrived (or its run ended), then its end.
void Stream(Transcript& t, DWORD mode, DWORD samples, std::size_t chunks) {
    t.Add(ADC_SetCallback(kStream, 0, ADC_CALLBACK_RAW, reinterpret_cast<void*>(&KeepChunk)));
    t.Add(mode == 0 ? ADC_AcquireStream(kStream, 0) : ADC_AcquireBlock(kStream, 0, samples));
    for (int i = 0; i < 2000; ++i) {
        const HX_ACQUIRE_STATUS status = StatusOf(kStream);
        if (status.ChunksDelivered >= chunks || status.RunEnded) break;
        Sleep(5);
    }
    t.Add(ADC_AcquireEnd(kStream, 0));
    t.Add(HX_AcquireWait(kStream, 0, 20000));
    const HX_ACQUIRE_STATUS status = StatusOf(kStream);
    t.Add(status.ChunksDelivered);
    t.Add(status.SamplesDelivered);
    t.Add(status.FailedTransfers);
    t.Add(status.LastFailure);
    t.Add(status.ShortTransfers);
}

// The session: `live` on the simulated boards (which it also sets up and makes fail), else on
// a replay, which needs none of that.
void Session(Transcript& t, bool live) {
    gTranscript = &t;
    DWORD id = 0;
    t.Add(BRD_GetDeviceID(kStream, &id));
    t.Add(id);
    char name[128] = {};
    DWORD length = 0;
    t.Add(BRD_GetNameA(kStream, sizeof name, name, &length));
    DWORD bar = 0;
    t.Add(PIO_QueryBARBase(kStream, 0, &bar));
    t.Add(bar);
    // Configuration and immediate scans.
    t.Add(ADC_SetRate(kStream, 0, kDivisorWriteRate));
    t.Add(ADC_SetChannelCount(kStream, 0, 2));
    DWORD raw[16] = {};
    t.Add(ADC_GetImmediateScanRaw(kStream, raw, 1));
    for (DWORD v : raw) t.Add(v);
    double volts = 0;
    t.Add(ADC_GetImmediateV(kPlain, 0, &volts, 3, 1));
    t.Add(static_cast<uint64_t>(volts * 1e6));
    // Outputs, one of whose writes fails twice.
    t.Add(DAC_OutputV(kStream, 1, 2.5));
    if (live) HXSIM_FailRequests(kStream, IOCTL_REG_WRITE, HXSIM_FAIL_NOW, ERROR_GEN_FAILURE, 0, 2);
    t.Add(DAC_OutputCounts(kStream, 2, 0x1234));
    t.Add(DAC_OutputCounts(kStream, 2, 0x1235));
    t.Add(DAC_OutputCounts(kStream, 2, 0x1236));
    // An interrupt wait, satisfied.
    std::atomic<DWORD> irq{0xFFFFFFFF};
    std::thread waiter([&] { irq = PIO_WaitForIRQ(kStream); });
    if (live) {
        EXPECT_TRUE(halvex::sim::AwaitInterruptWaits(kStream, 1, 10000));
        HXSIM_RaiseInterrupt(kStream);
    }
    waiter.join();
    t.Add(irq.load());
    // A stream of a few seconds at the board's pace.
    if (live) {
        HXSIM_SetRegister(kStream, 32, 16384, 4);
        HXSIM_SetStreamIndexSource(kStream, TRUE);
        HXSIM_SetDmaPacing(kStream, HXSIM_PACING_REAL_TIME);
    }
    t.Add(ADC_SetRate(kStream, 0, 100000));
    Stream(t, 0, 0, 40);
    // A block whose second transfer comes short, then one whose transfer fails.
    if (live) {
        HXSIM_SetRegister(kStream, 32, 4096, 4);
        HXSIM_SetDmaPacing(kStream, HXSIM_PACING_FREE_RUNNING);
    }
    Stream(t, 1, 4096, 100);
    if (live) HXSIM_FailRequests(kStream, IOCTL_DMA_PIONG_IN, HXSIM_FAIL_SHORT, 0, 1000, 1);
    Stream(t, 1, 4096, 100);
    if (live) HXSIM_FailRequests(kStream, IOCTL_DMA_PIONG_IN, HXSIM_FAIL_NOW, kIoDeviceError, 0, 1);
    Stream(t, 1, 4096, 100);
    gTranscript = nullptr;
}

class Replay : public LibraryTest {
protected:
    static LPCWSTR LogKey() { return reinterpret_cast<LPCWSTR>(u"Software\\Orvande\\Halvex"); }

    // The diagnostic log's first lines (values "00000000", "00000001", ...), one per line, as ASCII.
    static std::string LoggedLines() {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, LogKey(), 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
        std::string lines;
        for (char16_t n = u'0'; n <= u'9'; ++n) {
            const char16_t name[9] = {u'0', u'0', u'0', u'0', u'0', u'0', u'0', n, 0};
            char16_t text[512] = {};
            DWORD size = sizeof text - sizeof(char16_t), type = 0;
            if (RegQueryValueExW(key, reinterpret_cast<LPCWSTR>(name), nullptr, &type, reinterpret_cast<BYTE*>(text),
                                 &size) != ERROR_SUCCESS || type != REG_SZ)
                break;
            for (const char16_t* c = text; *c != 0; ++c) lines.push_back(static_cast<char>(*c));
            lines.push_back('\n');
        }
        RegCloseKey(key);
        return lines;
    }

    // Records `body` run on the default boards into `path`.
    template <typename Body>
    static void Record(const std::string& path, Body&& body, DWORD dataBytes = HX_DRIVER_RECORDING_ALL_DATA) {
        halvex::sim::Reset();
        halvex::sim::AddBoard(Board(0x805C));
        halvex::sim::AddBoard(Board(0x1100));
        ASSERT_EQ(HX_StartDriverRecording(path.c_str(), dataBytes), 0u);
        HxTestLibraryStart();
        body();
        HxTestLibraryDetach();  // ends the recording
        halvex::sim::Reset();
    }

    // Replays `path` with the library started on it, as fast as it goes.
    static DWORD StartReplay(const std::string& path, DWORD stallMs = 0, DWORD flags = 0) {
        const DWORD result = HXSIM_Replay(path.c_str(), flags, stallMs);
        if (result == 0) HxTestLibraryStart();
        return result;
    }

    static HXSIM_REPLAY_STATUS Status() {
        HXSIM_REPLAY_STATUS status{};
        status.Size = sizeof status;
        EXPECT_EQ(HXSIM_GetReplayStatus(&status), 0u);
        return status;
    }
};

TEST_F(Replay, SessionReplaysToTheSameResultsAndSamples) {
    const std::string path = TempPath("session.hxrec");
    Transcript live;
    Record(path, [&] { Session(live, true); });
    ASSERT_EQ(live.results[0], 0u);
    ASSERT_GT(live.chunks.size(), 40u);

    ASSERT_EQ(StartReplay(path), 0u);
    Transcript replayed;
    Session(replayed, false);
    HxTestLibraryDetach();
    const HXSIM_REPLAY_STATUS status = Status();
    EXPECT_NE(status.State, DWORD{HXSIM_REPLAY_DIVERGED}) << status.Message;
    EXPECT_EQ(status.Left, 0u);
    EXPECT_EQ(replayed.results, live.results);
    EXPECT_EQ(replayed.chunks == live.chunks, true) << "the callbacks got other samples";
    // The two failed writes, the short and the failed transfer came back as recorded.
    std::remove(path.c_str());
}

TEST_F(Replay, ChangedConfigurationNamesTheRequestAndFailsIt) {
    const std::string path = TempPath("config.hxrec");
    Record(path, [] {
        ASSERT_EQ(ADC_SetRate(kStream, 0, kDivisorWriteRate), 0u);
        ASSERT_EQ(ADC_SetChannelCount(kStream, 0, 2), 0u);
    });
    ASSERT_EQ(StartReplay(path), 0u);
    EXPECT_EQ(ADC_SetRate(kStream, 0, kDivisorWriteRate / 2), DWORD{HXSIM_ERROR_REPLAY_DIVERGED});
    const HXSIM_REPLAY_STATUS status = Status();
    ASSERT_EQ(status.State, DWORD{HXSIM_REPLAY_DIVERGED});
    // The request named is the recording's write the changed call stood in for.
    const rec::Recording recording = ParseOrFail(ReadFile(path));
    const rec::Record* named = nullptr;
    for (const auto& r : recording.records)
        if (r.kind == rec::Kind::Call && r.request == status.Request) named = &r;
    ASSERT_NE(named, nullptr);
    EXPECT_EQ(named->code, IOCTL_REG_WRITE);
    EXPECT_NE(std::string(status.Expected).find("REG_WRITE"), std::string::npos) << status.Expected;
    EXPECT_NE(std::string(status.Got).find("REG_WRITE"), std::string::npos) << status.Got;
    EXPECT_NE(std::string(status.Message).find("#" + std::to_string(status.Request)), std::string::npos);
    // Everything after it fails the same way, at once.
    EXPECT_EQ(ADC_SetChannelCount(kStream, 0, 2), DWORD{HXSIM_ERROR_REPLAY_DIVERGED});
    // The library's diagnostic log says it too: its lines are written by the time unload returns.
    HxTestLibraryDetach();
    EXPECT_NE(LoggedLines().find("#" + std::to_string(status.Request)), std::string::npos) << LoggedLines();
    RegDeleteTreeW(HKEY_CURRENT_USER, LogKey());
    std::remove(path.c_str());
}

TEST_F(Replay, EditedAnswersScriptTheDriver) {
    // Two writes of one export answered with two different failures, by editing a recording.
    const std::string path = TempPath("edited.hxrec");
    Record(path, [] {
        ASSERT_EQ(DAC_OutputCounts(kStream, 0, 0x1000), 0u);
        ASSERT_EQ(DAC_OutputCounts(kStream, 0, 0x2000), 0u);
    });
    rec::Recording recording = ParseOrFail(ReadFile(path));
    std::vector<uint32_t> writes;
    for (const auto& r : recording.records)
        if (r.kind == rec::Kind::Call && r.code == IOCTL_REG_WRITE) writes.push_back(r.request);
    ASSERT_GE(writes.size(), 2u);
    const uint32_t failures[2] = {ERROR_GEN_FAILURE, kIoDeviceError};
    for (auto& r : recording.records) {
        for (int i = 0; i < 2; ++i) {
            if (r.kind == rec::Kind::Answer && r.request == writes[writes.size() - 2 + i]) {
                r.outcome = rec::Outcome::Failed;
                r.error = failures[i];
                r.bytes = 0;
                r.data.clear();
            }
        }
    }
    WriteFile(path, Encode(recording));
    ASSERT_EQ(StartReplay(path), 0u);
    EXPECT_EQ(DAC_OutputCounts(kStream, 0, 0x1000), DWORD{ERROR_GEN_FAILURE});
    EXPECT_EQ(DAC_OutputCounts(kStream, 0, 0x2000), DWORD{kIoDeviceError});
    std::remove(path.c_str());
}

TEST_F(Replay, KeptDataIsLimitedAndTheRestReplaysAsZeros) {
    const std::string path = TempPath("limited.hxrec");
    Transcript live;
    Record(
        path,
        [&] {
            HXSIM_SetRegister(kStream, 32, 4096, 4);
            HXSIM_SetDmaPacing(kStream, HXSIM_PACING_FREE_RUNNING);
            HXSIM_SetStreamIndexSource(kStream, TRUE);
            gTranscript = &live;
            Stream(live, 1, 2048, 100);
            gTranscript = nullptr;
        },
        64);
    for (const auto& r : ParseOrFail(ReadFile(path)).records) {
        if (r.kind == rec::Kind::Complete) {
            EXPECT_LE(r.data.size(), 64u);
        }
    }
    ASSERT_EQ(StartReplay(path), 0u);
    Transcript replayed;
    gTranscript = &replayed;
    Stream(replayed, 1, 2048, 100);
    gTranscript = nullptr;
    EXPECT_EQ(replayed.results, live.results);
    ASSERT_EQ(replayed.chunks.size(), live.chunks.size());
    for (std::size_t c = 0; c < live.chunks.size(); ++c) {
        ASSERT_EQ(replayed.chunks[c].size(), live.chunks[c].size());
        for (std::size_t i = 0; i < live.chunks[c].size(); ++i)
            EXPECT_EQ(replayed.chunks[c][i], i < 16 ? live.chunks[c][i] : 0u) << "chunk " << c << " sample " << i;
    }
    std::remove(path.c_str());
}

// The checksum at every length and split (eight bytes a step, the rest one at a time), and data
// taken straight from a transfer: kept as loaded, or kept empty when it cannot be read.
TEST(RecordingFormat, ChecksumAndDataTakenFromTheTransfer) {
    const std::string check = "123456789";
    EXPECT_EQ(rec::Crc32(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0xCBF43926u);
    std::vector<uint8_t> bytes(300);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 37 + 11);
    for (std::size_t size : {0u, 1u, 7u, 8u, 9u, 63u, 300u}) {
        uint32_t bitwise = ~0u;
        for (std::size_t i = 0; i < size; ++i) {
            bitwise ^= bytes[i];
            for (int k = 0; k < 8; ++k) bitwise = (bitwise & 1) ? 0xEDB88320u ^ (bitwise >> 1) : bitwise >> 1;
        }
        EXPECT_EQ(rec::Crc32(bytes.data(), size), ~bitwise) << size;
        EXPECT_EQ(rec::Crc32(bytes.data() + size / 3, size - size / 3, rec::Crc32(bytes.data(), size / 3)), ~bitwise);
    }
    rec::Recording recording;
    rec::Record open;
    open.kind = rec::Kind::Open;
    open.handle = 1;
    rec::Record call;
    call.kind = rec::Kind::Call;
    call.handle = 1;
    call.request = 1;
    call.outSize = 300;
    recording.records = {open, call, call};
    recording.records[2].request = 2;
    std::vector<uint8_t> file = Encode(recording);
    rec::Record answer;
    answer.kind = rec::Kind::Answer;
    answer.request = 1;
    answer.bytes = 300;
    answer.dataFrom = bytes.data();
    answer.dataFromSize = 300;
    const auto load = [](void* to, const void* from, std::size_t size) {
        std::memcpy(to, from, size);
        return true;
    };
    rec::AppendRecord(file, answer, load);
    answer.request = 2;
    rec::AppendRecord(file, answer, [](void*, const void*, std::size_t) { return false; });
    const rec::Recording read = ParseOrFail(file);
    ASSERT_EQ(read.records.size(), 5u);
    EXPECT_EQ(read.records[3].data, bytes);
    EXPECT_EQ(read.records[4].bytes, 300u);
    EXPECT_TRUE(read.records[4].data.empty());
}

TEST_F(Replay, BadFilesAreRefusedWithCauseAndOffset) {
    const std::string path = TempPath("bad.hxrec");
    Record(path, [] { ADC_SetRate(kStream, 0, kDivisorWriteRate); });
    const std::vector<uint8_t> good = ReadFile(path);
    const auto refusedWith = [&](const std::vector<uint8_t>& bytes, const std::string& cause) {
        WriteFile(path, bytes);
        EXPECT_EQ(HXSIM_Replay(path.c_str(), 0, 0), DWORD{ERROR_INVALID_DATA}) << cause;
        const HXSIM_REPLAY_STATUS status = Status();
        EXPECT_EQ(status.State, DWORD{HXSIM_REPLAY_REFUSED});
        EXPECT_NE(std::string(status.Message).find(cause), std::string::npos) << status.Message;
    };
    refusedWith({'n', 'o', 't', ' ', 'o', 'n', 'e', '\n'}, "not a recording");
    std::vector<uint8_t> version = good;
    version[8] = 2;
    refusedWith(version, "format version 2");
    std::vector<uint8_t> torn(good.begin(), good.end() - 3);
    refusedWith(torn, "truncated record at byte " + std::to_string(ParseOrFail(good).records.back().offset));
    std::vector<uint8_t> flipped = good;
    flipped[rec::kHeaderBytes + 7] ^= 0x10;
    refusedWith(flipped, "damaged record (checksum) at byte 32");
    // A torn tail can be accepted on request: the replay runs up to the last whole record.
    WriteFile(path, torn);
    EXPECT_EQ(HXSIM_Replay(path.c_str(), HXSIM_REPLAY_ACCEPT_TORN_TAIL, 0), 0u);
    EXPECT_EQ(HXSIM_Replay("/nonexistent/none.hxrec", 0, 0), DWORD{ERROR_FILE_NOT_FOUND});
    std::remove(path.c_str());
}

// The reader on 100,000 damaged inputs: each is refused, or accepted and then replayed (a sample
// of them) without a fault or a hang. Runs under the sanitizers with the rest of the suite.
TEST_F(Replay, DamagedAndRandomFilesAreRefusedOrReplayedSafely) {
    const std::string path = TempPath("fuzz.hxrec");
    Record(path, [] {
        ADC_SetRate(kStream, 0, kDivisorWriteRate);
        DWORD raw[16] = {};
        ADC_GetImmediateScanRaw(kStream, raw, 1);
        HXSIM_SetRegister(kStream, 32, 4096, 4);
        HXSIM_SetDmaPacing(kStream, HXSIM_PACING_FREE_RUNNING);
        ADC_AcquireBlock(kStream, 0, 2048);
        HX_AcquireWait(kStream, 0, 10000);
        ADC_AcquireEnd(kStream, 0);
    });
    const std::vector<uint8_t> good = ReadFile(path);
    const rec::Recording parsed = ParseOrFail(good);
    std::mt19937 random(2026);
    std::size_t accepted = 0;
    std::size_t replayed = 0;
    for (int i = 0; i < 100000; ++i) {
        std::vector<uint8_t> bytes = good;
        switch (i % 4) {
            case 0:  // cut anywhere
                bytes.resize(random() % good.size());
                break;
            case 1:  // a few bits flipped
                for (int k = 0, n = 1 + static_cast<int>(random() % 4); k < n; ++k)
                    bytes[random() % bytes.size()] ^= static_cast<uint8_t>(1u << (random() % 8));
                break;
            case 2: {  // a framed record's fields changed with the checksum made right again
                rec::Recording changed = parsed;
                rec::Record& r = changed.records[random() % changed.records.size()];
                r.request = static_cast<uint32_t>(random() % 64);
                r.handle = static_cast<uint32_t>(random() % 4);
                r.bytes = static_cast<uint32_t>(random());
                if (random() % 2) r.data.resize(random() % 70000);
                bytes = Encode(changed);
                break;
            }
            default:  // random bytes behind a good header
                bytes.resize(rec::kHeaderBytes + random() % 512);
                for (std::size_t k = rec::kHeaderBytes; k < bytes.size(); ++k) bytes[k] = static_cast<uint8_t>(random());
                break;
        }
        rec::Recording recording;
        rec::ReadError error;
        if (!rec::Parse(bytes.data(), bytes.size(), i % 8 == 1, recording, error)) {
            ASSERT_FALSE(error.cause.empty());
            ASSERT_LE(error.offset, bytes.size());
            continue;
        }
        ++accepted;
        if (accepted % 97 != 1 || replayed >= 20) continue;
        ++replayed;
        WriteFile(path, bytes);
        ASSERT_EQ(StartReplay(path, 100, HXSIM_REPLAY_ACCEPT_TORN_TAIL), 0u);
        ADC_SetRate(kStream, 0, kDivisorWriteRate);
        DWORD raw[16] = {};
        ADC_GetImmediateScanRaw(kStream, raw, 1);
        ADC_AcquireBlock(kStream, 0, 2048);
        HX_AcquireWait(kStream, 0, 10000);
        ADC_AcquireEnd(kStream, 0);
        HxTestLibraryDetach();
        HXSIM_ReplayEnd();
    }
    EXPECT_GT(accepted, 0u);
    std::remove(path.c_str());
}


// A recording made by one build replays in another (the Windows build under Wine and the Linux
// build; scripts/test-windows.sh runs both ways). Each side runs only when given its file.
void SaveTranscript(const std::string& path, const Transcript& t) {
    std::vector<uint8_t> bytes;
    const auto put = [&](uint64_t v) {
        for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    put(t.results.size());
    for (uint64_t v : t.results) put(v);
    put(t.chunks.size());
    for (const auto& chunk : t.chunks) {
        put(chunk.size());
        for (uint32_t v : chunk) put(v);
    }
    WriteFile(path, bytes);
}

Transcript LoadTranscript(const std::string& path) {
    const std::vector<uint8_t> bytes = ReadFile(path);
    std::size_t at = 0;
    const auto get = [&]() -> uint64_t {
        uint64_t v = 0;
        for (int i = 0; i < 8 && at < bytes.size(); ++i) v |= uint64_t{bytes[at++]} << (8 * i);
        return v;
    };
    Transcript t;
    for (uint64_t n = get(); n > 0 && at < bytes.size(); --n) t.results.push_back(get());
    for (uint64_t n = get(); n > 0 && at < bytes.size(); --n) {
        std::vector<uint32_t> chunk;
        for (uint64_t k = get(); k > 0 && at < bytes.size(); --k) chunk.push_back(static_cast<uint32_t>(get()));
        t.chunks.push_back(std::move(chunk));
    }
    return t;
}

TEST_F(Replay, CrossBuildRecordSession) {
    const char* out = std::getenv("HALVEX_CROSS_RECORD");
    if (out == nullptr) GTEST_SKIP() << "HALVEX_CROSS_RECORD names no file to record into";
    Transcript live;
    Record(out, [&] { Session(live, true); });
    SaveTranscript(std::string(out) + ".transcript", live);
}

TEST_F(Replay, CrossBuildReplaySession) {
    const char* in = std::getenv("HALVEX_CROSS_REPLAY");
    if (in == nullptr) GTEST_SKIP() << "HALVEX_CROSS_REPLAY names no recording to replay";
    const Transcript live = LoadTranscript(std::string(in) + ".transcript");
    ASSERT_FALSE(live.results.empty());
    ASSERT_EQ(StartReplay(in), 0u) << Status().Message;
    Transcript replayed;
    Session(replayed, false);
    HxTestLibraryDetach();
    const HXSIM_REPLAY_STATUS status = Status();
    EXPECT_NE(status.State, DWORD{HXSIM_REPLAY_DIVERGED}) << status.Message;
    EXPECT_EQ(replayed.results, live.results);
    EXPECT_EQ(replayed.chunks == live.chunks, true) << "the callbacks got other samples";
}


// Replays that must end rather than wait: a wait the recording never completes because it was
// cut short, and a completion held up by a request that never comes. Each in a child with a
// deadline, since a fault here would be a hang.
TEST(ReplayEnds, RecordingsThatStopShortNeverHoldACallerForEver) {
    for (const char* name : {"cut-short", "missing-request"}) {
        const int exitCode = RunChildCase("ReplayEndsChild.DISABLED_Run", name, 30'000);
        EXPECT_NE(exitCode, kChildTimedOut) << name << ": the replay hung";
        EXPECT_EQ(exitCode, 0) << name << ": see the child's output above";
    }
}

TEST(ReplayEndsChild, DISABLED_Run) {
    const std::string name = ChildCaseName();
    const std::string path = TempPath("ends.hxrec");
    halvex::sim::Reset();
    halvex::sim::BoardSetup setup;
    setup.deviceId = 0x805C;
    halvex::sim::AddBoard(setup);
    ASSERT_EQ(HX_StartDriverRecording(path.c_str(), HX_DRIVER_RECORDING_ALL_DATA), 0u);
    HxTestLibraryStart();
    std::thread waiter([] { PIO_WaitForIRQ(kStream); });
    ASSERT_TRUE(halvex::sim::AwaitInterruptWaits(kStream, 1, 10000));
    ASSERT_EQ(ADC_SetRate(kStream, 0, kDivisorWriteRate), 0u);
    HXSIM_RaiseInterrupt(kStream);
    waiter.join();
    HxTestLibraryDetach();
    halvex::sim::Reset();

    rec::Recording recording = ParseOrFail(ReadFile(path));
    if (name == "cut-short") {
        // Up to the wait's pending answer: no completion, no end record.
        std::size_t keep = 0;
        while (keep < recording.records.size() && !(recording.records[keep].kind == rec::Kind::Answer &&
                                                     recording.records[keep].outcome == rec::Outcome::Pending))
            ++keep;
        ASSERT_LT(keep, recording.records.size());
        recording.records.resize(keep + 1);
    } else {
        ASSERT_EQ(name, "missing-request");
    }
    WriteFile(path, Encode(recording));
    ASSERT_EQ(HXSIM_Replay(path.c_str(), 0, 300), 0u);
    HxTestLibraryStart();
    // The wait completes only after the rate's requests, which in the second case never come:
    // it ends with the divergence either way.
    EXPECT_EQ(PIO_WaitForIRQ(kStream), DWORD{HXSIM_ERROR_REPLAY_DIVERGED});
    HXSIM_REPLAY_STATUS status{};
    status.Size = sizeof status;
    HXSIM_GetReplayStatus(&status);
    EXPECT_EQ(status.State, DWORD{HXSIM_REPLAY_DIVERGED});
    std::printf("%s: %s\n", name.c_str(), status.Message);
    HxTestLibraryDetach();
    HXSIM_ReplayEnd();
    std::remove(path.c_str());
}

}  // namespace
