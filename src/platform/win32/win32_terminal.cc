// The terminal check on Windows: a console takes ANSI sequences once asked to.
#include "platform/terminal.h"
#include "platform/win32/windows_headers.h"

namespace varnix {

bool PrepareTerminalOutput() {
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (output == INVALID_HANDLE_VALUE || !GetConsoleMode(output, &mode)) return false;
  return SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

}  // namespace varnix
