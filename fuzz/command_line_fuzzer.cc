// Feeds arbitrary request parameters to the Windows command-line splitter, and checks that
// joining the arguments again gives a text that splits into the same ones.
#include <string>
#include <vector>

#include "platform/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> arguments = varnix::SplitCommandLine(text);
  size_t total = 0;
  for (const std::string& argument : arguments) total += argument.size();
  // Splitting only removes separators, quotes and escaping backslashes: it never adds text.
  if (total > text.size()) __builtin_trap();
  if (varnix::SplitCommandLine(varnix::JoinCommandLine(arguments)) != arguments) __builtin_trap();
  return 0;
}
