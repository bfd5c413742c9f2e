// The relay's two streams on POSIX: standard input and descriptor 3.
#include <errno.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include "platform/posix/unique_fd.h"
#include "platform/relayed_output.h"

namespace varnix {
namespace {

// Standard input and descriptor 3, waited on together: a thread of the relay's fewer.
class FdPair : public EitherSource {
 public:
  int Read(char* buffer, size_t size, size_t& got) override {
    for (;;) {
      pollfd watched[2];
      nfds_t count = 0;
      // Turn about, so that a stream that never pauses does not keep the other waiting.
      for (int i = 0; i < 2; ++i) {
        const int stream = (next_ + i) % 2;
        if (fds_[stream].valid()) watched[count++] = {fds_[stream].get(), POLLIN, 0};
      }
      if (count == 0) return -1;
      if (::poll(watched, count, -1) < 0) {
        if (errno == EINTR) continue;
        return -1;
      }
      for (nfds_t i = 0; i < count; ++i) {
        if (watched[i].revents == 0) continue;
        const int stream = watched[i].fd == fds_[0].get() ? 0 : 1;
        next_ = 1 - stream;
        const ssize_t read = ::read(watched[i].fd, buffer, size);
        if (read < 0 && errno == EINTR) break;
        got = read > 0 ? static_cast<size_t>(read) : 0;
        if (got == 0) fds_[stream].Reset();  // ended, or unreadable: the end of it
        return stream;
      }
    }
  }

 private:
  UniqueFd fds_[2] = {UniqueFd(STDIN_FILENO), UniqueFd(3)};
  int next_ = 0;
};

}  // namespace

RelayedOutput TakeRelayedOutput() {
  for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) ::signal(signal, SIG_IGN);
  // The threads hand lines to one another and never allocate much at once: an arena of their
  // own each would cost a relay (one beside each program) more than all its work does.
  ::mallopt(M_ARENA_MAX, 1);
  return {nullptr, nullptr, std::make_unique<FdPair>()};
}

}  // namespace varnix
