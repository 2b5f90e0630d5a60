// What recording the driver traffic costs while a simulated board streams 10 MS/s (one channel,
// raw, 64 KiB chunks, paced in real time): the process CPU time of a stream of a few seconds
// without a recording, with one keeping every byte, and with one keeping no data (limit 0),
// each difference as a share of one core. The simulator's own CPU is in every run alike.
//
//     halvex_record_cost [seconds per run, 3 by default] [folder for the recording, /tmp]
#include <windows.h>

#include <halvex/halvex.h>
#include <halvex/sim.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr UINT64 kBoard = 0;
constexpr uint32_t kChunkBytes = 65536;
constexpr double kRate = 10e6;

double ProcessCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double WallSeconds() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void WINAPI OnRaw(UINT64, DWORD, DWORD, DWORD*) {}

struct Run {
    double cpu = 0;
    double wall = 0;
    uint64_t samples = 0;
};

// One stream of `seconds`, recorded to `path` with `dataBytes` kept when `path` is not empty.
Run Stream(double seconds, const std::string& path, DWORD dataBytes) {
    halvex::sim::Reset();
    halvex::sim::BoardSetup setup;
    setup.deviceId = 0x805C;
    halvex::sim::AddBoard(setup);
    HxTestLibraryStart();
    halvex::sim::SetRegister(kBoard, 32, kChunkBytes);
    halvex::sim::SetStreamIndexSource(kBoard, true);
    halvex::sim::SetDmaPacing(kBoard, halvex::sim::DmaPacing::RealTime);
    ADC_SetRate(kBoard, 0, kRate);
    ADC_SetCallback(kBoard, 0, ADC_CALLBACK_RAW, reinterpret_cast<void*>(&OnRaw));
    if (!path.empty() && HX_StartDriverRecording(path.c_str(), dataBytes) != 0) {
        std::fprintf(stderr, "cannot record to %s\n", path.c_str());
        std::exit(1);
    }
    Run run;
    const double cpu0 = ProcessCpuSeconds();
    const double wall0 = WallSeconds();
    ADC_AcquireStream(kBoard, 0);
    Sleep(static_cast<DWORD>(seconds * 1000));
    ADC_AcquireEnd(kBoard, 0);
    HX_AcquireWait(kBoard, 0, 10000);
    HX_ACQUIRE_STATUS status{};
    status.Size = sizeof status;
    HX_AcquireStatus(kBoard, 0, &status);
    if (!path.empty()) HX_StopDriverRecording();
    run.cpu = ProcessCpuSeconds() - cpu0;
    run.wall = WallSeconds() - wall0;
    run.samples = status.SamplesDelivered;
    HxTestLibraryDetach();
    halvex::sim::Reset();
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    const std::string folder = argc > 2 ? argv[2] : "/tmp";
    const std::string path = folder + "/halvex_record_cost.hxrec";
    Stream(0.5, "", 0);  // warm-up
    const Run off = Stream(seconds, "", 0);
    const Run all = Stream(seconds, path, 0xFFFFFFFFu);
    const Run none = Stream(seconds, path, 0);
    std::remove(path.c_str());
    std::printf("10 MS/s, one channel, raw, 64 KiB chunks, %.1f s a run: process CPU (simulator included)\n", seconds);
    std::printf("%-14s %8s %22s %14s\n", "recording", "CPU s", "extra, % of one core", "delivered MS/s");
    const auto row = [&](const char* name, const Run& r) {
        std::printf("%-14s %8.3f %22.1f %14.2f\n", name, r.cpu, 100.0 * (r.cpu - off.cpu) / r.wall,
                    static_cast<double>(r.samples) / r.wall / 1e6);
    };
    row("off", off);
    row("every byte", all);
    row("data limit 0", none);
    return 0;
}
