// The terminal on Windows: a console takes ANSI sequences once asked to, and characters as
// UTF-16; the command line is read as UTF-16 too.
#include <io.h>

#include <algorithm>
#include <memory>

#include "platform/terminal.h"
#include "platform/win32/windows_headers.h"
// After windows.h, which it needs.
#include <shellapi.h>

namespace varnix {

bool PrepareTerminalOutput() {
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (output == INVALID_HANDLE_VALUE || !GetConsoleMode(output, &mode)) return false;
  return SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

bool IsTerminal(std::FILE* stream) {
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

bool UseCallersConsole() {
  // Streams handed over already (a file, a pipe, a console of its own) are the caller's wish.
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if ((output != nullptr && output != INVALID_HANDLE_VALUE) || GetConsoleWindow() != nullptr) {
    return true;
  }
  if (!AttachConsole(ATTACH_PARENT_PROCESS)) return false;
  // The streams of a windowless program lead nowhere until they are opened on the console.
  return std::freopen("CONOUT$", "w", stdout) != nullptr &&
         std::freopen("CONOUT$", "w", stderr) != nullptr;
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  int count = 0;
  const std::unique_ptr<LPWSTR, decltype(&LocalFree)> wide(
      CommandLineToArgvW(GetCommandLineW(), &count), &LocalFree);
  std::vector<std::string> words;
  if (wide == nullptr) {
    // Only when memory is short; the code page's form beats none.
    for (int i = 1; i < argc; ++i) words.push_back(TextFromWide(WideFromText(argv[i], CP_ACP)));
    return words;
  }
  for (int i = 1; i < count; ++i) words.push_back(TextFromWide(wide.get()[i]));
  return words;
}

void WriteText(std::FILE* stream, std::string_view text) {
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD mode = 0;
  if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
    return;
  }
  std::fflush(stream);
  const std::wstring wide = WideFromText(text);
  size_t done = 0;
  while (done < wide.size()) {
    DWORD written = 0;
    const auto size = static_cast<DWORD>(std::min<size_t>(wide.size() - done, 16384));
    if (!WriteConsoleW(handle, wide.data() + done, size, &written, nullptr) || written == 0) {
      return;
    }
    done += written;
  }
}

}  // namespace varnix
