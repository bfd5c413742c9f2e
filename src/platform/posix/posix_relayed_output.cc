// The relay's two streams on POSIX: standard input and descriptor 3.
#include <errno.h>
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include "platform/posix/unique_fd.h"
#include "platform/relayed_output.h"

namespace varnix {
namespace {

class FdSource : public ByteSource {
 public:
  explicit FdSource(int fd) : fd_(fd) {}
  size_t Read(char* buffer, size_t size) override {
    for (;;) {
      const ssize_t got = ::read(fd_.get(), buffer, size);
      if (got >= 0) return static_cast<size_t>(got);
      if (errno != EINTR) return 0;
    }
  }

 private:
  UniqueFd fd_;
};

}  // namespace

RelayedOutput TakeRelayedOutput() {
  for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) ::signal(signal, SIG_IGN);
  // The threads hand lines to one another and never allocate much at once: an arena of their
  // own each would cost a relay (one beside each program) more than all its work does.
  ::mallopt(M_ARENA_MAX, 1);
  return {std::make_unique<FdSource>(STDIN_FILENO), std::make_unique<FdSource>(3)};
}

}  // namespace varnix
