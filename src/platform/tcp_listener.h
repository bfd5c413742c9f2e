// A listening TCP socket, for a library that serves on it (the gateway's web page).
#pragma once

#include <cstdint>
#include <string>

namespace varnix {

// A socket listening on `address` (IPv4, dotted) and `port`, with a backlog of `backlog`; the
// caller (or the library it is handed to) closes it. Throws Error saying why it cannot.
intptr_t OpenTcpListener(const std::string& address, uint16_t port, int backlog);

// Ends a connection that a library holds, from outside it: the library then reads its end and
// closes it as if the client had. For deadlines the library does not keep itself.
void EndConnection(intptr_t socket);
// The address of a peer given as the system's socket address (a `struct sockaddr`), as text
// ("192.168.1.20", "::1"); "" for other kinds of address.
std::string AddressText(const void* socket_address);

}  // namespace varnix
