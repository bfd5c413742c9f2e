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

// Both streams, read on one thread where the system can wait on both at once.
class EitherSource {
 public:
  virtual ~EitherSource() = default;
  // Blocks until bytes come on either stream, or one ends, and gives at most `size` of them:
  // the stream they came on (0 the output, 1 the errors) and in `got` how many (0: that
  // stream has ended). -1 once both have ended, or neither can be read.
  virtual int Read(char* buffer, size_t size, size_t& got) = 0;
};

// On POSIX `either`; where the streams cannot be waited on together (Windows' anonymous
// pipes), `output` and `errors`, each read on a thread of its own.
struct RelayedOutput {
  std::unique_ptr<ByteSource> output;
  std::unique_ptr<ByteSource> errors;
  std::unique_ptr<EitherSource> either;
};

// Taken once, at the relay's start. From then on the requests to end that reach a whole group
// of programs (a terminal's Ctrl-C, a hang-up, `pkill varnix`) no longer end this one: its
// program would die of its next line with nobody reading it. The relay ends when its
// program's output does.
RelayedOutput TakeRelayedOutput();

}  // namespace varnix
