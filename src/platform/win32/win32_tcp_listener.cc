// OpenTcpListener on Windows: Winsock, exclusive use of the address.
#include "platform/error.h"
#include "platform/tcp_listener.h"
#include "platform/win32/windows_headers.h"

namespace varnix {

intptr_t OpenTcpListener(const std::string& address, uint16_t port, int backlog) {
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(port);
  if (inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1) {
    throw Error(WSAEINVAL, address + " is not an IPv4 address");
  }
  const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (listener == INVALID_SOCKET) {
    const int number = WSAGetLastError();
    throw Error(number, "socket: " + SystemErrorText(static_cast<unsigned long>(number)));
  }
  BOOL exclusive = TRUE;
  setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
             sizeof exclusive);
  if (bind(listener, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
      listen(listener, backlog) != 0) {
    const int number = WSAGetLastError();
    closesocket(listener);
    throw Error(number, "cannot listen on " + address + ":" + std::to_string(port) + ": " +
                            SystemErrorText(static_cast<unsigned long>(number)));
  }
  return static_cast<intptr_t>(listener);
}

}  // namespace varnix
