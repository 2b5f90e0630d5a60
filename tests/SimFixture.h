// Shared set-up for the simulated-bus tests: a bus reset before and after each test, and
// handles opened through the driver port that are closed at the end.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>
#include <halvex/sim.h>

#include <cstdint>
#include <string>
#include <vector>

#include "port/DriverPort.h"

class SimBusTest : public ::testing::Test {
protected:
    void SetUp() override { halvex::sim::Reset(); }

    void TearDown() override {
        for (HANDLE handle : opened_) halvex::port::Close(handle);
        halvex::sim::Reset();
    }

    static LPCWSTR Wide(const std::u16string& text) { return reinterpret_cast<LPCWSTR>(text.c_str()); }

    static halvex::sim::BoardSetup Setup(uint32_t deviceId) {
        halvex::sim::BoardSetup setup;
        setup.deviceId = deviceId;
        return setup;
    }

    // Opens a board by its path; the handle is closed by TearDown unless the test closes it.
    HANDLE OpenBoard(std::size_t board) {
        HANDLE handle = halvex::port::Open(Wide(halvex::sim::BoardSetupOf(board).path));
        if (handle != INVALID_HANDLE_VALUE) opened_.push_back(handle);
        return handle;
    }

    void Closed(HANDLE handle) { std::erase(opened_, handle); }

    static std::vector<uint8_t> RegisterRequest(uint16_t offset, uint8_t width, uint32_t value = 0) {
        return {static_cast<uint8_t>(offset), static_cast<uint8_t>(offset >> 8), 1, width,
                static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
                static_cast<uint8_t>(value >> 24)};
    }

    // One synchronous request; `lastError` receives the thread's last error after it.
    static BOOL Send(HANDLE handle, DWORD code, std::vector<uint8_t> input, std::vector<uint8_t>& output,
                     DWORD& bytes, DWORD& lastError) {
        bytes = 0xDEADBEEF;
        SetLastError(12345);
        const BOOL ok = halvex::port::Control(handle, code, input.empty() ? nullptr : input.data(),
                                              static_cast<DWORD>(input.size()),
                                              output.empty() ? nullptr : output.data(),
                                              static_cast<DWORD>(output.size()), &bytes, nullptr);
        lastError = GetLastError();
        return ok;
    }

    static bool WriteRegister(HANDLE handle, uint16_t offset, uint8_t width, uint32_t value) {
        std::vector<uint8_t> output(8);
        DWORD bytes, lastError;
        return Send(handle, halvex::sim::kIoctlRegWrite, RegisterRequest(offset, width, value), output, bytes,
                    lastError) == TRUE;
    }

    // The register's value, or 0xFFFFFFFF after a failed read.
    static uint32_t ReadRegister(HANDLE handle, uint16_t offset, uint8_t width) {
        std::vector<uint8_t> output(8);
        DWORD bytes, lastError;
        if (!Send(handle, halvex::sim::kIoctlRegRead, RegisterRequest(offset, width), output, bytes, lastError)) {
            return 0xFFFFFFFF;
        }
        return uint32_t{output[4]} | uint32_t{output[5]} << 8 | uint32_t{output[6]} << 16 |
               uint32_t{output[7]} << 24;
    }

private:
    std::vector<HANDLE> opened_;
};
