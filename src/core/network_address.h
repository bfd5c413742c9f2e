// IPv4 addresses and networks as people write them: "192.168.1.20", "192.168.1.0/24".
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace varnix {

struct Network {
  uint32_t address = 0;  // as written: the host's own address, or the network's
  int prefix_length = 32;

  uint32_t Mask() const;
  bool Holds(uint32_t other) const { return (other & Mask()) == (address & Mask()); }
};

// The dotted address as a number, or nothing when it is not one.
std::optional<uint32_t> ParseAddress(const std::string& dotted);
// "a.b.c.d/n", or a lone address (/32); nothing when it cannot be read.
std::optional<Network> ParseNetwork(const std::string& text);

}  // namespace varnix
