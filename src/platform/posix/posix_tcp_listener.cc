// OpenTcpListener on POSIX: non-blocking, close-on-exec, reusable after a restart.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/error.h"
#include "platform/tcp_listener.h"

namespace varnix {

intptr_t OpenTcpListener(const std::string& address, uint16_t port, int backlog) {
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1) {
    throw Error(EINVAL, address + " is not an IPv4 address");
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) throw Error(errno, std::string("socket: ") + std::strerror(errno));
  const int yes = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
      ::listen(fd, backlog) != 0) {
    const int number = errno;
    ::close(fd);
    throw Error(number, "cannot listen on " + address + ":" + std::to_string(port) + ": " +
                            std::strerror(number));
  }
  return fd;
}

}  // namespace varnix
