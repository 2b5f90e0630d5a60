// The little hxcli needs to know about its standard streams, per platform.
#pragma once

#include <cstdio>

namespace hxcli {

// Whether `stream` is a terminal (a person watches it), not a file or a pipe.
bool IsTerminal(std::FILE* stream);
// Bytes written to `stream` go out unchanged (no newline translation).
void UseBinary(std::FILE* stream);

}  // namespace hxcli
