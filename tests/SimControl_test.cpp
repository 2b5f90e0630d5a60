// Control requests the simulated driver answers, and what it logs of them.
#include "SimFixture.h"

#include <algorithm>

namespace sim = halvex::sim;
namespace port = halvex::port;

namespace {

class SimControl : public SimBusTest {
protected:
    void SetUp() override {
        SimBusTest::SetUp();
        sim::AddBoard(Setup(0x80E8));
        sim::AddBoard(Setup(0x1100));
        handle = OpenBoard(0);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    }

    HANDLE handle = INVALID_HANDLE_VALUE;
    std::vector<uint8_t> output;
    DWORD bytes = 0;
    DWORD lastError = 0;
};

}  // namespace

TEST_F(SimControl, DeviceIdFillsEightBytes) {
    output.assign(8, 0xFF);
    ASSERT_TRUE(Send(handle, sim::kIoctlGetDeviceId, {}, output, bytes, lastError));
    EXPECT_EQ(lastError, 0u);
    EXPECT_EQ(bytes, 8u);
    EXPECT_EQ(output, (std::vector<uint8_t>{0xE8, 0x80, 0, 0, 0, 0, 0, 0}));

    output.assign(7, 0);
    EXPECT_FALSE(Send(handle, sim::kIoctlGetDeviceId, {}, output, bytes, lastError));
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST_F(SimControl, RegistersAreLittleEndianAtEveryWidth) {
    ASSERT_TRUE(WriteRegister(handle, 0x120, 4, 0x11223344));
    EXPECT_EQ(ReadRegister(handle, 0x120, 1), 0x44u);
    EXPECT_EQ(ReadRegister(handle, 0x121, 1), 0x33u);
    EXPECT_EQ(ReadRegister(handle, 0x123, 1), 0x11u);
    EXPECT_EQ(ReadRegister(handle, 0x122, 2), 0x1122u);

    // A narrow write changes only its own bytes, whatever the upper bits of the value.
    ASSERT_TRUE(WriteRegister(handle, 0x121, 1, 0xFFFFFFAB));
    ASSERT_TRUE(WriteRegister(handle, 0x122, 2, 0xFFFF5566));
    EXPECT_EQ(ReadRegister(handle, 0x120, 4), 0x5566AB44u);
    EXPECT_EQ(sim::GetRegister(0, 0x120), 0x5566AB44u);

    // The last register of the file is reachable; the other board is untouched.
    ASSERT_TRUE(WriteRegister(handle, 4092, 4, 7));
    EXPECT_EQ(ReadRegister(handle, 4092, 4), 7u);
    EXPECT_EQ(sim::GetRegister(1, 0x120), 0u);
}

TEST_F(SimControl, ReadEchoesTheRequestWithTheValue) {
    sim::SetRegister(0, 0x130, 0xA5A5, 2);
    output.assign(8, 0);
    ASSERT_TRUE(Send(handle, sim::kIoctlRegRead, RegisterRequest(0x130, 2), output, bytes, lastError));
    EXPECT_EQ(bytes, 8u);
    EXPECT_EQ(output, (std::vector<uint8_t>{0x30, 1, 1, 2, 0xA5, 0xA5, 0, 0}));
}

TEST_F(SimControl, MalformedRegisterRequestsAreInvalidParameters) {
    struct Case {
        DWORD code;
        std::vector<uint8_t> input;
        std::size_t outSize;
    };
    std::vector<uint8_t> sevenBytes = RegisterRequest(0x20, 4);
    sevenBytes.pop_back();
    const Case cases[] = {
        {sim::kIoctlRegRead, RegisterRequest(0x20, 3), 8},     // width
        {sim::kIoctlRegRead, RegisterRequest(0x20, 0), 8},     // width
        {sim::kIoctlRegRead, RegisterRequest(4094, 4), 8},     // past the end
        {sim::kIoctlRegWrite, RegisterRequest(0xFFFF, 1), 8},  // past the end
        {sim::kIoctlRegRead, sevenBytes, 8},                   // short request
        {sim::kIoctlRegRead, RegisterRequest(0x20, 4), 4},     // short answer
        {sim::kIoctlRegReadBlock, RegisterRequest(0x20, 2), 5},  // not whole elements
    };
    for (const Case& c : cases) {
        output.assign(c.outSize, 0);
        EXPECT_FALSE(Send(handle, c.code, c.input, output, bytes, lastError));
        EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << std::hex << c.code;
    }
    EXPECT_EQ(sim::GetRegister(0, 0xFFC), 0u);
}

TEST_F(SimControl, BlockReadRepeatsOneRegister) {
    sim::SetRegister(0, 0x40, 0x12345678);
    output.assign(6, 0);
    ASSERT_TRUE(Send(handle, sim::kIoctlRegReadBlock, RegisterRequest(0x40, 2), output, bytes, lastError));
    EXPECT_EQ(bytes, 6u);
    EXPECT_EQ(output, (std::vector<uint8_t>{0x78, 0x56, 0x78, 0x56, 0x78, 0x56}));
}

TEST_F(SimControl, BarBasesAreDistinctPerBoardAndIndex) {
    std::vector<uint32_t> seen;
    for (uint32_t index = 0; index < 6; ++index) {
        output.assign(4, 0);
        std::vector<uint8_t> input{static_cast<uint8_t>(index), 0, 0, 0};
        ASSERT_TRUE(Send(handle, sim::kIoctlQueryBarBase, input, output, bytes, lastError));
        EXPECT_EQ(bytes, 4u);
        const uint32_t base = output[0] | output[1] << 8 | output[2] << 16 | uint32_t{output[3]} << 24;
        EXPECT_EQ(base, sim::BarBase(0, index));
        EXPECT_NE(base, sim::BarBase(1, index));
        EXPECT_EQ(std::count(seen.begin(), seen.end(), base), 0);
        seen.push_back(base);
    }
    output.assign(4, 0);
    EXPECT_FALSE(Send(handle, sim::kIoctlQueryBarBase, {6, 0, 0, 0}, output, bytes, lastError));
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(SimControl, CodesNotModelledAreInvalidFunctions) {
    EXPECT_FALSE(Send(handle, 0x80FF6FF0, {}, output, bytes, lastError));  // the driver's type, unknown function
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_FALSE(Send(handle, 0x12345678, {}, output, bytes, lastError));
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_INVALID_FUNCTION));
}

