// The senders a hub relays from: networks written as CIDR ("192.168.1.0/24").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/network_address.h"

namespace varnix {

class AllowList {
 public:
  // "a.b.c.d/n" or a lone address (/32), each; nothing when one cannot be read.
  static std::optional<AllowList> Parse(const std::vector<std::string>& networks);

  void Add(uint32_t address, int prefix_length);
  bool Allows(uint32_t address) const;

 private:
  std::vector<Network> networks_;
};

}  // namespace varnix
