#include <unistd.h>

#include "Terminal.h"

namespace hxcli {

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) != 0; }

void UseBinary(std::FILE*) {}

}  // namespace hxcli