TEST_F(SimControl, AnOverlappedRequestAnsweredAtOnceIsCompletedToo) {
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    std::vector<uint8_t> request = RegisterRequest(12, 4);
    output.assign(8, 0);
    EXPECT_TRUE(port::Control(handle, sim::kIoctlRegRead, request.data(), 8, output.data(), 8, &bytes, &overlapped));
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD transferred = 0;
    EXPECT_TRUE(GetOverlappedResult(handle, &overlapped, &transferred, FALSE));
    EXPECT_EQ(transferred, 8u);
    EXPECT_TRUE(sim::Requests(0).back().overlapped);
    CloseHandle(event);
}

TEST_F(SimControl, TheLogHoldsEveryRequestAsSent) {
    output.assign(8, 0);
    Send(handle, sim::kIoctlGetDeviceId, {}, output, bytes, lastError);
    WriteRegister(handle, 56, 2, 0xFCEE);
    ReadRegister(handle, 12, 4);
    WriteRegister(handle, 3, 3, 1);  // refused, but sent
    WriteRegister(handle, 0, 4, 1);

    const auto log = sim::Requests(0);
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[0].code, sim::kIoctlGetDeviceId);
    EXPECT_TRUE(log[0].input.empty());
    EXPECT_EQ(log[0].outSize, 8u);
    EXPECT_FALSE(log[0].overlapped);
    EXPECT_FALSE(log[0].IsRegister());
    EXPECT_EQ(log[2].code, sim::kIoctlRegRead);
    EXPECT_EQ(log[2].input, RegisterRequest(12, 4));
    EXPECT_EQ(log[2].Offset(), 12u);
    EXPECT_EQ(log[2].Width(), 4u);

    const std::vector<sim::RegisterWrite> expected{{56, 2, 0xFCEE}, {3, 3, 1}, {0, 4, 1}};
    EXPECT_EQ(sim::RegisterWrites(0), expected);
    EXPECT_TRUE(sim::Requests(1).empty());

    sim::ClearRequests(0);
    EXPECT_TRUE(sim::Requests(0).empty());
}

// ---- Injected failures ----------------------------------------------------------------------

