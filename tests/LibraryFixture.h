// A simulated bus with the library started on it, detached again after each test.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>
#include <halvex/halvex.h>
#include <halvex/sim.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "core/CallFrame.h"
#include "core/Registers.h"
#include "lifecycle/Lifecycle.h"

// Whether another thread can take `mutex` right now (and gives it back): false while this
// thread, or any other, holds it.
inline bool FreeForOthers(HANDLE mutex) {
    struct Probe {
        HANDLE mutex;
        DWORD result = WAIT_FAILED;
    } probe{mutex};
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* self = static_cast<Probe*>(p);
            self->result = WaitForSingleObject(self->mutex, 0);
            if (self->result == WAIT_OBJECT_0) ReleaseMutex(self->mutex);
            return 0;
        },
        &probe, 0, nullptr);
    if (thread == nullptr) return false;
    const bool ended = WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0;
    CloseHandle(thread);
    return ended && probe.result == WAIT_OBJECT_0;
}

class LibraryTest : public ::testing::Test {
protected:
    void TearDown() override {
        HxTestLibraryDetach();
        halvex::sim::Reset();
    }

    static halvex::sim::BoardSetup Board(uint32_t deviceId, uint32_t firmware = 0) {
        halvex::sim::BoardSetup setup;
        setup.deviceId = deviceId;
        setup.firmware = firmware;
        return setup;
    }

    // Builds the bus, then starts the library on it.
    static void Start(std::initializer_list<halvex::sim::BoardSetup> boards) {
        halvex::sim::Reset();
        for (const auto& setup : boards) halvex::sim::AddBoard(setup);
        HxTestLibraryStart();
    }

    // The default set: a 16-bit layout board, a layout-2 board and a layout-3 board.
    static void StartDefault() { Start({Board(0x1100), Board(0x805C), Board(0x80E8, 0x00010002)}); }

    // Memory the library must not be able to store to.
    static DWORD* ReadOnlyDword() {
        static const DWORD constant = 0;
        return const_cast<DWORD*>(&constant);
    }
};
