// The little hxcli needs to know about its standard streams and the console, per platform.
#pragma once

#include <cstdio>

namespace hxcli {

// Whether `stream` is a terminal (a person watches it), not a file or a pipe.
bool IsTerminal(std::FILE* stream);
// Bytes written to `stream` go out unchanged (no newline translation).
void UseBinary(std::FILE* stream);

// Ctrl-C during a run: from CatchInterrupt on, the first Ctrl-C only sets Interrupted(), so the
// run can end and finish its files; a second one ends the process as it would have anyway.
// Where Ctrl-C was ignored when hxcli started (a background job of a script), it stays ignored.
// ReleaseInterrupt puts back what was there before; Interrupted() keeps its answer until the
// next CatchInterrupt, so a session of several commands can stop after the interrupted one.
void CatchInterrupt();
void ReleaseInterrupt();
bool Interrupted();

}  // namespace hxcli
