// Every function of the simulator's C++ API, called through libhalvex.so as an application's
// own test would: each calls the C function it stands for, so the program only links when the
// shared library exports every one of them. A function added to sim.h gets a call here.
#include <halvex/halvex.h>
#include <halvex/sim.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace sim = halvex::sim;

namespace {

int failures = 0;

void Check(bool condition, const char* what, int line) {
    if (!condition) {
        std::fprintf(stderr, "SimApiExports.cpp:%d: failed: %s\n", line, what);
        ++failures;
    }
}
#define CHECK(condition) Check((condition), #condition, __LINE__)

constexpr uint32_t kScratch = 0x200;

void Bus() {
    HxTestLibraryDetach();
    sim::UseDefaultBoards();
    CHECK(sim::BoardCount() == 3);
    CHECK(sim::UseEnvironmentBoards());  // the test runs with HALVEX_SIM_BOARDS unset
    CHECK(sim::BadBoardListEntry("805C, zz:fw=1") == std::optional<std::string>("zz:fw=1"));
    sim::Reset();
    CHECK(sim::BoardCount() == 0);
    sim::BoardSetup setup;
    setup.deviceId = 0x805C;
    CHECK(sim::AddBoard(setup) == 0);
    CHECK(sim::BoardSetupOf(0).deviceId == 0x805C);
    CHECK(sim::BarBase(0, 0) != sim::BarBase(0, 1));
    sim::RemoveBoardList();
    sim::WriteBoardList();
    sim::FailOpen(0, 0);
    HxTestLibraryStart();
    CHECK(sim::IsOpen(0));
}

void RegistersAndRequests() {
    sim::SetRegister(0, kScratch, 7);
    CHECK(sim::GetRegister(0, kScratch) == 7);
    sim::ClearRequests(0);
    CHECK(PIO_Out32(0, kScratch, 5) == ERROR_SUCCESS);
    const std::vector<sim::Request> requests = sim::Requests(0);
    CHECK(requests.size() == 1);
    if (requests.size() == 1) {
        const sim::Request& write = requests.front();
        CHECK(write.IsRegister() && write.Offset() == kScratch && write.Width() == 4 && write.Value() == 5);
    }
    CHECK(sim::RegisterWrites(0) == (std::vector<sim::RegisterWrite>{{kScratch, 4, 5}}));
}

void Failures() {
    sim::Failure failure;
    failure.lastError = 31;
    failure.count = 1;
    sim::FailRequests(0, sim::kIoctlRegRead, failure);
    PIO_In32(0, kScratch);
    CHECK(GetLastError() == 31);
    sim::FailRequests(0, sim::kIoctlRegRead, failure);
    sim::ClearFailures(0);
    CHECK(PIO_In32(0, kScratch) == 5);
}

void OutputsAndInterrupts() {
    CHECK(sim::AnalogOutputRange(0, 0) == 3);
    CHECK(sim::AnalogOutputCounts(0, 0) == 0x8000);
    CHECK(sim::AnalogOutputVolts(0, 0) == 0.0);
    sim::SetInterruptCompletion(0, 0, ERROR_OPERATION_ABORTED);
    sim::RaiseInterrupt(0);
    CHECK(PIO_PollForIRQ(0) == ERROR_SUCCESS);
    CHECK(sim::PendingInterruptWaits(0) == 0);
    CHECK(!sim::AwaitInterruptWaits(0, 1, 0));
    CHECK(sim::InterruptWaitEvents(0).empty());
    sim::StartInterruptTimer(0, 1000);
    sim::StopInterruptTimer(0);
}

void AnalogInputs() {
    sim::InputSource source;
    source.volts = 1.25;
    sim::SetInputSource(0, 0, 3, source);
    CHECK(sim::InputSourceOf(0, 0, 3).volts == 1.25);
    CHECK(sim::DefaultInputSource(1, 0).volts < 0.0);
    CHECK(sim::PackedConversion(1.25, 1, 3) == (4000u | 1u << 16 | 3u << 20));
    sim::SetCommandSpacing(0, 15.0);
}

void Dma() {
    CHECK(sim::PendingDmaRequests(0) == 0);
    CHECK(!sim::AwaitDmaRequests(0, 1, 0));
    CHECK(!sim::CompleteDmaRequest(0, {1, 2, 3, 4}));
    sim::SetDmaPacing(0, sim::DmaPacing::FreeRunning);
    sim::SetStreamIndexSource(0, false);
    sim::SetStreamFifoDepth(0, sim::kDefaultStreamFifoDepth);
    CHECK(!sim::StreamStatusOf(0).running);
    CHECK(sim::AwaitStreamRunning(0, false, 0));
    CHECK(sim::AwaitStreamStops(0, 0, 0));
    CHECK(sim::DmaCompletionTimes(0).empty());
}

}  // namespace

int main() {
    Bus();
    if (failures == 0) {
        RegistersAndRequests();
        Failures();
        OutputsAndInterrupts();
        AnalogInputs();
        Dma();
    }
    HxTestLibraryDetach();
    if (failures != 0) {
        std::fprintf(stderr, "%d check(s) failed\n", failures);
        return EXIT_FAILURE;
    }
    std::puts("sim API: every function reached through the shared library");
    return EXIT_SUCCESS;
}
