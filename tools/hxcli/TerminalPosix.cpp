#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "Terminal.h"

namespace hxcli {

namespace {

static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");
std::atomic<bool> interrupted{false};
struct sigaction previous {};
bool caught = false;

void OnInterrupt(int) { interrupted.store(true); }

}  // namespace

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) != 0; }

void UseBinary(std::FILE*) {}

void CatchInterrupt() {
    interrupted.store(false);
    if (caught) return;
    struct sigaction current {};
    if (sigaction(SIGINT, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) return;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    // One Ctrl-C ends the run; the handler then gives way, so a second one ends the process.
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    caught = sigaction(SIGINT, &action, &previous) == 0;
}

void ReleaseInterrupt() {
    if (caught) sigaction(SIGINT, &previous, nullptr);
    caught = false;
}

bool Interrupted() { return interrupted.load(); }

}  // namespace hxcli
