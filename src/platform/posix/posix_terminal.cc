// The terminal check on POSIX: every terminal there takes ANSI sequences.
#include <unistd.h>

#include "platform/terminal.h"

namespace varnix {

bool PrepareTerminalOutput() { return ::isatty(STDOUT_FILENO) == 1; }

}  // namespace varnix
