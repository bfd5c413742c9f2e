// A UDP socket that binds, sends single datagrams and delivers received ones through its loop.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace varnix {

// An IPv4 address and port, in host order.
struct Endpoint {
  uint32_t address = 0;
  uint16_t port = 0;

  // The address in dotted form.
  std::string AddressText() const {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
  }
};

class UdpSocket {
 public:
  virtual ~UdpSocket() = default;

  // Who sent the datagram being handed over, while its handler runs.
  virtual Endpoint Sender() const = 0;

  // Binds to a dotted IPv4 address ("" for any) and port. Throws Error with the
  // system's error number when they cannot be bound; a port in use fails.
  virtual void Bind(const std::string& local_address, uint16_t port) = 0;
  // Sends one datagram to a dotted address or host name; broadcast addresses are allowed.
  // Throws Error on failure.
  virtual void SendTo(const std::string& host, uint16_t port, std::string_view datagram) = 0;
  virtual void Close() = 0;
  // The port this socket is bound to; 0 before it is bound or first sends.
  virtual uint16_t LocalPort() const = 0;
  // For a datagram from this computer, while its handler runs: whether the program that sent
  // it runs under this program's own account or an administrator's (root; on Windows, or
  // started from this program's own folder), which no other local user can. False when the
  // sending socket is gone by now; nullopt when the system does not tell.
  virtual std::optional<bool> SenderIsOwnOrAdministrator() const = 0;
};

}  // namespace varnix

namespace varnix {

// The system's sockets library, which some systems want started before use.
class SocketsLayer {
 public:
  struct Version {
    int major = 0;
    int minor = 0;
  };
  struct Started {
    int result = 0;  // 0 on success, else the system's error number
    Version version;
  };

  virtual ~SocketsLayer() = default;
  virtual Started Startup(Version wanted) = 0;
  // 0 on success, else the system's error number.
  virtual int Cleanup() = 0;
};

}  // namespace varnix
