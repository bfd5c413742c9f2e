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

void EndConnection(intptr_t socket) { shutdown(static_cast<SOCKET>(socket), SD_BOTH); }

std::string AddressText(const void* socket_address) {
  const auto* address = static_cast<const sockaddr*>(socket_address);
  char text[INET6_ADDRSTRLEN] = "";
  if (address == nullptr) return "";
  if (address->sa_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
  } else if (address->sa_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text,
              sizeof text);
  }
  return text;
}

}  // namespace varnix
