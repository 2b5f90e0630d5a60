// The hooks later board features build on: device models on a board, and requests a model
// pends and completes itself.
#include "SimFixture.h"

#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "sim/Bus.h"

namespace sim = halvex::sim;
namespace port = halvex::port;

namespace {

// A FIFO at register 0x80 that pops on read, fed by writes to register 0x84.
class TestFifo : public sim::Device {
public:
    bool OnRead(sim::Board&, uint32_t offset, unsigned, uint32_t& value) override {
        if (offset != 0x80) return false;
        value = words.empty() ? 0xEEEEEEEE : words.front();
        if (!words.empty()) words.pop_front();
        return true;
    }
    bool OnWrite(sim::Board&, uint32_t offset, unsigned, uint32_t value) override {
        if (offset != 0x84) return false;
        words.push_back(value);
        return true;
    }
    std::deque<uint32_t> words;
};

// A control code no board model answers, of the driver's device type.
constexpr DWORD kTestWaitCode = 0x80FF6FF0;

// Pends every request of the test code until the test completes it.
class TestInterrupt : public sim::Device {
public:
    bool OnControl(sim::Board&, const sim::ControlCall& call, sim::ControlAnswer& answer) override {
        if (call.code != kTestWaitCode) return false;
        pendingId = sim::Bus::Instance().PendRequest(call);
        answer = pendingId != 0 ? sim::ControlAnswer::Pending() : sim::ControlAnswer::Failure(ERROR_GEN_FAILURE);
        return true;
    }
    uint64_t pendingId = 0;
};

class SimModels : public SimBusTest {
protected:
    void SetUp() override {
        SimBusTest::SetUp();
        sim::AddBoard(Setup(0x805C));
        board = sim::Bus::Instance().BoardAt(0);
        auto fifoModel = std::make_unique<TestFifo>();
        auto interruptModel = std::make_unique<TestInterrupt>();
        fifo = fifoModel.get();
        interrupt = interruptModel.get();
        {
            std::lock_guard lock(board->mutex);
            board->AttachModel(std::move(fifoModel));
            board->AttachModel(std::move(interruptModel));
        }
        handle = OpenBoard(0);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(event, nullptr);
        overlapped.hEvent = event;
    }
    void TearDown() override {
        SimBusTest::TearDown();
        CloseHandle(event);
    }

    // Sends an interrupt wait that the model pends.
    void StartWait() {
        ASSERT_FALSE(port::Control(handle, kTestWaitCode, nullptr, 0, buffer, sizeof(buffer), nullptr,
                                   &overlapped));
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        ASSERT_NE(interrupt->pendingId, 0u);
    }

    std::shared_ptr<sim::Board> board;
    TestFifo* fifo = nullptr;
    TestInterrupt* interrupt = nullptr;
    HANDLE handle = INVALID_HANDLE_VALUE;
    HANDLE event = nullptr;
    OVERLAPPED overlapped{};
    uint8_t buffer[4] = {};
};

}  // namespace

TEST_F(SimModels, ModelsTakeTheirRegistersAndLeaveTheRestToTheFile) {
    ASSERT_TRUE(WriteRegister(handle, 0x84, 4, 10));
    ASSERT_TRUE(WriteRegister(handle, 0x84, 4, 11));
    ASSERT_TRUE(WriteRegister(handle, 0x88, 4, 12));
    EXPECT_EQ(sim::GetRegister(0, 0x84), 0u);  // taken by the model
    EXPECT_EQ(sim::GetRegister(0, 0x88), 12u);

    std::vector<uint8_t> output(12);
    DWORD bytes, lastError;
    ASSERT_TRUE(Send(handle, sim::kIoctlRegReadBlock, RegisterRequest(0x80, 4), output, bytes, lastError));
    EXPECT_EQ(output, (std::vector<uint8_t>{10, 0, 0, 0, 11, 0, 0, 0, 0xEE, 0xEE, 0xEE, 0xEE}));
}

TEST_F(SimModels, APendingRequestCompletesOnceWithWhatTheModelFilled) {
    StartWait();
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    EXPECT_TRUE(sim::Bus::Instance().CompletePending(interrupt->pendingId, [](uint8_t* out, DWORD outSize) {
        EXPECT_EQ(outSize, 4u);
        out[0] = 0x5A;
        return sim::CompletionResult{ERROR_NO_MORE_FILES, 1};
    }));
    DWORD transferred = 0;
    EXPECT_FALSE(GetOverlappedResult(handle, &overlapped, &transferred, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_EQ(transferred, 1u);
    EXPECT_EQ(buffer[0], 0x5A);

    // Neither a second completion nor the close touches the finished request again.
    EXPECT_FALSE(sim::Bus::Instance().CompletePending(interrupt->pendingId,
                                                      [](uint8_t*, DWORD) { return sim::CompletionResult{}; }));
    buffer[0] = 0;
    ASSERT_TRUE(port::Close(handle));
    Closed(handle);
    EXPECT_FALSE(GetOverlappedResult(handle, &overlapped, &transferred, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_EQ(buffer[0], 0);
}

TEST_F(SimModels, ARequestAbortedByCloseCannotBeCompletedAfterwards) {
    StartWait();
    ASSERT_TRUE(port::Close(handle));
    Closed(handle);
    DWORD transferred = 0;
    EXPECT_FALSE(GetOverlappedResult(handle, &overlapped, &transferred, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));

    bool filled = false;
    EXPECT_FALSE(sim::Bus::Instance().CompletePending(interrupt->pendingId, [&](uint8_t*, DWORD) {
        filled = true;
        return sim::CompletionResult{};
    }));
    EXPECT_FALSE(filled);
}

TEST_F(SimModels, CloseWaitsForACompletionThatIsFillingTheBuffer) {
    StartWait();
    const HANDLE filling = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE mayFinish = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread completer([&] {
        sim::Bus::Instance().CompletePending(interrupt->pendingId, [&](uint8_t* out, DWORD) {
            SetEvent(filling);
            WaitForSingleObject(mayFinish, 10'000);
            out[0] = 1;
            return sim::CompletionResult{0, 1};
        });
    });
    ASSERT_EQ(WaitForSingleObject(filling, 10'000), static_cast<DWORD>(WAIT_OBJECT_0));
    std::thread closer([&] {
        port::Close(handle);
        SetEvent(closed);
    });
    // The close may not return while the buffer is still being written.
    EXPECT_EQ(WaitForSingleObject(closed, 50), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(mayFinish);
    completer.join();
    closer.join();
    Closed(handle);
    DWORD transferred = 0;
    EXPECT_TRUE(GetOverlappedResult(handle, &overlapped, &transferred, TRUE));
    EXPECT_EQ(transferred, 1u);
    EXPECT_EQ(buffer[0], 1);
    CloseHandle(filling);
    CloseHandle(mayFinish);
    CloseHandle(closed);
}

// A long stream makes requests without end; the log keeps the newest ones only, in order.
TEST_F(SimModels, TheRequestLogKeepsTheNewestRequests) {
    sim::ClearRequests(0);
    constexpr uint32_t kBeyond = 100;
    sim::ControlCall call;
    call.code = sim::kIoctlRegWrite;
    for (uint32_t i = 0; i < sim::Board::kRequestsKept + kBeyond; ++i) {
        call.input = RegisterRequest(0x88, 4, i);
        board->Answer(call);
    }
    const auto log = sim::Requests(0);
    ASSERT_EQ(log.size(), sim::Board::kRequestsKept);
    EXPECT_EQ(log.front().Value(), kBeyond);
    EXPECT_EQ(log.back().Value(), sim::Board::kRequestsKept + kBeyond - 1);
}
