// The terminal on POSIX: every terminal there takes ANSI sequences, and UTF-8 as it is.
#include <unistd.h>

#include "platform/terminal.h"

namespace varnix {

bool PrepareTerminalOutput() { return ::isatty(STDOUT_FILENO) == 1; }

bool IsTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

// Every program has the streams it was started with.
bool UseCallersConsole() { return true; }

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

void WriteText(std::FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

}  // namespace varnix