TEST_F(SimControl, FailNowReportsItsCodeEvenZeroForCountRequests) {
    sim::FailRequests(0, sim::kIoctlGetDeviceId, {sim::FailKind::Now, 0, 0, 2});
    output.assign(8, 0);
    for (int i = 0; i < 2; ++i) {
        EXPECT_FALSE(Send(handle, sim::kIoctlGetDeviceId, {}, output, bytes, lastError));
        EXPECT_EQ(lastError, 0u);
    }
    EXPECT_TRUE(Send(handle, sim::kIoctlGetDeviceId, {}, output, bytes, lastError));

    sim::FailRequests(0, sim::kIoctlRegRead, {sim::FailKind::Now, ERROR_DEVICE_NOT_CONNECTED, 0, -1});
    for (int i = 0; i < 3; ++i) EXPECT_EQ(ReadRegister(handle, 12, 4), 0xFFFFFFFFu);
    EXPECT_TRUE(WriteRegister(handle, 12, 4, 1));  // other codes unaffected
    sim::ClearFailures(0);
    EXPECT_EQ(ReadRegister(handle, 12, 4), 1u);
}

TEST_F(SimControl, FailuresBelongToOneBoard) {
    sim::FailRequests(1, sim::kIoctlRegRead, {sim::FailKind::Now, ERROR_GEN_FAILURE, 0, -1});
    EXPECT_EQ(ReadRegister(handle, 12, 4), 40'000'000u);
}

TEST_F(SimControl, ShortReportsFewerBytesButStillDoesTheWork) {
    sim::FailRequests(0, sim::kIoctlGetDeviceId, {sim::FailKind::Short, 0, 4, 1});
    output.assign(8, 0);
    ASSERT_TRUE(Send(handle, sim::kIoctlGetDeviceId, {}, output, bytes, lastError));
    EXPECT_EQ(lastError, 0u);
    EXPECT_EQ(bytes, 4u);

    sim::FailRequests(0, sim::kIoctlRegWrite, {sim::FailKind::Short, 0, 0, 1});
    ASSERT_TRUE(WriteRegister(handle, 0x20, 4, 99));
    EXPECT_EQ(sim::GetRegister(0, 0x20), 99u);
}

TEST_F(SimControl, PendForeverEndsOnlyWhenTheHandleCloses) {
    sim::FailRequests(0, sim::kIoctlRegRead, {sim::FailKind::PendForever, 0, 0, -1});
    EXPECT_EQ(ReadRegister(handle, 12, 4), 0xFFFFFFFFu);  // cannot pend without an OVERLAPPED

    const HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(event, nullptr);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    std::vector<uint8_t> request = RegisterRequest(12, 4);
    output.assign(8, 0);
    EXPECT_FALSE(port::Control(handle, sim::kIoctlRegRead, request.data(), 8, output.data(), 8, nullptr, &overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    DWORD transferred = 0;
    EXPECT_FALSE(GetOverlappedResult(handle, &overlapped, &transferred, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

    ASSERT_TRUE(port::Close(handle));
    Closed(handle);
    ASSERT_EQ(WaitForSingleObject(event, 10'000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_FALSE(GetOverlappedResult(handle, &overlapped, &transferred, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(transferred, 0u);
    CloseHandle(event);
}

TEST_F(SimControl, CancellingEndsOnlyTheNamedRequestAndSignalsTheHandle) {
    sim::FailRequests(0, sim::kIoctlRegRead, {sim::FailKind::PendForever, 0, 0, -1});
    std::vector<uint8_t> request = RegisterRequest(12, 4);
    // Two requests without an event: their completion signals the device handle instead.
    OVERLAPPED first{};
    OVERLAPPED second{};
    std::vector<uint8_t> out1(8), out2(8);
    EXPECT_FALSE(port::Control(handle, sim::kIoctlRegRead, request.data(), 8, out1.data(), 8, nullptr, &first));
    EXPECT_FALSE(port::Control(handle, sim::kIoctlRegRead, request.data(), 8, out2.data(), 8, nullptr, &second));
    EXPECT_EQ(WaitForSingleObject(handle, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    ASSERT_TRUE(port::Cancel(handle, &first));
    DWORD transferred = 0;
    EXPECT_FALSE(GetOverlappedResult(handle, &first, &transferred, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(HasOverlappedIoCompleted(&second)) << "only the named request is cancelled";
    EXPECT_FALSE(port::Cancel(handle, &first));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));

    ASSERT_TRUE(port::Cancel(handle, nullptr));
    EXPECT_FALSE(GetOverlappedResult(handle, &second, &transferred, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}
