// hxcli irq wait|poll|abort, bar.
#include <halvex/halvex.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <memory>

#include "Arguments.h"
#include "Command.h"
#include "Simulator.h"

namespace hxcli {
namespace {

struct IrqArgs {
    UINT64 board = 0;
    uint32_t timeoutMs = 10'000;
    uint32_t simTimerMs = 0;
};

int Wait(const IrqArgs& args) {
    const auto board = static_cast<unsigned long long>(args.board);
    if (args.simTimerMs != 0) simulator::StartInterruptTimer(args.board, args.simTimerMs);
    auto waiting = std::async(std::launch::async, [&args] { return PIO_WaitForIRQ(args.board); });
    bool timedOut = false;
    if (args.timeoutMs != 0 &&
        waiting.wait_for(std::chrono::milliseconds(args.timeoutMs)) == std::future_status::timeout) {
        // The wait itself has no time-out: end it through the driver.
        timedOut = true;
        if (const DWORD r = PIO_AbortIRQWait(args.board); r != 0) return Fail("PIO_AbortIRQWait", r);
    }
    const DWORD r = waiting.get();
    if (args.simTimerMs != 0) simulator::StopInterruptTimer(args.board);
    if (timedOut) {
        std::fprintf(stderr, "hxcli: no interrupt on board %llu within %u ms (wait aborted: %u %s)\n", board,
                     static_cast<unsigned>(args.timeoutMs), static_cast<unsigned>(r), ErrorName(r).c_str());
        return kExitNoInterrupt;
    }
    if (r != 0) return Fail("PIO_WaitForIRQ", r);
    std::printf("Board %llu: interrupt.\n", board);
    return kExitOk;
}

int Poll(const IrqArgs& args) {
    const DWORD r = PIO_PollForIRQ(args.board);
    if (r == ERROR_IO_INCOMPLETE) {
        std::printf("Board %llu: no interrupt pending.\n", static_cast<unsigned long long>(args.board));
        return kExitNoInterrupt;
    }
    if (r != 0) return Fail("PIO_PollForIRQ", r);
    std::printf("Board %llu: interrupt pending.\n", static_cast<unsigned long long>(args.board));
    return kExitOk;
}

int Abort(const IrqArgs& args) {
    const DWORD r = PIO_AbortIRQWait(args.board);
    if (r != 0) return Fail("PIO_AbortIRQWait", r);
    std::printf("Board %llu: interrupt waits aborted.\n", static_cast<unsigned long long>(args.board));
    return kExitOk;
}

struct BarArgs {
    UINT64 board = 0;
    int index = -1;
};

}  // namespace

Command AddIrqCommand(CLI::App& app) {
    auto* irq = app.add_subcommand("irq", "Wait for, poll or abort a board's interrupt. Exit code 3: no interrupt.");
    irq->require_subcommand(1);
    auto args = std::make_shared<IrqArgs>();
    auto* wait = irq->add_subcommand(
        "wait", "Wait for the board's interrupt. After --timeout the wait is aborted through the driver.");
    wait->add_option("board", args->board, "Board index")->required()->check(BoardIndex());
    wait->add_option("-t,--timeout", args->timeoutMs, "Milliseconds before giving up; 0 waits for ever")
        ->default_val(10'000);
    wait->add_option("--sim-timer", args->simTimerMs,
                     "Simulated boards: raise the interrupt every this many milliseconds while waiting");
    auto* poll = irq->add_subcommand("poll", "Ask whether the board's interrupt is pending.");
    poll->add_option("board", args->board, "Board index")->required()->check(BoardIndex());
    auto* abort = irq->add_subcommand("abort", "End every pending interrupt wait on the board.");
    abort->add_option("board", args->board, "Board index")->required()->check(BoardIndex());
    return {irq, [args, wait, poll] {
        if (wait->parsed()) return Wait(*args);
        if (poll->parsed()) return Poll(*args);
        return Abort(*args);
    }};
}

Command AddBarCommand(CLI::App& app) {
    auto* bar = app.add_subcommand("bar", "Show the bases of a board's PCI base address registers (BARs 0-5).");
    auto args = std::make_shared<BarArgs>();
    bar->add_option("board", args->board, "Board index")->required()->check(BoardIndex());
    bar->add_option("index", args->index, "One BAR, 0-5 (default: all)")->check(CLI::Range(0, 5));
    return {bar, [args] {
        const int first = args->index < 0 ? 0 : args->index;
        const int last = args->index < 0 ? 5 : args->index;
        for (int i = first; i <= last; ++i) {
            DWORD base = 0;
            const DWORD r = PIO_QueryBARBase(args->board, static_cast<DWORD>(i), &base);
            if (r != 0) return Fail("PIO_QueryBARBase", r);
            std::printf("BAR%d  0x%08X\n", i, static_cast<unsigned>(base));
        }
        return kExitOk;
    }};
}

}  // namespace hxcli
