// A listening TCP socket, for a library that serves on it (the gateway's web page).
#pragma once

#include <cstdint>
#include <string>

namespace varnix {

// A socket listening on `address` (IPv4, dotted) and `port`, with a backlog of `backlog`; the
// caller (or the library it is handed to) closes it. Throws Error saying why it cannot.
intptr_t OpenTcpListener(const std::string& address, uint16_t port, int backlog);

}  // namespace varnix
