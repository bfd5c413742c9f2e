// What a relay that ProcessTable::Start started reads: its program's output and errors.
#pragma once

#include <cstddef>
#include <memory>

namespace varnix {

// One stream of bytes, read as they come.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Blocks until some bytes come and gives at most `size` of them; 0 once the stream has ended
  // (every writer has closed it) or cannot be read.
  virtual size_t Read(char* buffer, size_t size) = 0;
};

struct RelayedOutput {
  std::unique_ptr<ByteSource> output;
  std::unique_ptr<ByteSource> errors;
};

// Taken once, at the relay's start. From then on the requests to end that reach a whole group
// of programs (a terminal's Ctrl-C, a hang-up, `pkill varnix`) no longer end this one: its
// program would die of its next line with nobody reading it. The relay ends when its
// program's output does.
RelayedOutput TakeRelayedOutput();

}  // namespace varnix
