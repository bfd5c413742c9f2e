// Wake-on-LAN: the magic packet that wakes a computer that is off, and the one address it goes
// to, the broadcast address of a network this computer is on.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event_loop.h"
#include "platform/machine.h"

namespace varnix {

// "aa:bb:cc:dd:ee:ff" from six hexadecimal pairs apart by ":" or "-", in any letter case; ""
// when `text` is anything else, or no one computer's (all zeros, a group address).
std::string NormalMac(std::string_view text);
// Six 0xFF bytes, then the six bytes of `mac` (normal) sixteen times.
std::string MagicPacket(const std::string& mac);
// The broadcast address of the network among `networks` ("a.b.c.d/n") that holds `address`;
// "" when none does, or that network has no broadcast address (loopback, /31, /32).
std::string DirectedBroadcast(const std::string& address, const std::vector<std::string>& networks);

class WakeOnLan {
 public:
  static constexpr uint16_t kPort = 9;  // "discard": nothing listens, the network card does

  WakeOnLan(EventLoop& loop, Machine& machine) : loop_(loop), machine_(machine) {}

  // Sends the magic packet for `mac` to the broadcast address of this computer's network that
  // holds `address` (where the computer was last heard) and returns that broadcast address.
  // Throws Error saying why when no network of this computer holds it, or the system refuses.
  std::string Wake(const std::string& mac, const std::string& address);

 private:
  EventLoop& loop_;
  Machine& machine_;
};

}  // namespace varnix
