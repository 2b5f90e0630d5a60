// The kernel backend of the driver port against real Windows I/O. No board driver exists on a
// test machine, so a message-mode named pipe stands in for the device: its transceive control
// request is a DeviceIoControl that stays pending until the other end answers, which is
// exactly the case a handle opened for overlapped I/O makes hard.
#include <gtest/gtest.h>

#include <windows.h>
#include <winioctl.h>

#include <atomic>
#include <string>
#include <thread>

#include "port/Backend.h"

namespace {

namespace port = halvex::port;

constexpr DWORD kPipeTransceive = 0x0011C017;  // FSCTL_PIPE_TRANSCEIVE
constexpr DWORD kPipePeek = 0x0011400C;        // FSCTL_PIPE_PEEK
const GUID kBoardClass = {0xE77894A2, 0x697F, 0x11D0, {0x95, 0x8E, 0xAF, 0x1F, 0xDA, 0xDB, 0x2F, 0x1B}};

// A pipe server in its own thread answers each message with the message reversed, but only
// after the test lets it, so a request is seen pending before it completes.
class PipeDevice : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = L"\\\\.\\pipe\\halvex-port-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(counter_++);
        server_ = CreateNamedPipeW(path_.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                   1, 4096, 4096, 0, nullptr);
        ASSERT_NE(server_, INVALID_HANDLE_VALUE) << GetLastError();
        answer_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        received_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        connected_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        serverThread_ = std::thread([this] { Serve(); });

        device_ = port::backend::Open(path_.c_str());
        ASSERT_NE(device_, INVALID_HANDLE_VALUE) << GetLastError();
        DWORD mode = PIPE_READMODE_MESSAGE;
        ASSERT_TRUE(SetNamedPipeHandleState(device_, &mode, nullptr, nullptr)) << GetLastError();
        // A client that leaves before the server has seen it can keep the server's connect
        // waiting for good (Wine), so each test starts with the connection made.
        ASSERT_EQ(WaitForSingleObject(connected_, 10000), WAIT_OBJECT_0);
    }

    void TearDown() override {
        SetEvent(answer_);
        if (WaitForSingleObject(connected_, 0) != WAIT_OBJECT_0) {
            // The device never connected: let the server's connect return so its thread ends.
            HANDLE client = CreateFileW(path_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (client != INVALID_HANDLE_VALUE) CloseHandle(client);
        }
        if (device_ != INVALID_HANDLE_VALUE) port::backend::Close(device_);
        DisconnectNamedPipe(server_);
        if (serverThread_.joinable()) serverThread_.join();
        CloseHandle(server_);
        CloseHandle(answer_);
        CloseHandle(received_);
        CloseHandle(connected_);
    }

    void Serve() {
        const bool connected = ConnectNamedPipe(server_, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
        SetEvent(connected_);
        if (!connected) return;
        char message[256];
        DWORD got = 0;
        while (ReadFile(server_, message, sizeof message, &got, nullptr)) {
            SetEvent(received_);
            WaitForSingleObject(answer_, INFINITE);
            std::string reply(message, got);
            reply.assign(reply.rbegin(), reply.rend());
            DWORD put = 0;
            if (!WriteFile(server_, reply.data(), static_cast<DWORD>(reply.size()), &put, nullptr)) return;
        }
    }

    static inline std::atomic<int> counter_{0};
    std::wstring path_;
    HANDLE server_ = INVALID_HANDLE_VALUE;
    HANDLE device_ = INVALID_HANDLE_VALUE;
    HANDLE answer_ = nullptr;
    HANDLE received_ = nullptr;
    HANDLE connected_ = nullptr;
    std::thread serverThread_;
};

TEST_F(PipeDevice, ARequestWithoutOverlappedWaitsForItsCompletion) {
    char request[] = "abc";
    char reply[16] = {};
    DWORD bytes = 12345;
    std::thread release([this] {
        WaitForSingleObject(received_, INFINITE);
        SetEvent(answer_);
    });
    const BOOL ok = port::backend::Control(device_, kPipeTransceive, request, 3, reply, sizeof reply, &bytes, nullptr);
    const DWORD error = GetLastError();
    release.join();
    ASSERT_TRUE(ok) << error;
    EXPECT_EQ(bytes, 3u);
    EXPECT_EQ(std::string(reply, 3), "cba");
}

TEST_F(PipeDevice, ARequestWithoutOverlappedMayOmitTheByteCount) {
    SetEvent(answer_);
    char request[] = "xy";
    char reply[16] = {};
    ASSERT_TRUE(port::backend::Control(device_, kPipeTransceive, request, 2, reply, sizeof reply, nullptr, nullptr))
        << GetLastError();
    EXPECT_EQ(std::string(reply, 2), "yx");
}

TEST_F(PipeDevice, AFailedRequestReportsTheDriversErrorAsLastError) {
    // A peek whose output cannot even hold the peek header fails at once.
    char tooSmall[4] = {};
    DWORD bytes = 0;
    SetLastError(0);
    EXPECT_FALSE(port::backend::Control(device_, kPipePeek, nullptr, 0, tooSmall, sizeof tooSmall, &bytes, nullptr));
    // Windows and Wine word the size failure differently; what matters is that the driver's
    // own code survives the cleanup of the private event.
    const DWORD error = GetLastError();
    EXPECT_TRUE(error == ERROR_INSUFFICIENT_BUFFER || error == ERROR_BAD_LENGTH) << error;
}

TEST_F(PipeDevice, AnOverlappedRequestPendsAndCompletesIntoTheCallersOverlapped) {
    char request[] = "1234";
    char reply[16] = {};
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_FALSE(port::backend::Control(device_, kPipeTransceive, request, 4, reply, sizeof reply, nullptr, &overlapped));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(WaitForSingleObject(received_, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    SetEvent(answer_);
    DWORD bytes = 0;
    ASSERT_TRUE(GetOverlappedResult(device_, &overlapped, &bytes, TRUE)) << GetLastError();
    EXPECT_EQ(bytes, 4u);
    EXPECT_EQ(std::string(reply, 4), "4321");
    CloseHandle(overlapped.hEvent);
}

TEST_F(PipeDevice, ClosingTheDeviceEndsAPendingRequestWithAFailure) {
    char request[] = "z";
    char reply[16] = {};
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_FALSE(port::backend::Control(device_, kPipeTransceive, request, 1, reply, sizeof reply, nullptr, &overlapped));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(WaitForSingleObject(received_, 10000), WAIT_OBJECT_0);

    EXPECT_TRUE(port::backend::Close(device_));
    device_ = INVALID_HANDLE_VALUE;
    ASSERT_EQ(WaitForSingleObject(overlapped.hEvent, 10000), WAIT_OBJECT_0) << "the request never completed";
    EXPECT_NE(overlapped.Internal, 0u) << "a request ended by the close reported success";
    CloseHandle(overlapped.hEvent);
}

TEST(KernelPortWithoutBoards, FindsNoBoardInterfacesAndCannotOpenAMissingPath) {
    EXPECT_TRUE(port::backend::EnumerateInterfaces(kBoardClass).empty());

    SetLastError(0);
    EXPECT_EQ(port::backend::Open(L"\\\\?\\pci#ven_0000&dev_0000#no-such-board#{e77894a2-697f-11d0-958e-af1fdadb2f1b}"),
              INVALID_HANDLE_VALUE);
    EXPECT_NE(GetLastError(), 0u);
}

}  // namespace
