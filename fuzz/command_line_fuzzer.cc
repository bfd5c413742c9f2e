// Feeds arbitrary request parameters to the Windows command-line splitter.
#include <string>

#include "platform/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  size_t total = 0;
  for (const std::string& argument : varnix::SplitCommandLine(text)) total += argument.size();
  // Splitting only removes separators, quotes and escaping backslashes: it never adds text.
  if (total > text.size()) __builtin_trap();
  return 0;
}
