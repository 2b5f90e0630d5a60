#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>

#include "Terminal.h"

namespace hxcli {

namespace {

std::atomic<bool> interrupted{false};
bool caught = false;

// Runs on a thread the console starts. FALSE hands the event to the next handler, in the end
// the default one, which ends the process: so it goes for the second Ctrl-C.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    return interrupted.exchange(true) ? FALSE : TRUE;
}

}  // namespace

bool IsTerminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }

void UseBinary(std::FILE* stream) { _setmode(_fileno(stream), _O_BINARY); }

void CatchInterrupt() {
    interrupted.store(false);
    if (!caught) caught = SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != FALSE;
}

void ReleaseInterrupt() {
    if (caught) SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
    caught = false;
}

bool Interrupted() { return interrupted.load(); }

}  // namespace hxcli
