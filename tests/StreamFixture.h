// Shared by the streaming tests: a board that streams (0) and a layout-1 board (1) on the
// simulated bus, a callback recorder, and checks that every acquisition left nothing behind.
// OnEachStreamLayout<Fixture> runs a suite once per streaming layout.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "Await.h"
#include "LibraryFixture.h"
#include "StreamLayouts.h"
#include "adc/AcquireRun.h"
#include "adc/ChunkPool.h"

// What the callbacks received, one entry per call.
struct Delivery {
    UINT64 board = 0;
    DWORD sequencer = 0;
    std::vector<uint32_t> raw;       // Raw
    std::vector<uint16_t> counts;    // Counts
    std::vector<double> volts;       // Volts
    std::vector<uint16_t> status;    // Counts and Volts
    std::vector<uint16_t> timestamp; // Counts and Volts
};

class Recorder {
public:
    void Add(Delivery delivery) {
        std::function<void()> hook;
        {
            std::lock_guard lock(mutex_);
            deliveries_.push_back(std::move(delivery));
            hook = onDelivery;
        }
        changed_.notify_all();
        // Runs on the callback thread, outside the recorder's lock.
        if (hook) hook();
    }
    // Waits for at least `count` deliveries; false after the guard time-out.
    bool WaitFor(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return deliveries_.size() >= count; });
    }
    std::vector<Delivery> Deliveries() {
        std::lock_guard lock(mutex_);
        return deliveries_;
    }
    std::size_t Count() {
        std::lock_guard lock(mutex_);
        return deliveries_.size();
    }
    // Called on the callback thread after each recorded delivery (set before the start).
    std::function<void()> onDelivery;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Delivery> deliveries_;
};

inline Recorder* gRecorder = nullptr;

inline void WINAPI RecordRaw(UINT64 b, DWORD s, DWORD n, DWORD* p) {
    Delivery d;
    d.board = b;
    d.sequencer = s;
    d.raw.assign(p, p + n);
    gRecorder->Add(std::move(d));
}
inline void WINAPI RecordCounts(UINT64 b, DWORD s, DWORD n, WORD* p, WORD* st, WORD* ts) {
    Delivery d;
    d.board = b;
    d.sequencer = s;
    d.counts.assign(p, p + n);
    d.status.assign(st, st + n);
    d.timestamp.assign(ts, ts + n);
    gRecorder->Add(std::move(d));
}
inline void WINAPI RecordVolts(UINT64 b, DWORD s, DWORD n, double* p, WORD* st, WORD* ts) {
    Delivery d;
    d.board = b;
    d.sequencer = s;
    d.volts.assign(p, p + n);
    d.status.assign(st, st + n);
    d.timestamp.assign(ts, ts + n);
    gRecorder->Add(std::move(d));
}

class StreamTest : public LibraryTest {
protected:
    static constexpr UINT64 kStreamBoard = 0;  // the board StreamBoard() gives: 0x805C unless a suite says
    static constexpr UINT64 kLayout1Board = 1; // 0x1100, cannot stream
    static constexpr uint32_t kChunkBytes = 1024;

    void SetUp() override {
        chunks_ = halvex::LiveChunkCount();
        pools_ = halvex::LivePoolCount();
        threads_ = halvex::LiveStreamThreadCount();
        gRecorder = &recorder_;
        Start({StreamBoard(), Board(0x1100)});
        SetChunkBytes(kChunkBytes);
        halvex::sim::SetDmaPacing(kStreamBoard, halvex::sim::DmaPacing::FreeRunning);
        halvex::sim::SetStreamIndexSource(kStreamBoard, true);
        ASSERT_EQ(ADC_SetRate(kStreamBoard, 0, 1e6), 0u);
    }

    void TearDown() override {
        ADC_AcquireEnd(kStreamBoard, 0);
        // Unload joins every callback thread.
        LibraryTest::TearDown();
        EXPECT_EQ(halvex::LiveStreamThreadCount(), threads_) << "a stream thread was left behind";
        EXPECT_EQ(halvex::LivePoolCount(), pools_) << "a pool was left behind";
        EXPECT_EQ(halvex::LiveChunkCount(), chunks_) << "a chunk was leaked";
        gRecorder = nullptr;
    }

    // The board that streams; a suite may run on the other streaming layout.
    virtual halvex::sim::BoardSetup StreamBoard() const { return Board(0x805C); }

    static void SetChunkBytes(uint32_t bytes) { halvex::sim::SetRegister(kStreamBoard, 32, bytes); }

    // The stream board's latest run, as HX_AcquireStatus reports it.
    static HX_ACQUIRE_STATUS Status() {
        HX_ACQUIRE_STATUS status{};
        status.Size = sizeof status;
        EXPECT_EQ(HX_AcquireStatus(kStreamBoard, 0, &status), 0u);
        return status;
    }

    static DWORD SetCallback(DWORD type) {
        void* function = nullptr;
        if (type == ADC_CALLBACK_RAW) function = reinterpret_cast<void*>(&RecordRaw);
        if (type == ADC_CALLBACK_COUNTS) function = reinterpret_cast<void*>(&RecordCounts);
        if (type == ADC_CALLBACK_VOLTS) function = reinterpret_cast<void*>(&RecordVolts);
        return ADC_SetCallback(kStreamBoard, 0, type, function);
    }

    // Ends the acquisition and waits until its callback has returned from its last chunk.
    static DWORD EndAndDrain() {
        const DWORD result = ADC_AcquireEnd(kStreamBoard, 0);
        EXPECT_EQ(HX_AcquireWait(kStreamBoard, 0, 20000), 0u);
        return result;
    }

    // The control bytes the board received, in order.
    static std::vector<uint8_t> ControlBytes() {
        std::vector<uint8_t> bytes;
        for (const auto& request : halvex::sim::Requests(kStreamBoard))
            if (request.code == halvex::sim::kIoctlDmaPiongControl && !request.input.empty())
                bytes.push_back(request.input[0]);
        return bytes;
    }

    // Stop bytes (0x10) the board received after the last start byte (0x11). Where a count is
    // checked it is a lower bound: a stop sent once more does no harm, a missing one does.
    static std::size_t StopsSinceLastStart() {
        std::size_t stops = 0;
        for (uint8_t byte : ControlBytes()) {
            if (byte == 0x11) stops = 0;
            if (byte == 0x10) ++stops;
        }
        return stops;
    }

    Recorder recorder_;

private:
    int64_t chunks_ = 0;
    int64_t pools_ = 0;
    int64_t threads_ = 0;
};

// A streaming suite once per streaming layout: declare `class Suite : public
// OnEachStreamLayout<Fixture> {};` and instantiate it with StreamLayouts().
template <class Fixture>
class OnEachStreamLayout : public Fixture, public ::testing::WithParamInterface<StreamLayout> {
protected:
    halvex::sim::BoardSetup StreamBoard() const override {
        return Fixture::Board(GetParam().deviceId, GetParam().firmware);
    }
};
