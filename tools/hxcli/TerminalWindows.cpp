#include <fcntl.h>
#include <io.h>

#include "Terminal.h"

namespace hxcli {

bool IsTerminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }

void UseBinary(std::FILE* stream) { _setmode(_fileno(stream), _O_BINARY); }

}  // namespace hxcli
