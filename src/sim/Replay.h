// Replaying a recording of the driver port: the simulated driver answers each request as the
// recording says, completes overlapped requests in the recorded order, and reports the first
// request that differs from the recording (a divergence) instead of guessing.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace halvex::sim {

struct ReplayOptions {
    bool paced = false;           // completions no sooner than recorded; else as fast as possible
    bool acceptTornTail = false;  // an incomplete last record is dropped rather than refused
    DWORD stallMs = 10000;        // how long a request the recording waits for may take to come
};

enum class ReplayState : DWORD { Off = 0, Replaying = 1, Finished = 2, Diverged = 3, Refused = 4 };

struct ReplayReport {
    ReplayState state = ReplayState::Off;
    uint32_t request = 0;   // the recording's number of the request that diverged
    uint64_t answered = 0;  // requests answered from the recording
    uint64_t left = 0;      // requests of the recording not yet made
    std::string message;    // why it diverged or was refused, in one line
    std::string expected;   // the request the recording has there
    std::string got;        // the request that came
};

// The code a request fails with once the replay has diverged.
inline constexpr DWORD kReplayDivergedError = 776;  // ERROR_REQUEST_OUT_OF_SEQUENCE

// Reads and checks the recording at `path` and makes it what the simulated driver answers from
// now on: enumerations and opens come from it, requests on its handles are answered from it.
// Any earlier replay ends. ERROR_SUCCESS; ERROR_FILE_NOT_FOUND or another open error; or
// ERROR_INVALID_DATA when the file is refused (the report's message names cause and offset).
DWORD BeginReplay(const std::string& path, const ReplayOptions& options);
// The same from bytes in memory.
DWORD BeginReplayFromBytes(std::vector<uint8_t> bytes, const ReplayOptions& options, const std::string& name);
// Ends the replay: its requests still pending fail; the simulated bus answers again.
void StopReplay();
ReplayReport CurrentReplayReport();
// At the first enumeration: HALVEX_SIM_REPLAY names a recording to replay.
void ReplayFromEnvironmentOnce();

// The driver port while a replay runs: each returns false when the replay does not take the
// operation (no replay, or a handle of the simulated bus), and otherwise does it.
bool ReplayEnumerate(const GUID& classGuid, std::vector<std::u16string>& paths);
bool ReplayOpen(LPCWSTR path, HANDLE& handle);
bool ReplayControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                   LPDWORD bytesReturned, LPOVERLAPPED overlapped, BOOL& result);
bool ReplayCancel(HANDLE device, LPOVERLAPPED overlapped, BOOL& result);
bool ReplayClose(HANDLE device, BOOL& result);

}  // namespace halvex::sim
