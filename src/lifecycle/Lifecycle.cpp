// The library's life in a process: start-up opens and classifies the boards, detach ends what
// runs on them and closes them. It calls into every module, so it sits above them all.
#include "lifecycle/Lifecycle.h"

#include <halvex/halvex.h>

#include <array>
#include <atomic>
#include <cstring>

#include "adc/Sequencer.h"
#include "board/BoardFamilies.h"
#include "board/Registers.h"
#include "core/Registers.h"
#include "dac/DAC.h"
#include "log/LogThreads.h"
#include "pio/IRQ.h"
#include "platform/ForcedUnwind.h"
#include "port/DriverPort.h"

namespace halvex {

namespace {

LPCWSTR W(const char16_t* text) { return reinterpret_cast<LPCWSTR>(text); }

// Boards with 16-bit start/stop registers and commands come up with both sequencers stopped.
void UseSixteenBitLayout(TDeviceData& device, UINT64 iBoard) {
    RegWrite(2, iBoard, board::StartStopRegister(0), board::kStoppedStartStop16);
    RegWrite(2, iBoard, board::StartStopRegister(1), board::kStoppedStartStop16);
    device.ImmediateMode = imNative16;
    device.RegisterMap = rmLayout1;
}

// Fills in base clock, immediate mode and register layout; false for an unknown identifier.
bool ClassifyBoard(UINT64 iBoard, TDeviceData& device) {
    switch (board::BoardFamilyOf(device.DeviceID)) {
        case board::TBoardFamily::Fixed:
            device.BaseClock = board::kFixedFamilyBaseClock;
            device.ImmediateMode = imNative16;
            device.RegisterMap = rmLayout1;
            return true;
        case board::TBoardFamily::Layout1:
            device.BaseClock = RegRead(4, iBoard, board::kBaseClockRegister);
            UseSixteenBitLayout(device, iBoard);
            return true;
        case board::TBoardFamily::FirmwareSelected:
            device.BaseClock = RegRead(4, iBoard, board::kBaseClockRegister);
            if (board::TakesWideCommands(device.DeviceID, RegRead(4, iBoard, board::kFirmwareRegister))) {
                device.ImmediateMode = imNative32;
                device.RegisterMap = rmLayout3;
            } else {
                UseSixteenBitLayout(device, iBoard);
            }
            return true;
        case board::TBoardFamily::Layout2:
            device.BaseClock = RegRead(4, iBoard, board::kBaseClockRegister);
            device.ImmediateMode = imNative32;
            device.RegisterMap = rmLayout2;
            return true;
        case board::TBoardFamily::Unknown:
            break;
    }
    return false;
}

// Keeps the first `count` boards, and builds the modules' per-board tables for them.
void KeepBoards(std::size_t count) {
    Devices.Trim(count);
    Sequencers.Reset(count);
    DACRanges.Reset(count);
}

}  // namespace

BYTE GetOSVersionClass() {
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = 276;
    GetVersionExW(&info);
    const DWORD version = info.dwMajorVersion * 65536 + info.dwMinorVersion;
    switch (info.dwPlatformId) {
        case 0:
            return 1;
        case 1:
            return version < 0x4000A ? 1 : 2;
        case 2:
            if (version < 0x50000) return 3;
            return version < 0x60000 ? 4 : 5;
        default:
            return 0;
    }
}

TStringArray16 EnumerateDevicePaths(const GUID& classGuid) {
    TStringArray16 paths = port::EnumerateInterfaces(classGuid);
    for (auto& path : paths) {
        const auto nul = path.find(u'\0');
        if (nul != std::u16string::npos) path.resize(nul);
    }
    return paths;
}

void OpenBoards() {
    const TStringArray16 paths = EnumerateDevicePaths(InterfaceClassGuid);
    Devices.Reset(paths.size());
    std::size_t kept = 0;
    try {
        for (const auto& path : paths) {
            // A record a board before this one was left out of may hold what was learnt of it.
            TDeviceData& device = Devices[kept];
            device = TDeviceData{};
            device.SymbolicLink = path;
            device.hDevice = port::Open(W(device.SymbolicLink.c_str()));
            if (device.hDevice == INVALID_HANDLE_VALUE) continue;

            std::array<BYTE, 8> id{};
            DWORD returned = 0;
            bool known = DriverControl(device.hDevice, IOCTL_GET_DEVICE_ID, nullptr, 0, id.data(), 8, &returned) ==
                             ERROR_SUCCESS &&
                         returned >= 8;
            if (known) {
                std::memcpy(&device.DeviceID, id.data(), 4);
                known = ClassifyBoard(kept, device);
            }
            if (!known) {
                CloseDeviceAndInvalidate(device.hDevice);
                continue;
            }
            device.hThreadingMutex = CreateMutexW(nullptr, FALSE, nullptr);
            device.hSequencerMutex[0] = CreateMutexW(nullptr, FALSE, nullptr);
            device.hSequencerMutex[1] = CreateMutexW(nullptr, FALSE, nullptr);
            ++kept;
        }
    } catch (...) {
        if (halvex::platform::ForcedUnwinding()) throw;
        KeepBoards(kept);
        throw;
    }
    KeepBoards(kept);
}

namespace {
void (*ProcessDetachHook)(DWORD) = nullptr;
// Set for the detach at the end of a Windows process, whose other threads are already gone.
std::atomic<bool> ThreadsGone{false};

// What detach can still do for a board when the other threads are gone: any of them may have
// died holding a lock or in the middle of a wait, so the boards are stopped with driver
// requests alone and nothing is waited for or freed; the process is about to vanish.
void StopBoardAtProcessEnd(TDeviceData& device, UINT64 iBoard) {
    if (device.hDevice == INVALID_HANDLE_VALUE) return;
    if (SequencerOf(iBoard, 0).IsBusy()) StopAcquisitionHardware(iBoard);
}
}  // namespace

void LibraryStart() {
    if (OSVersionClass != 0) return;
    ProcessDetachHook = &LibraryDetach;
    OSVersionClass = GetOSVersionClass();
    LogThread = new TLogThread();
    port::SetDiagnosticSink([](std::u16string line) { PostLog(LogThread, std::move(line)); });
    port::StartRecordingFromEnvironment();
    OpenBoards();
    port::StartupDone();
}

void LibraryDetach(DWORD reason) {
    if (reason != DLL_PROCESS_DETACH) return;
    if (ThreadsGone.load()) {
        port::ProcessEnding();
        for (UINT64 b = 0; b < Devices.size(); ++b) StopBoardAtProcessEnd(Devices[b], b);
        return;
    }
    for (UINT64 b = 0; b < Devices.size(); ++b) {
        TDeviceData& device = Devices[b];
        // A board closed by an earlier detach has nothing running; and its invalid mutex handle
        // must not reach a wait, where Windows reads it as the current process.
        if (device.hSequencerMutex[0] != INVALID_HANDLE_VALUE) EndAcquisitionAtDetach(b);
        // A driver need not end its requests when the handle closes; the waiters' threads would
        // then stay in the library after it is gone.
        EndInterruptWaitsAtDetach(b);
        CloseDeviceAndInvalidate(device.hDevice);
        CloseAndInvalidate(device.hThreadingMutex);
        CloseAndInvalidate(device.hSequencerMutex[0]);
        CloseAndInvalidate(device.hSequencerMutex[1]);
    }
    port::EndRecorder();
    TLogThread* log = LogThread;
    port::SetDiagnosticSink(nullptr);
    LogThread = nullptr;
    delete log;
}

void RunProcessDetachHook(bool threadsGone) {
    ThreadsGone.store(threadsGone);
    if (ProcessDetachHook != nullptr) ProcessDetachHook(DLL_PROCESS_DETACH);
}

void ReleaseDeviceTable() {
    // Other threads died wherever they were, the heap's lock among the places: leave the
    // table to the end of the process.
    if (ThreadsGone.load()) return;
    Sequencers.Release();
    DACRanges.Release();
    Devices.Release();
    OSVersionClass = 0;
    ProcessDetachHook = nullptr;
}

void StartAtLoad() {
    try {
        LibraryStart();
    } catch (...) {
        if (halvex::platform::ForcedUnwinding()) throw;
    }
}

void DetachAtUnload(bool threadsGone) {
    try {
        RunProcessDetachHook(threadsGone);
    } catch (...) {
        if (halvex::platform::ForcedUnwinding()) throw;
    }
    ReleaseDeviceTable();
}

}  // namespace halvex
