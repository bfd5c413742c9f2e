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

void EndConnection(intptr_t socket) { ::shutdown(static_cast<int>(socket), SHUT_RDWR); }

std::string AddressText(const void* socket_address) {
  const auto* address = static_cast<const sockaddr*>(socket_address);
  char text[INET6_ADDRSTRLEN] = "";
  if (address == nullptr) return "";
  if (address->sa_family == AF_INET) {
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text,
                sizeof text);
  } else if (address->sa_family == AF_INET6) {
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text,
                sizeof text);
  }
  return text;
}

}  // namespace varnix
